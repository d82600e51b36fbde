"""The options of a read, checked once and shared by every front door.

`ReadOptions` holds what a read of one file takes besides its path: the
field width, the selection and whether an incomplete last timestep is
accepted.  korvant.read, read_many, korvant.dask and the command line each
build one from their keyword arguments, so that the same keyword means the
same thing everywhere; read_many and korvant.dask hand the one object to
every file's read (it pickles, for a Dask worker).
"""

from __future__ import annotations

import dataclasses
import warnings
from typing import Any

from korvant._select import Key, params_argument

__all__ = ["ReadOptions", "positive_int", "threads_argument"]

#: The largest count the native layer takes.
COUNT_LIMIT = 0xFFFFFFFF


def positive_int(what: str, value: object) -> int:
    """`value` as an int of at least 1; bool and float are not counts."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be a positive int, not {type(value).__name__}")
    if value < 1 or value > COUNT_LIMIT:
        raise ValueError(f"{what} must be a positive int, not {value}")
    return value


def threads_argument(threads: object, workers: object, default: object) -> object:
    """`threads`, or `workers`, its former name, which warns; `default` is
    the default of `threads`.  The value is checked by the caller."""
    if workers is None:
        return threads
    if threads != default:
        raise TypeError("give threads= alone: workers= is its former name")
    warnings.warn("workers= is now threads=; workers= will be removed in the next release",
                  DeprecationWarning, stacklevel=3)
    return workers


@dataclasses.dataclass(frozen=True, slots=True)
class ReadOptions:
    """How to read a plot file.

    Attributes:
        width: the width of a data field, or None to detect it.
        params: the selection as names and indices (see korvant._select),
            or None for every parameter.
        partial: whether an incomplete last timestep is left out rather than
            an error.
        compression: "infer" (compressed streams by their magic bytes) or
            None (every file as it is).
        storage_options: what fsspec takes for a URL (not compared).
    """

    width: int | None = None
    params: tuple[Key, ...] | None = None
    partial: bool = False
    compression: str | None = "infer"
    storage_options: dict[str, Any] | None = dataclasses.field(default=None, compare=False, hash=False)

    @classmethod
    def of(cls, *, width: object = None, params: object = None, partial: object = False,
           compression: object = "infer", storage_options: object = None) -> ReadOptions:
        """The options of the keyword arguments of a read, checked: a
        TypeError or ValueError names the argument in one sentence."""
        if width is not None:
            width = positive_int("width", width)
        if compression not in ("infer", None):
            raise ValueError(f"compression must be 'infer' or None, not {compression!r}")
        if storage_options is not None and not isinstance(storage_options, dict):
            raise TypeError(f"storage_options must be a dict, not {type(storage_options).__name__}")
        return cls(width=width, params=params_argument(params), partial=bool(partial),  # type: ignore[arg-type]
                   compression=compression, storage_options=storage_options)  # type: ignore[arg-type]
