"""Which parameters a read takes: the one set of rules for `params`.

Every front door (korvant.read, read_many, korvant.dask and the command
line) checks its `params` with `params_argument` and turns each key into a
parameter index with `index_of`, against the header's names:

- a str is one name: the parameter of that name, which must be unique;
- an int (anything with ``__index__``) is one index, negative from the end;
- bool, float and bytes are neither, and are refused;
- a key alone stands for itself; None selects every parameter and an empty
  list none.

The command line gives words, not typed keys: a word (`Word`) is the
parameter of that name when the file has one, otherwise a word of decimal
digits is that index, as `korvant info --names` numbers them.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence

from korvant._errors import quote

__all__ = ["Key", "Word", "index_of", "params_argument", "resolve"]

Key = str | int


class Word(str):
    """A parameter named on the command line: a name, or failing that a
    decimal index."""

    __slots__ = ()


def params_argument(params: object) -> tuple[Key, ...] | None:
    """The selection as a tuple of names and indices, checked: one str (a
    name) or int stands for itself.  bool, float and bytes are neither."""
    if params is None:
        return None
    if isinstance(params, str) or (hasattr(params, "__index__") and not isinstance(params, bool)):
        params = [params]
    if isinstance(params, (bytes, bytearray)) or not isinstance(params, Iterable):
        raise TypeError(f"params must be a name, an index or a list of them, not {type(params).__name__}")
    keys: list[Key] = []
    for key in params:
        if isinstance(key, str):
            keys.append(key)
        elif isinstance(key, bool) or not hasattr(key, "__index__"):
            raise TypeError(f"params holds {quote(repr(key))} ({type(key).__name__}): "
                            "a parameter is a name (str) or an index (int)")
        else:
            keys.append(operator.index(key))
    return tuple(keys)


def index_of(key: Key, names: Sequence[str], path: str, what: str = "parameter") -> int:
    """The index of `key` among `names`: a name, or an index itself.

    Raises KeyError for a name that is missing or repeated (naming the
    indices that carry it), IndexError for an index out of range.  `path`
    and `what` ("parameter", "column") only word the messages.
    """
    if isinstance(key, str):
        found = [i for i, name in enumerate(names) if name == key]
        if len(found) == 1:
            return found[0]
        if isinstance(key, Word) and not found and key.isascii() and key.isdigit():
            key = int(key)
        elif not found:
            raise KeyError(f"no parameter named {key!r} in {path}")
        else:
            raise KeyError(f"parameter name {key!r} is repeated in {path}: {what}s {found}; use an index")
    index = int(key)
    if not -len(names) <= index < len(names):
        raise IndexError(f"{what} {index} is out of range for the {len(names)} parameters of {path}")
    return index % len(names)


def resolve(keys: Sequence[Key] | None, names: Sequence[str], path: str) -> list[int]:
    """The parameter indices that `keys` (from `params_argument`) select
    among a header's `names`, in the order given; None selects all."""
    if keys is None:
        return list(range(len(names)))
    return [index_of(key, names, path) for key in keys]
