"""Many plot files as Dask collections.

    import korvant.dask
    df = korvant.dask.read("study/*.plt")            # dask.dataframe, a partition per file
    df.groupby("file")["PRES-0001"].max().compute()
    a = korvant.dask.read_array("study/*.plt")       # dask.array (files, timesteps, parameters)

Each file is read by one task with `korvant.read`, wherever Dask runs the
task: the threaded scheduler (the read releases the interpreter lock, so the
threads use every core), processes, or a `distributed` cluster whose workers
can import `korvant` and see the files under the same paths.  Building a
collection reads only the first file's header (and, for `read_array`, that
file's timesteps with one parameter, for their count); the values are read
when the result is computed.  The paths expand as for `korvant.read_many`,
and `width`, `params` and `partial` are those of `korvant.read`.

This module needs Dask (`pip install tavrel[dask]`); `import korvant` alone
never imports it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import types
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

import numpy as np

import korvant
from korvant._extras import install_hint
from korvant._options import ReadOptions
from korvant._paths import Paths, expand
from korvant._read import Params, read_with
from korvant._select import resolve


def _missing() -> str:
    """What to install for Dask."""
    hint = install_hint("python3-dask and python3-distributed,", "dask")
    return f"korvant.dask needs Dask, which is not installed here: {hint}"


@contextlib.contextmanager
def _planner_quiet() -> Iterator[None]:
    """Imports of Dask without the FutureWarning that Debian's Dask gives
    whenever dask.dataframe is first imported: it comes without dask-expr,
    its query planner, and says so on every run.  Only that warning, and
    only around this module's own imports of Dask."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="Dask dataframe query planning is disabled", category=FutureWarning)
        yield


try:
    with _planner_quiet():
        import dask.array as da
        from dask.base import tokenize
        from dask.highlevelgraph import HighLevelGraph
except ImportError as error:
    raise ImportError(_missing()) from error

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

__all__ = ["FileMismatchError", "read", "read_array"]



class FileMismatchError(korvant.PlotFileError):
    """A file of a collection differs from the first file, from whose header
    the collection's columns (and, for arrays, its shape) were taken.

    `path` is the differing file, `first` the first file; `line` is the
    1-based header line where the names start to differ, when they do."""

    def __init__(self, message: str, path: str, first: str, line: int | None = None) -> None:
        # ValueError's own initialiser and pickling: this error does not
        # depend on how PlotFileError builds, and pickles, the errors of a
        # read.  It crosses from a worker to the client as its arguments.
        ValueError.__init__(self, message, path, first, line)
        self.path = path
        self.first = first
        self.line = line
        self.parameter = None
        self.timestep = None
        self.text = None

    def __reduce__(self) -> tuple[type, tuple]:
        return type(self), self.args

    def __str__(self) -> str:
        return self.args[0]


def _files(paths: Paths) -> list[str]:
    """The files of a collection, expanded as read_many expands them."""
    files, _ = expand(paths)
    if not files:
        raise ValueError("no plot files given")
    return files


def _columns(first: str, names: list[str], options: ReadOptions) -> tuple[int, ...]:
    """The file's parameter indices that `options` selects among the first
    file's `names`, in the order given."""
    indices = tuple(resolve(options.params, names, first))
    # Dask addresses columns by name: each must be unique, and `file` and
    # `time` are taken.
    seen = {"file", "time"}
    for i in indices:
        if names[i] in seen:
            raise ValueError(f"column {names[i]!r} would occur twice (`file` and `time` are taken); "
                             "leave one out with params")
        seen.add(names[i])
    return indices


class _Reader:
    """Reads the selected parameters of one file in a task, after checking
    that the file's names are those of the first file.  Picklable, so the
    tasks travel to the workers of a cluster."""

    def __init__(self, first: str, names: list[str], options: ReadOptions) -> None:
        self.first = first
        self.names = names
        self.options = options  # the selection as the file's indices

    @property
    def indices(self) -> tuple[int, ...]:
        return self.options.params  # type: ignore[return-value]

    def __dask_tokenize__(self) -> object:
        return (type(self).__name__, self.first, self.names, self.options)

    def plot(self, path: str) -> korvant.Plot:
        # The first file too: it may have been rewritten since its header
        # gave the collection its columns.
        count, names = korvant.read_header(path)
        if names != self.names:
            first = f"{self.first} has" if path != self.first else "the collection, built from its header, has"
            differ = next((i for i, (a, b) in enumerate(zip(names, self.names)) if a != b), None)
            if differ is None:
                raise FileMismatchError(f"{path} has {count} parameters where {first} {len(self.names)}",
                                        path, self.first, 1)
            raise FileMismatchError(f"{path}:{differ + 2}: parameter {differ + 1} is {names[differ]!r}, "
                                    f"where {first} {self.names[differ]!r}", path, self.first, differ + 2)
        return read_with(path, self.options)


class _Partition(_Reader):
    """One partition of `read`: the columns `file`, `time` and the selected
    parameters, which Dask may narrow to the columns a computation uses."""

    def __init__(self, first: str, names: list[str], options: ReadOptions, strings: str,
                 fields: tuple[bool, bool] = (True, True)) -> None:
        super().__init__(first, names, options)
        self.strings = strings  # dtype of the `file` column
        self.fields = fields  # whether the partition holds `file` and `time`

    def __dask_tokenize__(self) -> object:
        return (*super().__dask_tokenize__(), self.strings, self.fields)

    @property
    def columns(self) -> list[str]:
        fixed = [column for column, wanted in zip(("file", "time"), self.fields) if wanted]
        return fixed + [self.names[i] for i in self.indices]

    def project_columns(self, columns: Sequence[str]) -> _Partition:
        wanted = set(columns)
        indices = tuple(i for i in self.indices if self.names[i] in wanted)
        return _Partition(self.first, self.names, dataclasses.replace(self.options, params=indices), self.strings,
                          ("file" in wanted, "time" in wanted))

    def frame(self, path: str, plot: korvant.Plot | None) -> pandas.DataFrame:
        """The partition of the file at `path` read as `plot`; None gives the
        empty frame Dask takes as the columns' description.  The parameters'
        columns are the plot's values, not copied (as in Plot.to_pandas):
        one float32 block, and the file and time columns beside it."""
        import pandas

        steps = len(plot) if plot is not None else 0
        values = plot.values if plot is not None else np.empty((0, len(self.indices)), np.float32)
        frame = pandas.DataFrame(values, columns=[self.names[i] for i in self.indices], copy=False)
        if self.fields[1]:
            time = plot.time if plot is not None else None
            frame.insert(0, "time", time if time is not None else np.full(steps, np.nan))
        if self.fields[0]:
            frame.insert(0, "file", pandas.array([path] * steps, dtype=self.strings))
        return frame

    def __call__(self, path: str) -> pandas.DataFrame:
        return self.frame(path, self.plot(path))


def _dataframe() -> types.ModuleType:
    """dask.dataframe, imported on first use (building a frame needs it,
    an array does not)."""
    try:
        with _planner_quiet():
            import dask.dataframe
    except ImportError as error:
        raise ImportError(_missing()) from error
    return dask.dataframe


def _string_dtype() -> str:
    """The dtype of a column of str that Dask keeps as it is: pyarrow
    strings where Dask is set to convert object columns to them (it would
    otherwise add a conversion of every partition, which hides the reads
    from Dask's narrowing of columns), object elsewhere."""
    try:
        from dask.dataframe.utils import pyarrow_strings_enabled
    except ImportError:
        return "object"
    return "string[pyarrow]" if pyarrow_strings_enabled() else "object"


def read(paths: Paths, *, width: int | None = None, params: Params = None,
         partial: bool = False) -> dask.dataframe.DataFrame:
    """The plot files as one `dask.dataframe.DataFrame`, a partition per file.

    `paths` is one path or an iterable of them, each a file, a folder or a
    glob pattern, expanded as `korvant.read_many` expands them.  The columns
    are `file` (the file's path, as given or matched), `time` (float64, the
    first number of each lead line; NaN throughout for a file whose lead
    lines do not all have one) and the selected parameters (float32, named as
    in the files, the read's own storage as in `Plot.to_pandas`).  `width`,
    `params` and `partial` are those of `korvant.read`, for every file; the
    selection is made among the first file's names.  Each partition's index
    counts the file's timesteps from 0; divisions are unknown.

    The columns come from the first file's header alone; no values are read
    until the result is computed.  Every file must then have the first
    file's parameter names in the same order (the first file too, in case it
    was rewritten in between): a file that does not raises
    FileMismatchError (a korvant.PlotFileError) naming both files, and a file
    that cannot be read raises its own error, each when that file's
    partition is computed.
    """
    dd = _dataframe()
    options = ReadOptions.of(width=width, params=params, partial=partial)
    files = _files(paths)
    _, names = korvant.read_header(files[0])
    options = dataclasses.replace(options, params=_columns(files[0], names, options))
    partition = _Partition(files[0], names, options, _string_dtype())
    return dd.from_map(partition, files, meta=partition.frame(files[0], None), label="korvant-read",
                       enforce_metadata=False)


class _Block(_Reader):
    """One chunk of `read_array`: a file's values, shape (1, timesteps, columns)."""

    def __init__(self, first: str, names: list[str], options: ReadOptions, steps: int) -> None:
        super().__init__(first, names, options)
        self.steps = steps

    def __call__(self, path: str) -> np.ndarray:
        values = self.plot(path).values
        if values.shape[0] != self.steps:
            raise FileMismatchError(f"{path} has {values.shape[0]} timesteps where {self.first} has {self.steps}",
                                    path, self.first)
        return values[np.newaxis]


def read_array(paths: Paths, *, width: int | None = None, params: Params = None, partial: bool = False) -> da.Array:
    """The plot files' values as one float32 `dask.array.Array` of shape
    (files, timesteps, parameters), a chunk per file.

    `paths`, `width`, `params` and `partial` are those of `read`; the
    parameters are the selected ones, in the order given.  The shape is the
    first file's: its header gives the parameter count, and its complete
    timesteps are counted by reading that file once on the client with the
    first selected parameter alone (so a first file whose structure or that
    parameter cannot be read raises its error here).  Every file must have
    that shape and the first file's parameter names: a file that does not
    raises FileMismatchError (a korvant.PlotFileError) naming both files, and
    a file that cannot be read raises its own error, each when a computation
    needs that file's chunk.
    """
    options = ReadOptions.of(width=width, params=params, partial=partial)
    files = _files(paths)
    _, names = korvant.read_header(files[0])
    indices = _columns(files[0], names, options)
    options = dataclasses.replace(options, params=indices)
    # The reader's own count; `partial` counts the complete timesteps of a
    # file cut off, whose chunk then fails when computed, as it would alone
    # (unless partial=True was asked for).
    first_column = dataclasses.replace(options, params=indices[:1] or None, partial=True)
    steps = len(read_with(files[0], first_column))
    block = _Block(files[0], names, options, steps)
    name = "korvant-read-array-" + tokenize(block, files)
    graph = {(name, k, 0, 0): (block, path) for k, path in enumerate(files)}
    chunks = ((1,) * len(files), (block.steps,), (len(block.indices),))
    return da.Array(HighLevelGraph.from_collections(name, graph, dependencies=()), name, chunks, dtype=np.float32)
