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

import operator
import os
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from korvant import _native
from korvant._errors import PlotFileError, quote, translate
from korvant._plot import Plot, index_of

__all__ = ["Plot", "PlotFileError", "read", "read_header", "read_many"]

PathLike = str | os.PathLike[str]

#: The longest path passed on to the system; longer ones are no file name.
PATH_LIMIT = 4096


def read_header(path: PathLike) -> tuple[int, list[str]]:
    """The parameter count and the names of every parameter, from the header
    alone (cheap: no timestep is read)."""
    name, shown = _path_argument(path)
    try:
        names = _native.read_header(name)
    except _native.ReadFailure as failure:
        raise translate(failure.args[0], shown) from None
    return len(names), names


def read(
    path: PathLike,
    width: int | None = None,
    params: str | int | Iterable[str | int] | None = None,
    partial: bool = False,
    workers: int = 1,
) -> Plot:
    """Read the plot file at `path`.

    The file is opened once: its header, the width detection, the selection
    and every part of a read on several threads come from that one opening,
    so a pipe reads as a file does, and a file replaced while it is read is
    read whole as it was when opened.

    Args:
        path: the file (str, bytes or os.PathLike).
        width: the width of a data field, a positive int (12 or 15 in
            practice); None detects it from the first timestep: the one
            width with which every data line there is exactly as long as its
            fields and every field a number.  When no width fits,
            PlotFileError asks for it.  A file whose first timestep is
            incomplete is never judged by it.
        params: the parameters to read, by name (str) or index (int), in the
            order the columns should have; one str or int stands for itself;
            None reads all, and an empty list none.  The fields of parameters
            not selected are not converted, and so not checked either.
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
        TypeError, ValueError: an argument of the wrong type or value.
        MemoryError: the values do not fit in memory.
    """
    name, shown = _path_argument(path)
    if width is not None:
        width = _positive_int("width", width)
    keys = _params_argument(params)
    threads = _positive_int("workers", workers)
    select = None
    if keys is not None:
        def select(names: list[str]) -> list[int]:
            return [index_of(key, names, shown) for key in keys]
    try:
        names, selected, leads, values, time, complete, used, lead = _native.read(name, width or 0, select, partial,
                                                                                 threads)
    except _native.ReadFailure as failure:
        raise translate(failure.args[0], shown) from None
    columns = selected if selected is not None else list(range(len(names)))
    return Plot(
        path=shown,
        names=[names[i] for i in columns],
        parameters=columns,
        values=np.asarray(memoryview(values)),
        time=None if time is None else np.frombuffer(time, dtype=np.float64),
        lead_lines=leads,
        width=used or None,
        complete=complete,
        n_parameters=len(names),
        lead_numbers=lead,
    )


def read_many(
    paths: Iterable[PathLike],
    workers: int | None = None,
    *,
    width: int | None = None,
    params: str | int | Iterable[str | int] | None = None,
    partial: bool = False,
) -> list[Plot]:
    """Read several plot files in parallel, on `workers` threads (default:
    one per processor).  The result is in the order of `paths`; the first
    failure in that order is raised."""
    paths = list(paths)
    count = _positive_int("workers", workers) if workers is not None else os.cpu_count() or 1
    with ThreadPoolExecutor(max_workers=max(1, min(count, len(paths) or 1))) as pool:
        futures = [pool.submit(read, path, width, params, partial) for path in paths]
        return [future.result() for future in futures]


def _path_argument(path: PathLike) -> tuple[str | bytes, str]:
    """The path as the system takes it, and as messages show it.  A path
    that cannot be a file name (a NUL byte, or longer than any file name) is
    a ValueError that quotes only its start."""
    name = os.fspath(path)
    if len(name) > PATH_LIMIT or ("\0" in name if isinstance(name, str) else b"\0" in name):
        why = "holds a NUL character" if len(name) <= PATH_LIMIT else f"is {len(name)} characters long"
        start = name[:80] if isinstance(name, str) else os.fsdecode(name[:80])
        raise ValueError(f"path {quote(start)} {why}: not a file name")
    return name, os.fsdecode(name)


def _positive_int(what: str, value: object) -> int:
    """`value` as an int of at least 1; bool and float are not counts."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be a positive int, not {type(value).__name__}")
    if value < 1 or value > 0xFFFFFFFF:
        raise ValueError(f"{what} must be a positive int, not {value}")
    return value


def _params_argument(params: object) -> list[str | int] | None:
    """The selection as a list of names and indices: one str (a name) or
    int stands for itself.  bool, float and bytes are neither."""
    if params is None:
        return None
    if isinstance(params, str) or (hasattr(params, "__index__") and not isinstance(params, bool)):
        params = [params]
    if isinstance(params, (bytes, bytearray)) or not isinstance(params, Iterable):
        raise TypeError(f"params must be a name, an index or a list of them, not {type(params).__name__}")
    keys: list[str | int] = []
    for key in params:
        if isinstance(key, str):
            keys.append(key)
        elif isinstance(key, bool) or not hasattr(key, "__index__"):
            raise TypeError(f"params holds {quote(repr(key))} ({type(key).__name__}): "
                            "a parameter is a name (str) or an index (int)")
        else:
            keys.append(operator.index(key))
    return keys
