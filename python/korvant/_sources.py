"""Where a read's bytes come from: a local path, a file object, or a URL
opened through fsspec.

- A path (str, bytes, os.PathLike) is opened by the native reader itself.
- A file object (anything with ``readinto`` or ``read`` returning bytes: an
  open file, ``io.BytesIO``, ``gzip.open(...)``, an fsspec file) is read
  once, from where it stands, in large pieces; the interpreter lock is taken
  only around the object's own calls.
- A URL (``s3://bucket/run.plt``, any protocol fsspec knows) is opened
  through fsspec with `storage_options`, and read as a file object.

Compressed bytes (gzip, zstd, xz, bzip2) are recognised by their magic
bytes wherever they come from, whatever the name says.
"""

from __future__ import annotations

import contextlib
import os
import re
from collections.abc import Iterator, Mapping
from typing import Any

from korvant._extras import need
from korvant._paths import PathLike, path_argument

__all__ = ["Source", "is_file_object", "is_url", "opened", "size_hint"]

#: A URL's start: a protocol, then "://".
URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")

#: What a read takes: a path, a URL or a file object.
Source = PathLike | Any


def is_url(source: object) -> bool:
    """Whether `source` is a URL for fsspec (``protocol://...``)."""
    return isinstance(source, str) and URL.match(source) is not None


def is_file_object(source: object) -> bool:
    """Whether `source` is read through its own methods."""
    return not isinstance(source, (str, bytes, os.PathLike)) and (
        hasattr(source, "readinto") or hasattr(source, "read"))


def shown_name(source: Any) -> str:
    """How messages name a file object: its name, where it has one."""
    name = getattr(source, "name", None) or getattr(source, "path", None)
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else f"<{type(source).__name__}>"


@contextlib.contextmanager
def opened(source: Source, storage_options: Mapping[str, Any] | None = None) -> Iterator[tuple[Any, str]]:
    """What the native reader takes for `source`, and the name that
    messages show; a URL's file is closed again on the way out."""
    if is_file_object(source):
        yield source, shown_name(source)
    elif is_url(source):
        fsspec = need("fsspec", "reading a URL", "remote")
        with fsspec.open(source, "rb", **dict(storage_options or {})) as file:
            yield file, source
    else:
        if storage_options:
            raise ValueError("storage_options are for URLs (protocol://...), not local paths")
        yield path_argument(source)


def size_hint(source: Any) -> int:
    """How many bytes a file object has left to give, where it can tell
    (an open file, io.BytesIO, an fsspec file); 0 when it cannot, and for a
    path, which the reader measures itself."""
    if not is_file_object(source):
        return 0
    try:
        if hasattr(source, "getbuffer"):
            total = source.getbuffer().nbytes
        elif hasattr(source, "size") and isinstance(source.size, int):
            total = source.size
        else:
            total = os.fstat(source.fileno()).st_size
        return max(0, total - source.tell())
    except (AttributeError, OSError, ValueError, TypeError):
        return 0
