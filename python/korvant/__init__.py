"""Read KORVANT plot files into numpy arrays.

A plot file holds the values of a simulation's named parameters once per
timestep.  ``korvant.read`` reads one into a :class:`Plot` with the values as
a float32 array, the parameter names and the time of each timestep::

    import korvant
    plot = korvant.read("run42.plt")
    plot.names, plot.time, plot["PRES-0001"]
    plot.to_pandas()

A damaged file raises :class:`PlotFileError` (a ValueError) naming the file,
the line and the field; a missing or unreadable one the matching OSError.
Nothing is ever printed.  Files are read with the interpreter lock released,
so threads read several at once (:func:`read_many`).
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from korvant import _native
from korvant._errors import PlotFileError, translate
from korvant._plot import Plot, index_of

__all__ = ["Plot", "PlotFileError", "read", "read_header", "read_many"]

PathLike = str | os.PathLike[str]


def read_header(path: PathLike) -> tuple[int, list[str]]:
    """The parameter count and the names of every parameter, from the header
    alone (cheap: no timestep is read)."""
    name = os.fspath(path)
    try:
        names = _native.read_header(name)
    except _native.ReadFailure as failure:
        raise translate(failure.args[0], name, 0, None) from None
    return len(names), names


def read(
    path: PathLike,
    width: int | None = None,
    params: Sequence[str | int] | None = None,
    partial: bool = False,
    workers: int = 1,
) -> Plot:
    """Read the plot file at `path`.

    Args:
        path: the file (str or os.PathLike).
        width: the width of a data field, 12 or 15 in practice; None detects
            it from the first timestep: the one width with which every data
            line there is exactly as long as its fields and every field a
            number.  When no width or several fit, PlotFileError asks for it.
        params: the parameters to read, by name or index, in the order the
            columns should have; None reads all.  The fields of parameters not
            selected are not converted, and so not checked either.
        partial: read the complete timesteps of a file whose last timestep is
            incomplete (a simulation still writing, a copy cut short) and set
            ``complete`` False, instead of raising PlotFileError.
        workers: threads for this one file: the file is cut at timestep
            boundaries and each part is read on its own thread, straight into
            its rows of the one array.  The cuts are placed where timesteps as
            long as the first would start, and checked; for a file whose
            timesteps differ in length they are found by counting line feeds,
            a pass over the file before the parts are read.  Results and
            errors are exactly those of ``workers=1``.

    Raises:
        PlotFileError: the file's content is damaged.
        FileNotFoundError, PermissionError, IsADirectoryError: and other
            OSErrors, from the file system.
        KeyError: a name in `params` is missing or repeated in the file.
        IndexError: an index in `params` is out of range.
        MemoryError: the values do not fit in memory.
    """
    name = os.fspath(path)
    names: list[str] | None = None
    selected: list[int] | None = None
    if params is not None:
        n, names = read_header(name)
        selected = [index_of(key, names, name) for key in params]
    used_width = width if width is not None else _detect_width(name)
    try:
        all_names, leads, values, time, complete, lead = _native.read(name, used_width or 12, selected, partial,
                                                                      max(1, workers))
        array = np.asarray(memoryview(values))
    except _native.ReadFailure as failure:
        info = failure.args[0]
        if names is None and info["kind"] in ("parse", "slice"):
            names = _names_or_none(name)
        raise translate(info, name, used_width or 12, names) from None
    columns = selected if selected is not None else list(range(len(all_names)))
    return Plot(
        path=name,
        names=[all_names[i] for i in columns],
        parameters=columns,
        values=array,
        time=None if time is None else np.frombuffer(time, dtype=np.float64),
        lead_lines=leads,
        width=used_width,
        complete=complete,
        n_parameters=len(all_names),
        lead_numbers=lead,
    )


def read_many(
    paths: Iterable[PathLike],
    workers: int | None = None,
    *,
    width: int | None = None,
    params: Sequence[str | int] | None = None,
    partial: bool = False,
) -> list[Plot]:
    """Read several plot files in parallel, on `workers` threads (default:
    one per processor).  The result is in the order of `paths`; the first
    failure in that order is raised."""
    paths = list(paths)
    count = workers or os.cpu_count() or 1
    with ThreadPoolExecutor(max_workers=max(1, min(count, len(paths) or 1))) as pool:
        futures = [pool.submit(read, path, width, params, partial) for path in paths]
        return [future.result() for future in futures]


def _names_or_none(path: str) -> list[str] | None:
    try:
        return _native.read_header(path)
    except Exception:
        return None


def _detect_width(path: str) -> int | None:
    """The one field width that fits the first timestep; None for a file
    without timesteps."""
    try:
        widths, has_blocks, line, line_bytes, fields = _native.fit_widths(path)
    except _native.ReadFailure as failure:
        raise translate(failure.args[0], path, 12, None) from None
    if not has_blocks:
        return None
    if len(widths) == 1:
        return widths[0]
    if line:
        why = f"data line {line} is {line_bytes} bytes for {fields} fields"
    else:
        why = "no width makes every field of the first timestep a number"
    raise PlotFileError(f"{path}: cannot detect the field width ({why}); pass width=", path=path, line=line or None)
