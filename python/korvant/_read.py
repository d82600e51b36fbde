"""korvant.read, read_many and read_header: the calls into the native reader."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any

import numpy as np

from korvant import _native
from korvant._errors import translate
from korvant._options import ReadOptions, positive_int, threads_argument
from korvant._paths import PathLike, Paths, expand, path_argument
from korvant._plot import Plot
from korvant._select import Key, resolve
from korvant._sources import Source, opened, size_hint

if TYPE_CHECKING:
    from korvant._study import Batch

__all__ = ["read", "read_header", "read_many", "read_with"]

Params = Key | Iterable[Key] | None


def read_header(path: PathLike) -> tuple[int, list[str]]:
    """The parameter count and the names of every parameter, from the header
    alone (cheap: no timestep is read)."""
    name, shown = path_argument(path)
    try:
        names = _native.read_header(name)
    except _native.ReadFailure as failure:
        raise translate(failure.args[0], shown) from None
    return len(names), names


def read(
    path: Source,
    *,
    width: int | None = None,
    params: Params = None,
    partial: bool = False,
    threads: int = 1,
    compression: str | None = "infer",
    storage_options: dict[str, Any] | None = None,
    workers: int | None = None,
) -> Plot:
    """Read the plot file at `path`.

    The file is opened once: its header, the width detection, the selection
    and every part of a read on several threads come from that one opening,
    so a pipe reads as a file does, and a file replaced while it is read is
    read whole as it was when opened.

    Args:
        path: the file: a path (str, bytes or os.PathLike); a file object
            (with ``readinto`` or ``read``: an open file, ``io.BytesIO``,
            ``gzip.open(...)``), read once from where it stands; or a URL
            (``s3://bucket/run.plt``, any protocol fsspec knows).
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
        threads: threads for this one file: the file is cut at
            timestep boundaries and each part is read on its own thread,
            straight into its rows of the one array.  The cuts are placed
            where timesteps as long as the first would start, and checked;
            for a file whose timesteps differ in length they are found by
            counting line feeds, a pass over the file before the parts are
            read.  Results and errors are exactly those of ``threads=1``.
        compression: "infer" reads a gzip, zstd, xz or bzip2 stream
            decompressed, recognised by its magic bytes (never by the name);
            None reads every file as it is.  A compressed file is read on one
            thread, as it comes.
        storage_options: for a URL, what fsspec's filesystem takes
            (credentials, an endpoint); as pandas' readers take them.
        workers: the former name of `threads`; it warns
            (DeprecationWarning) and goes in the next release.

    Raises:
        PlotFileError: the file's content is damaged.
        FileNotFoundError, PermissionError, IsADirectoryError: and other
            OSErrors, from the file system.
        KeyError: a name in `params` is missing or repeated in the file.
        IndexError: an index in `params` is out of range.
        TypeError, ValueError: an argument of the wrong type or value.
        MemoryError: the values do not fit in memory.
    """
    count = positive_int("threads", threads_argument(threads, workers, 1))
    options = ReadOptions.of(width=width, params=params, partial=partial, compression=compression,
                             storage_options=storage_options)
    return read_with(path, options, count)


def read_many(
    paths: Paths,
    *,
    threads: int | None = None,
    width: int | None = None,
    params: Params = None,
    partial: bool = False,
    errors: str = "raise",
    align: str = "fill",
    compression: str | None = "infer",
    storage_options: dict[str, Any] | None = None,
    workers: int | None = None,
) -> Batch:
    """Read several plot files at once, a file per thread.

    `paths` is one path or an iterable of them, each a file, a folder (its
    ``*.plt`` files, sorted) or a glob pattern (its matches, sorted); a name
    that matches nothing is kept, and reading it raises its error.
    `threads` is how many files are read at the same time (default: one per
    processor), each file on one thread; `width`, `params` and `partial`
    are those of :func:`read`, for every file, and so are `compression` and
    `storage_options` (a glob of URLs expands through fsspec).  `workers`
    is the former name of `threads` and warns.

    The result is a `Batch`: a list of the plots, in the order of the
    expanded paths, whose ``failed`` lists ``(path, exception)`` for each
    file that could not be read.  `errors` says what such a file does:
    "raise" raises the first failure in the order of the paths, "skip"
    leaves the file out and records it in ``failed``, "partial" does the
    same and reads the complete timesteps of a file cut off inside its last
    one (as ``partial=True``).

    With `params`, the selection is made among the names of every file (the
    first file's, then those later files add) and each file's columns are
    found by name, wherever they stand: `align` "fill" makes a name that a
    file lacks a column of NaN there (parameter index -1), "require" fails
    that file with KeyError, "strict" fails every file whose names are not
    the first file's, in that order (FileMismatchError).  Without `params`
    each file is read whole, with its own names (and, under "strict",
    checked against the first's).
    """
    from korvant._study import read_files, study_choices  # it reads with read_with

    options = ReadOptions.of(width=width, params=params, partial=partial, compression=compression,
                             storage_options=storage_options)
    errors, align = study_choices(errors, align)
    count = threads_argument(threads, workers, None)
    count = positive_int("threads", count) if count is not None else os.cpu_count() or 1
    files, _ = expand(paths, storage_options)
    return read_files(files, options, count, errors, align)


def read_with(path: Source, options: ReadOptions, threads: int = 1,
              select: Callable[[list[str]], list[int]] | None = None) -> Plot:
    """Reads `path` (a path, a URL or a file object) with checked `options`,
    on `threads` threads.  `select`, when given, chooses the columns from
    the header's names in place of ``options.params`` (a study's reads by
    name)."""
    with opened(path, options.storage_options) as (source, shown):
        if select is None and options.params is not None:
            keys = options.params

            def select(names: list[str]) -> list[int]:
                return resolve(keys, names, shown)

        try:
            names, selected, leads, values, time, complete, used, lead = _native.read(
                source, options.width or 0, select, options.partial, threads, options.compression is not None,
                size_hint(source))
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
