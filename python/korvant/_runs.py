"""The runs of a study on one time axis: what korvant.xarray.open_study
holds, before it is labelled.

Opening reads each file's names and timesteps without their values (the
time of each timestep and their count, in one opening per file); the
study's columns come from the names (korvant._study), and its time axis
from the times.  The values of each run are then read by one task that
places them on the axis: a Dask task per run when the values are lazy, or
all of them at once in threads.
"""

from __future__ import annotations

import dataclasses
import operator
import os
import uuid
from collections.abc import Sequence
from typing import Any

import numpy as np

from korvant._extras import install_hint
from korvant._options import ReadOptions, positive_int
from korvant._paths import expand
from korvant._study import FILE_ERRORS, Columns, columns_of, each, read_columns, read_outline, study_choices, \
    with_errors

__all__ = ["Runs", "open_runs", "open_study"]


@dataclasses.dataclass
class Runs:
    """The runs of a study: their files, columns, timestep counts, time axis
    (None when the runs' times cannot share one), values (runs, time,
    parameters) as a numpy or Dask array, and, unless errors are raised,
    each run's failure text ("" for none) and the files left out, a line
    each."""

    paths: list[str]
    columns: Columns
    counts: list[int]
    complete: list[bool]
    time: np.ndarray | None
    values: Any
    errors: Any
    failed: list[str]  # "path: why" of each file left out


def message_of(error: BaseException) -> str:
    """A failure in one line of text."""
    text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
    return " ".join(text.split()) or type(error).__name__


def failure_line(path: str, error: BaseException) -> str:
    """The line "path: why" of a file that failed, naming its path once."""
    text = message_of(error)
    return text if text.startswith(path) else f"{path}: {text}"


@dataclasses.dataclass(frozen=True)
class RunReader:
    """Reads one run's values onto the study's time axis: a task, picklable
    for a Dask worker.  Returns the values, shape (1, length, columns), and
    the failure text ("" for none); a failure is raised under "raise"."""

    columns: Columns
    options: ReadOptions
    errors: str
    length: int

    def __call__(self, path: str, count: int, positions: np.ndarray | None,
                 times: np.ndarray | None = None) -> tuple[np.ndarray, str]:
        try:
            return self.placed(path, count, positions, times), ""
        except FILE_ERRORS as error:
            if self.errors == "raise":
                raise
            return np.full((1, self.length, len(self.columns.indices)), np.nan, dtype=np.float32), message_of(error)

    def placed(self, path: str, count: int, positions: np.ndarray | None,
               times: np.ndarray | None = None) -> np.ndarray:
        """The run's values on the axis.  The file may have grown since the
        study was opened (a run still going), and its first `count`
        timesteps are taken; fewer timesteps, or other times for them (the
        file was replaced, or a run restarted over it), fail."""
        plot = read_columns(path, self.columns, self.options)
        if len(plot) < count:
            raise ValueError(f"{path} has {len(plot)} timesteps, {count} when the study was opened")
        if times is not None and (plot.time is None or not np.array_equal(plot.time[:count], times, equal_nan=True)):
            raise ValueError(f"{path} has changed since the study was opened: the times of its first {count} "
                             "timesteps are not those read then")
        rows = plot.values[:count]
        if positions is None and count == self.length:
            return rows[np.newaxis]  # the read's own memory
        out = np.full((1, self.length, rows.shape[1]), np.nan, dtype=np.float32)
        out[0, positions if positions is not None else slice(0, count)] = rows
        return out


def time_axis(times: Sequence[np.ndarray | None], counts: Sequence[int]) -> tuple[
        np.ndarray | None, list[np.ndarray | None], int]:
    """The study's time axis, each run's positions on it (None: its first
    timesteps) and the axis's length.  Runs whose times all increase
    strictly share the sorted union of their times; otherwise the axis
    counts timesteps and has no times."""
    if all(t is not None and bool(np.all(np.diff(t) > 0)) for t in times):
        axis = np.unique(np.concatenate(times)) if times else np.empty(0)
        positions = [None if np.array_equal(axis[: len(t)], t) else np.searchsorted(axis, t)
                     for t in times]  # type: ignore[arg-type]
        return axis, positions, len(axis)
    return None, [None] * len(times), max(counts, default=0)


def error_chunk(result: tuple[np.ndarray, str]) -> np.ndarray:
    return np.array([result[1]], dtype=object)


Job = tuple[str, int, np.ndarray | None, np.ndarray | None]  # path, count, positions, times


def dask_arrays(reader: RunReader, jobs: list[Job]) -> tuple[Any, Any]:
    """The values and the failure texts as Dask arrays, a task per run that
    both take their part of."""
    import dask.array as da
    from dask.highlevelgraph import HighLevelGraph

    key = uuid.uuid4().hex  # a new opening is a new read of the files
    read, values, errors = f"korvant-run-{key}", f"korvant-study-{key}", f"korvant-error-{key}"
    reads = {(read, k): (reader, *job) for k, job in enumerate(jobs)}
    value_layer = {(values, k, 0, 0): (operator.getitem, (read, k), 0) for k in range(len(jobs))}
    error_layer = {(errors, k): (error_chunk, (read, k)) for k in range(len(jobs))}
    runs = (1,) * len(jobs)
    value_array = da.Array(HighLevelGraph.from_collections(values, reads | value_layer, dependencies=()), values,
                           (runs, (reader.length,), (len(reader.columns.indices),)), dtype=np.float32)
    error_array = da.Array(HighLevelGraph.from_collections(errors, reads | error_layer, dependencies=()), errors,
                           (runs,), dtype=object)
    return value_array, error_array


def eager_arrays(reader: RunReader, jobs: list[Job],
                 threads: int) -> tuple[np.ndarray, np.ndarray]:
    """The values and the failure texts, read now, `threads` runs at a time."""
    values = np.empty((len(jobs), reader.length, len(reader.columns.indices)), dtype=np.float32)
    texts = np.empty(len(jobs), dtype=object)

    def place(k: int) -> None:
        values[k], texts[k] = reader(*jobs[k])

    for result in each(range(len(jobs)), place, threads):  # type: ignore[arg-type]
        if isinstance(result, BaseException):
            raise result
    return values, texts


def use_dask(lazy: bool | None) -> bool:
    """Whether the values are read lazily: `lazy`, or where it is None,
    whether Dask is installed."""
    if lazy is False:
        return False
    try:
        import dask.array  # noqa: F401
    except ImportError:
        if lazy:
            raise ImportError(f"lazy=True needs Dask: {install_hint('python3-dask', 'dask')}") from None
        return False
    return True


def open_runs(paths: Any, *, params: Any, errors: str, align: str, width: int | None, partial: bool,
              threads: int | None, lazy: bool | None, compression: str | None = "infer",
              storage_options: dict[str, Any] | None = None) -> Runs:
    """The runs of the study of `paths` (see korvant.xarray.open_study)."""
    options = ReadOptions.of(width=width, params=params, partial=partial, compression=compression,
                             storage_options=storage_options)
    errors, align = study_choices(errors, align)
    count = positive_int("threads", threads) if threads is not None else os.cpu_count() or 1
    files, _ = expand(paths, storage_options)
    if not files:
        raise ValueError("no plot files given")
    options = with_errors(options, errors)
    outlines = each(files, lambda path: read_outline(path, options), count)
    good = [(path, *outline) for path, outline in zip(files, outlines) if not isinstance(outline, BaseException)]
    failed: list[tuple[str, Any]] = [(p, o) for p, o in zip(files, outlines) if isinstance(o, BaseException)]
    columns = columns_of([(path, names) for path, names, _ in good], options.params, align) if good else None
    kept = []
    for path, names, plot in good:
        try:
            columns.selector(path, [])(names)  # type: ignore[union-attr]  # strict and require, checked now
            kept.append((path, plot))
        except FILE_ERRORS as error:
            failed.append((path, error))
    order = {path: k for k, path in enumerate(files)}
    failed.sort(key=lambda item: order[item[0]])
    if failed and (errors == "raise" or not kept):
        raise failed[0][1]
    time, positions, length = time_axis([plot.time for _, plot in kept], [len(plot) for _, plot in kept])
    reader = RunReader(columns, options, errors, length)  # type: ignore[arg-type]
    jobs = [(path, len(plot), where, plot.time) for (path, plot), where in zip(kept, positions)]
    values, texts = dask_arrays(reader, jobs) if use_dask(lazy) else eager_arrays(reader, jobs, count)
    return Runs([path for path, _ in kept], columns, [len(plot) for _, plot in kept],  # type: ignore[arg-type]
                [bool(plot.complete) for _, plot in kept], time, values, None if errors == "raise" else texts,
                [failure_line(path, error) for path, error in failed])


def open_study(paths: Any, **options: Any) -> Any:
    """The runs of a study as one xarray DataArray (run, time, parameter):
    korvant.xarray.open_study, whose documentation gives the options.  That
    module, and with it xarray, is imported on the first call."""
    from korvant.xarray import open_study as opened

    return opened(paths, **options)
