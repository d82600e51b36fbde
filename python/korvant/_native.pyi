"""The native reader behind the korvant package (private)."""

from collections.abc import Callable
from typing import Any

class ReadFailure(Exception):
    args: tuple[dict[str, Any]]

class Values:
    """The values of a plot file, as a writable float32 buffer."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(
    source: str | bytes | Any,
    width: int,
    select: Callable[[list[str]], list[int]] | None,
    partial: bool,
    threads: int,
    decompress: bool,
    size_hint: int,
    /,
) -> tuple[
    list[str], list[int] | None, list[str], Values, bytearray | None, bool, int, tuple[list[str], bytes, bytes, bytes]
]: ...
def read_header(path: str | bytes, /) -> list[str]: ...
