"""Many plot files as Dask collections.

    import korvant.dask
    df = korvant.dask.read("study/*.plt")            # dask.dataframe, a partition per file
    df.groupby("file")["PRES-0001"].max().compute()
    a = korvant.dask.read_array("study/*.plt")       # dask.array (files, timesteps, parameters)

Each file is read by one task with `korvant.read`, wherever Dask runs the
task: the threaded scheduler (the read releases the interpreter lock, so the
threads use every core), processes, or a `distributed` cluster whose workers
can import `korvant` and see the files under the same paths.  Building a
collection reads the files' headers (and, for `read_array`, the first
file's timesteps without values, for their count); the values are read
when the result is computed, each file's by its own task.  A partition's
parameter columns, and a chunk, are the array that read made, not a copy
(but where a file lacks a name, whose column is then NaN, or, in the array,
has fewer timesteps than the first and is padded).  The paths expand as
for `korvant.read_many`; `width`, `params` and `partial` are those of
`korvant.read`, `errors` and `align` those of `korvant.read_many`.

This module needs Dask (`pip install tavrel[dask]`); `import korvant` alone
never imports it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import os
import types
import warnings
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import korvant
from korvant._extras import install_hint
from korvant._errors import FileMismatchError
from korvant._options import ReadOptions
from korvant._paths import Paths, expand
from korvant._read import Params, read_with
from korvant._study import FILE_ERRORS, Columns, columns_of, each, read_columns, read_names, study_choices, \
    with_errors


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
try:
    # A Blockwise argument with a value per chunk (its file), where Dask has it.
    from dask.layers import ArrayValuesDep
except ImportError:
    ArrayValuesDep = None

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

__all__ = ["FileMismatchError", "read", "read_array"]


def _files(paths: Paths, options: ReadOptions) -> list[str]:
    """The files of a collection, expanded as read_many expands them."""
    files, _ = expand(paths, options.storage_options)
    if not files:
        raise ValueError("no plot files given")
    return files


def _columns(files: list[str], options: ReadOptions, errors: str, align: str) -> tuple[list[str], Columns]:
    """The files a collection takes and their columns.  Under "strict" the
    first file's header gives the columns (each file is checked when its
    part is read); otherwise every file's header does (their union), and a
    file whose header cannot be read is left out ("skip", "partial") or
    raises its error now ("raise")."""
    if align == "strict":
        headers = [(files[0], read_names(files[0], options))]
    else:
        heads = each(files, lambda path: read_names(path, options), os.cpu_count() or 1)
        bad = [h for h in heads if isinstance(h, BaseException)]
        if bad and (errors == "raise" or len(bad) == len(files)):
            raise bad[0]
        headers = [(path, h) for path, h in zip(files, heads) if not isinstance(h, BaseException)]
        files = [path for path, _ in headers]
    columns = columns_of(headers, options.params, align)
    # Dask addresses columns by name: each must be unique, and `file` and
    # `time` are taken.
    seen = {"file", "time"}
    for name in columns.names:
        if name in seen:
            raise ValueError(f"column {name!r} would occur twice (`file` and `time` are taken); "
                             "leave one out with params")
        seen.add(name)
    return files, columns


class _Reader:
    """Reads the selected parameters of one file in a task, found by name in
    its header (or, under "strict", after checking that its names are the
    first file's).  A file that cannot be read raises, or under "skip" and
    "partial" gives None.  Picklable, so the tasks travel to the workers of
    a cluster."""

    def __init__(self, study: Columns, options: ReadOptions, errors: str) -> None:
        self.study = study
        self.options = options
        self.errors = errors

    def __dask_tokenize__(self) -> object:
        return (type(self).__name__, self.study, self.options, self.errors)

    def plot(self, path: str) -> korvant.Plot | None:
        try:
            return read_columns(path, self.study, self.options)
        except FILE_ERRORS:
            if self.errors == "raise":
                raise
            return None


class _Partition(_Reader):
    """One partition of `read`: the columns `file`, `time` and the selected
    parameters, which Dask may narrow to the columns a computation uses."""

    def __init__(self, study: Columns, options: ReadOptions, errors: str, strings: str,
                 fields: tuple[bool, bool] = (True, True)) -> None:
        super().__init__(study, options, errors)
        self.strings = strings  # dtype of the `file` column
        self.fields = fields  # whether the partition holds `file` and `time`

    def __dask_tokenize__(self) -> object:
        return (*super().__dask_tokenize__(), self.strings, self.fields)

    @property
    def columns(self) -> list[str]:
        fixed = [column for column, wanted in zip(("file", "time"), self.fields) if wanted]
        return fixed + self.study.names

    def project_columns(self, columns: Sequence[str]) -> _Partition:
        wanted = set(columns)
        positions = [k for k, name in enumerate(self.study.names) if name in wanted]
        return _Partition(self.study.narrowed(positions), self.options, self.errors, self.strings,
                          ("file" in wanted, "time" in wanted))

    def frame(self, path: str, plot: korvant.Plot | None) -> pandas.DataFrame:
        """The partition of the file at `path` read as `plot`; None gives an
        empty frame (the columns' description Dask takes, or a file skipped).
        The parameters' columns are the plot's values, not copied (as in
        Plot.to_pandas): one float32 block, and the file and time columns
        beside it."""
        import pandas

        steps = len(plot) if plot is not None else 0
        names = self.study.names
        values = plot.values if plot is not None else np.empty((0, len(names)), np.float32)
        frame = pandas.DataFrame(values, columns=names, copy=False)
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


def read(paths: Paths, *, width: int | None = None, params: Params = None, partial: bool = False,
         errors: str = "raise", align: str = "fill", compression: str | None = "infer",
         storage_options: dict[str, Any] | None = None) -> dask.dataframe.DataFrame:
    """The plot files as one `dask.dataframe.DataFrame`, a partition per file.

    `paths` is one path or an iterable of them, each a file, a folder or a
    glob pattern, expanded as `korvant.read_many` expands them.  The columns
    are `file` (the file's path, as given or matched), `time` (float64, the
    first number of each lead line; NaN throughout for a file whose lead
    lines do not all have one) and the selected parameters (float32, named as
    in the files, the read's own storage as in `Plot.to_pandas`).  `width`,
    `params`, `partial`, `compression` and `storage_options` are those of
    `korvant.read`, for every file; URLs and their globs are read on the
    workers, each through fsspec with `storage_options`.
    Each partition's index counts the file's timesteps from 0; divisions
    are unknown.

    Building the frame reads the files' headers, no values.  The columns
    are every file's names (the first file's, then those later files add),
    or those `params` selects among them; each file's are found by name
    when its partition is computed, and a name that a file lacks is NaN
    there.  `align` and `errors` are those of korvant.read_many: "require"
    fails a file that lacks a selected name (KeyError); "strict" takes the
    columns from the first file's header alone and fails a file whose names
    are not the first file's, in order (FileMismatchError, naming both
    files).  A file that cannot be read raises its error when its partition
    is computed, or, for its header, now; under errors "skip" and "partial"
    its partition is empty instead (a header that cannot be read leaves the
    file out now).  The frame itself does not say which files failed:
    `korvant.open_study` does, in its `error` coordinate.
    """
    dd = _dataframe()
    options = ReadOptions.of(width=width, params=params, partial=partial, compression=compression,
                             storage_options=storage_options)
    errors, align = study_choices(errors, align)
    files, study = _columns(_files(paths, options), options, errors, align)
    partition = _Partition(study, with_errors(options, errors), errors, _string_dtype())
    return dd.from_map(partition, files, meta=partition.frame(files[0], None), label="korvant-read",
                       enforce_metadata=False)


class _Block(_Reader):
    """One chunk of `read_array`: a file's values, shape (1, timesteps, columns)."""

    def __init__(self, study: Columns, options: ReadOptions, errors: str, steps: int) -> None:
        super().__init__(study, options, errors)
        self.steps = steps

    def __dask_tokenize__(self) -> object:
        return (*super().__dask_tokenize__(), self.steps)

    def __call__(self, path: str) -> np.ndarray:
        plot = self.plot(path)
        if plot is not None and len(plot) == self.steps:
            # The read's own array, not copied: the chunk is a view of it
            # with the file's axis in front.
            return plot.values[np.newaxis]
        out = np.full((1, self.steps, len(self.study.indices)), np.nan, dtype=np.float32)
        if plot is None:
            return out
        values = plot.values
        if self.errors == "raise" or values.shape[0] > self.steps:
            error = FileMismatchError(f"{path} has {values.shape[0]} timesteps where {self.study.first} has "
                                      f"{self.steps}", path, self.study.first)
            if self.errors == "raise":
                raise error
            return out
        out[0, : values.shape[0]] = values
        return out


def read_array(paths: Paths, *, width: int | None = None, params: Params = None, partial: bool = False,
               errors: str = "raise", align: str = "fill", compression: str | None = "infer",
               storage_options: dict[str, Any] | None = None) -> da.Array:
    """The plot files' values as one float32 `dask.array.Array` of shape
    (files, timesteps, parameters), a chunk per file.

    `paths`, `width`, `params`, `partial`, `errors`, `align`, `compression`
    and `storage_options` are those of `read`; the parameters are the selected ones, in the order given.  The
    shape is the first file's: the headers give the parameters, and the
    first file's complete timesteps are counted by reading it once on the
    client without values (so a first file whose structure cannot be read
    raises its error here).  A file with another count fails with
    FileMismatchError (a korvant.PlotFileError) naming both files, and a
    file that cannot be read with its own error, each when a computation
    needs that file's chunk.  Under errors "skip" and "partial" such a chunk
    is NaN instead, and a file with fewer timesteps than the first is
    padded with NaN (`korvant.open_study` pads every run, and says why one
    failed).

    The chunks form one blockwise layer: what follows blockwise (a slice, a
    reduction's first step) runs in the task that reads the file.
    """
    options = ReadOptions.of(width=width, params=params, partial=partial, compression=compression,
                             storage_options=storage_options)
    errors, align = study_choices(errors, align)
    files, study = _columns(_files(paths, options), options, errors, align)
    # The reader's own count; `partial` counts the complete timesteps of a
    # file cut off, whose chunk then fails when computed, as it would alone
    # (unless partial=True was asked for).
    steps = len(read_with(files[0], dataclasses.replace(options, params=(), partial=True)))
    block = _Block(study, with_errors(options, errors), errors, steps)
    name = "korvant-read-array-" + tokenize(block, files)
    chunks = ((1,) * len(files), (steps,), (len(study.indices),))
    if ArrayValuesDep is None:
        graph = {(name, k, 0, 0): (block, path) for k, path in enumerate(files)}
        return da.Array(HighLevelGraph.from_collections(name, graph, dependencies=()), name, chunks,
                        dtype=np.float32)
    # One Blockwise layer, whose task for chunk k calls the block with file
    # k: Dask fuses the blockwise steps that follow (a reduction's first
    # step, a slice) into that task, and a cluster runs one task per file.
    each_file = ArrayValuesDep(chunks, {(k, 0, 0): path for k, path in enumerate(files)})
    return da.blockwise(block, "ijk", each_file, "ijk", name=name, dtype=np.float32,
                        meta=np.empty((0, 0, 0), np.float32), align_arrays=False)
