"""The Plot: one plot file's values, names and time."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]

__all__ = ["Plot", "index_of"]


def index_of(key: str | int, names: list[str], path: str, what: str = "parameter") -> int:
    """The index of `key` among `names`: a name, or an index itself.

    Raises KeyError for a name that is missing or repeated (naming the
    indices that carry it), IndexError for an index out of range.
    """
    if isinstance(key, str):
        found = [i for i, name in enumerate(names) if name == key]
        if len(found) == 1:
            return found[0]
        if not found:
            raise KeyError(f"no parameter named {key!r} in {path}")
        raise KeyError(f"parameter name {key!r} is repeated in {path}: {what}s {found}; use an index")
    index = int(key)
    if not -len(names) <= index < len(names):
        raise IndexError(f"{what} {index} is out of range for the {len(names)} parameters of {path}")
    return index % len(names)


class Plot:
    """The contents of one plot file.

    Attributes:
        path: the file, as given (``os.fspath``).
        names: the name of each column of `values`: the last word of its
            parameter-name line.  Repeated names are kept.
        parameters: the file's parameter index of each column.
        values: float32 array of shape ``(timesteps, len(names))``, writable;
            each column is contiguous in memory (Fortran order).  It is the
            reader's own memory, not a copy of anything and shared with
            nothing: the array is the caller's, as one numpy made would be.
        time: float64 array of the first number on each timestep's lead
            line, or None when some lead line has none.
        lead_lines: each timestep's lead line, as read.
        width: the field width used (given or detected); None for a file
            without timesteps, where no width was needed.
        complete: False when ``partial=True`` cut off an incomplete last
            timestep.
        n_parameters: the file's parameter count (all of them, whatever was
            selected).
    """

    __slots__ = ("path", "names", "parameters", "values", "time", "lead_lines", "width", "complete", "n_parameters")

    def __init__(
        self,
        *,
        path: str,
        names: list[str],
        parameters: list[int],
        values: np.ndarray,
        time: np.ndarray | None,
        lead_lines: list[str],
        width: int | None,
        complete: bool,
        n_parameters: int,
    ) -> None:
        self.path = path
        self.names = names
        self.parameters = parameters
        self.values = values
        self.time = time
        self.lead_lines = lead_lines
        self.width = width
        self.complete = complete
        self.n_parameters = n_parameters

    def __len__(self) -> int:
        """The number of timesteps."""
        return int(self.values.shape[0])

    def __repr__(self) -> str:
        state = "" if self.complete else ", incomplete"
        return f"<korvant.Plot {self.path!r}: {len(self)} timesteps x {len(self.names)} parameters{state}>"

    def column(self, key: str | int) -> int:
        """The column index of `key`: a name, or a column index.

        Raises KeyError for a name that is missing or repeated (naming the
        columns that carry it), IndexError for an index out of range.
        """
        return index_of(key, self.names, self.path, "column")

    def __getitem__(self, key: str | int) -> np.ndarray:
        """One parameter's values over time (1-D float32, a view), by name or
        column index."""
        return self.values[:, self.column(key)]

    def to_pandas(self) -> pandas.DataFrame:
        """A DataFrame of the values: one column per name, indexed by the time
        (named "time") when there is one.

        The values are not copied: the frame's columns are :attr:`values`
        itself, so that assigning to one changes the other.
        """
        try:
            import pandas as pd
        except ImportError:
            raise ImportError("to_pandas needs pandas: install python3-pandas or `pip install pandas`") from None
        index = pd.Index(self.time, name="time") if self.time is not None else None
        return pd.DataFrame(self.values, columns=list(self.names), index=index, copy=False)
