"""The native reader behind the korvant package (private)."""

from typing import Any

class ReadFailure(Exception):
    args: tuple[dict[str, Any]]

class Values:
    """The values of a plot file, as a writable float32 buffer."""
    def __buffer__(self, flags: int, /) -> memoryview: ...

def read(
    path: str | bytes, width: int, params: list[int] | None, partial: bool, workers: int, /
) -> tuple[list[str], list[str], Values, bytearray | None, bool, tuple[list[str], bytes, bytes, bytes]]: ...
def read_header(path: str | bytes, /) -> list[str]: ...
def fit_widths(path: str | bytes, /) -> tuple[list[int], bool, int, int, int]: ...
