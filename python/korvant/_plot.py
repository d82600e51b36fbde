"""The Plot: one plot file's values, names and time."""

from __future__ import annotations

import html
import os
import warnings
from typing import TYPE_CHECKING, NamedTuple

import numpy as np

from korvant import export
from korvant._extras import need
from korvant._select import index_of

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped]
    import xarray

__all__ = ["Plot", "Source"]

#: The names an HTML view of a Plot lists before it stops.
HTML_NAMES = 8


class Source(NamedTuple):
    """Which file each timestep of a Plot made from several came from (a
    restart chain, korvant.read_chain)."""

    paths: list[str]  # the files, in the order given
    segment: np.ndarray  # int64: each timestep's index into `paths`
    failed: list[tuple[str, BaseException]]  # the files left out by errors="skip", and why


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
            line that stands as a word of its own, or None when some lead
            line has none.
        lead_lines: each timestep's lead line, as read.
        lead: every number on the lead lines, as float64 columns by name
            (see the property).
        width: the field width used (given or detected); None for a file
            without timesteps, where no width was needed.
        complete: False when ``partial=True`` cut off an incomplete last
            timestep.
        n_parameters: the file's parameter count (all of them, whatever was
            selected).
        source: for a Plot made from several files (korvant.read_chain),
            which file each timestep came from (a `Source`); None for one
            file.
    """

    __slots__ = ("path", "names", "parameters", "values", "time", "lead_lines", "width", "complete", "n_parameters",
                 "source", "_lead_numbers", "_lead")

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
        lead_numbers: tuple[list[str], bytes, bytes, bytes] = ([], b"", b"", b""),
        source: Source | None = None,
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
        self.source = source
        # The numbers as the reader parsed them: the names, then packed per
        # line the end of its numbers, per number its name's index and value.
        self._lead_numbers = lead_numbers
        self._lead: dict[str, np.ndarray] | None = None

    def __len__(self) -> int:
        """The number of timesteps."""
        return int(self.values.shape[0])

    def __repr__(self) -> str:
        state = "" if self.complete else ", incomplete"
        return f"<korvant.Plot {self.path!r}: {len(self)} timesteps x {len(self.names)} parameters{state}>"

    def _repr_html_(self) -> str:
        """A small table for notebooks: what the file holds, from what the
        Plot already knows (nothing is computed over the values)."""
        time = self.time
        span = f"{time[0]:g} to {time[-1]:g}" if time is not None and len(time) else "-"
        names = ", ".join(self.names[:HTML_NAMES]) + (", ..." if len(self.names) > HTML_NAMES else "")
        rows = [("path", self.path), ("timesteps", f"{len(self):,}"),
                ("parameters", f"{len(self.names):,} of {self.n_parameters:,}"), ("time", span),
                ("width", "-" if self.width is None else str(self.width)),
                ("complete", "yes" if self.complete else "no: the last timestep is cut off"),
                ("names", names or "-")]
        if self.source is not None:
            rows.insert(1, ("files", f"{len(self.source.paths)}, a restart chain"))
        cells = "".join(f"<tr><th style='text-align:left'>{key}</th><td style='text-align:left'>"
                        f"{html.escape(value)}</td></tr>" for key, value in rows)
        return f"<table><caption>korvant.Plot</caption>{cells}</table>"

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

    @property
    def lead(self) -> dict[str, np.ndarray]:
        """Every number on the lead lines: a float64 array per name, a value
        per timestep, in the order in which the names first appear.

        A number is named by the word right before it, "=" aside: TIME, DT
        and CYCLE in ``TIME 1.5E-03 DT= 1.0E-04 CYCLE= 12``.  A number at the
        start of the line or right after another number (or after a word
        that already named a number of that line) is named by its position
        among the line's numbers, from 0: "#0", "#1", ...  A timestep whose
        lead line lacks a name has NaN there.  The arrays are made on first
        use and are the caller's to change.
        """
        if self._lead is None:
            names, ends, indices, values = self._lead_numbers
            line_ends = np.frombuffer(ends, dtype=np.uint64).astype(np.intp)
            steps = len(line_ends)
            table = np.full((len(names), steps), np.nan)
            rows = np.repeat(np.arange(steps), np.diff(line_ends, prepend=0))
            table[np.frombuffer(indices, dtype=np.uint32), rows] = np.frombuffer(values, dtype=np.float64)
            self._lead = dict(zip(names, table))
        return self._lead

    def to_pandas(self, lead: bool = False) -> pandas.DataFrame:
        """A DataFrame of the values: one column per name, indexed by the time
        (named "time") when there is one.  With `lead`, the columns of
        :attr:`lead` come first.

        The values are not copied: the frame's parameter columns are
        :attr:`values` itself, so that assigning to one changes the other.
        """
        pd = need("pandas", "to_pandas", "pandas")
        index = pd.Index(self.time, name="time") if self.time is not None else None
        frame = pd.DataFrame(self.values, columns=list(self.names), index=index, copy=False)
        if lead:
            # A column at a time keeps the values' block as it is; pandas
            # warns of fragmentation past a hundred columns, which is
            # no concern for a frame made once.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", pd.errors.PerformanceWarning)
                for position, (name, column) in enumerate(self.lead.items()):
                    frame.insert(position, name, column, allow_duplicates=True)
        return frame

    def to_xarray(self) -> xarray.DataArray:
        """An xarray DataArray (dims time, parameter) over :attr:`values`,
        not copied: the names as the `parameter` coordinate, the time (when
        the file has one) as the `time` coordinate, and for a restart chain
        each timestep's file index as `segment`.  The attributes are the
        file's: path, n_parameters, complete (1 or 0), width (when known)
        and, for a chain, sources (the files).  Needs xarray."""
        xr = need("xarray", "to_xarray", "xarray")
        coords: dict[str, tuple[str, object]] = {"parameter": ("parameter", list(self.names))}
        if self.time is not None:
            coords["time"] = ("time", self.time)
        attrs: dict[str, object] = {"path": self.path, "n_parameters": self.n_parameters,
                                    "complete": int(self.complete)}
        if self.width is not None:
            attrs["width"] = self.width
        if self.source is not None:
            coords["segment"] = ("time", self.source.segment)
            attrs["sources"] = list(self.source.paths)
        return xr.DataArray(self.values, dims=("time", "parameter"), coords=coords, name="values", attrs=attrs)

    # The writers of korvant.export, by method; each writes through a
    # temporary file beside `path` and renames it into place.

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Writes the plot as CSV: the time, then the parameters, each value
        the shortest text that reads back to the same float32."""
        self._write(path, "csv")

    def to_parquet(self, path: str | os.PathLike[str]) -> None:
        """Writes the plot as Parquet (needs pyarrow): a float32 column per
        parameter, the time first."""
        self._write(path, "parquet")

    def to_hdf5(self, path: str | os.PathLike[str]) -> None:
        """Writes the plot as HDF5 (needs h5py): one dataset `values`,
        chunked by parameter, with `names`, `parameters` and `time`."""
        self._write(path, "hdf5")

    def to_npz(self, path: str | os.PathLike[str]) -> None:
        """Writes the plot as a NumPy .npz: values, names, parameters, time."""
        self._write(path, "npz")

    def _write(self, path: str | os.PathLike[str], fmt: str) -> None:
        export.write(self, path, format=fmt)
