"""Which files a read takes: the path check of one read, and the one
expansion of the paths of many (read_many, korvant.dask, the command line).

A path names a file, a folder or a glob pattern:

- a folder stands for its plot files (``*.plt``), sorted;
- a name that is no existing path but holds a glob pattern (``*``, ``?``,
  ``[...]``) stands for its matches, sorted;
- any other name stands for itself, and so does a folder without plot files
  or a pattern that matches nothing: reading it then reports the error
  (IsADirectoryError, FileNotFoundError) under the name given.

Several paths expand each in turn, in the order given.
"""

from __future__ import annotations

import glob
import os
import re
from collections.abc import Iterable
from typing import Any

from korvant._errors import quote

__all__ = ["PATH_LIMIT", "PathLike", "Paths", "expand", "path_argument"]

PathLike = str | bytes | os.PathLike[str] | os.PathLike[bytes]
Paths = PathLike | Iterable[PathLike]

#: The longest path passed on to the system; longer ones are no file name.
PATH_LIMIT = 4096

#: The files a folder stands for.
PLOT_FILES = "*.plt"


def path_argument(path: PathLike) -> tuple[str | bytes, str]:
    """The path as the system takes it, and as messages show it.  A path
    that cannot be a file name (a NUL byte, or longer than any file name) is
    a ValueError that quotes only its start."""
    name = os.fspath(path)
    if len(name) > PATH_LIMIT or ("\0" in name if isinstance(name, str) else b"\0" in name):
        why = "holds a NUL character" if len(name) <= PATH_LIMIT else f"is {len(name)} characters long"
        start = name[:80] if isinstance(name, str) else os.fsdecode(name[:80])
        raise ValueError(f"path {quote(start)} {why}: not a file name")
    return name, os.fsdecode(name)


def expand(paths: Paths, storage_options: dict[str, Any] | None = None) -> tuple[list[str], bool]:
    """The files that `paths` (one path, or an iterable of them) stand for,
    as text (a name that is not UTF-8 in the file system's escapes, which
    reads as the name), and whether any of them was a folder or a pattern
    (the command line writes the outputs of such a batch into a folder, even
    for one file).  URLs (``protocol://...``) expand alike, through fsspec
    with `storage_options`."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    found: list[str] = []
    batch = False
    for path in paths:
        name = os.fsdecode(path)
        if re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", name):
            files, many = expand_url(name, storage_options)
            batch = batch or many
        elif os.path.isdir(name):
            batch = True
            files = [p for p in glob.glob(os.path.join(glob.escape(name), PLOT_FILES), include_hidden=True)
                     if os.path.isfile(p)]
        elif glob.has_magic(name) and not os.path.exists(name):
            batch = True
            files = glob.glob(name)
        else:
            files = []
        found.extend(sorted(files) or [name])
    return found, batch


def expand_url(url: str, storage_options: dict[str, Any] | None) -> tuple[list[str], bool]:
    """What a URL stands for, by the same rules as a local name."""
    from korvant._extras import need

    fsspec = need("fsspec", "reading a URL", "remote")
    fs, path = fsspec.core.url_to_fs(url, **dict(storage_options or {}))
    if glob.has_magic(path) and not fs.exists(path):
        return [fs.unstrip_protocol(p) for p in fs.glob(path)], True
    if fs.isdir(path):
        pattern = path.rstrip("/") + "/" + PLOT_FILES
        return [fs.unstrip_protocol(p) for p in fs.glob(pattern)], True
    return [], False
