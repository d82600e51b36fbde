"""Which parameters a read takes: the one set of rules for `params`.

Every front door (korvant.read, read_many, read_chain, korvant.dask,
korvant.xarray and the command line) checks its `params` with
`params_argument` and turns the keys into parameter indices with `resolve`,
against the header's names:

- a str is one name: the parameter of that name, which must be unique;
- a str that is no name of the file but holds a shell wildcard (``*``,
  ``?``, ``[...]``) is a pattern, matched case-sensitively by fnmatch's
  rules against every name: ``"VOL-P.*"``, ``"TEMP-00[1-3]?"``;
- a compiled regular expression (``re.Pattern``) is a pattern too, matched
  with ``fullmatch``;
- a pattern stands for every name it matches, in the file's order; one that
  matches nothing is a KeyError naming it;
- an int (anything with ``__index__``) is one index, negative from the end;
- bool, float and bytes are neither, and are refused;
- a key alone stands for itself; None selects every parameter and an empty
  list none.

The keys of a list come in the order given, each pattern's matches in the
file's order where it stands.  The command line gives words, not typed
keys: a word (`Word`) is the parameter of that name when the file has one,
otherwise a word of decimal digits is that index, as `korvant info --names`
numbers them; a word with wildcards is a pattern.
"""

from __future__ import annotations

import collections
import fnmatch
import functools
import itertools
import operator
import re
from collections.abc import Iterable, Sequence

from korvant._errors import quote

__all__ = ["Key", "Word", "index_of", "is_pattern", "params_argument", "resolve"]

Key = str | int | re.Pattern[str]

#: The characters that make a str a pattern when it is no name of the file.
WILDCARDS = re.compile(r"[*?[]")


class Word(str):
    """A parameter named on the command line: a name, or failing that a
    decimal index."""

    __slots__ = ()


def is_pattern(key: object) -> bool:
    """Whether `key` is a pattern when the file has no name equal to it."""
    return isinstance(key, re.Pattern) or (isinstance(key, str) and WILDCARDS.search(key) is not None)


def params_argument(params: object) -> tuple[Key, ...] | None:
    """The selection as a tuple of names, patterns and indices, checked: one
    str, pattern or int stands for itself.  bool, float and bytes are
    neither, and so is a pattern of bytes."""
    if params is None:
        return None
    if isinstance(params, (str, re.Pattern)) or (hasattr(params, "__index__") and not isinstance(params, bool)):
        params = [params]
    if isinstance(params, (bytes, bytearray)) or not isinstance(params, Iterable):
        raise TypeError(f"params must be a name, a pattern, an index or a list of them, not {type(params).__name__}")
    keys: list[Key] = []
    for key in params:
        if isinstance(key, str) or (isinstance(key, re.Pattern) and isinstance(key.pattern, str)):
            keys.append(key)
        elif isinstance(key, bool) or not hasattr(key, "__index__"):
            raise TypeError(f"params holds {quote(repr(key))} ({type(key).__name__}): a parameter is a name "
                            "or a pattern (str, re.Pattern of str) or an index (int)")
        else:
            keys.append(operator.index(key))
    return tuple(keys)


def index_of(key: str | int, names: Sequence[str], path: str, what: str = "parameter") -> int:
    """The index of `key` among `names`: a name, or an index itself.

    Raises KeyError for a name that is missing or repeated (naming the
    indices that carry it), IndexError for an index out of range.  `path`
    and `what` ("parameter", "column") only word the messages.
    """
    if isinstance(key, str):
        return _one_name(key, [i for i, name in enumerate(names) if name == key], len(names), path, what)
    return _checked_index(int(key), len(names), path, what)


def _one_name(key: str, found: list[int], count: int, path: str, what: str) -> int:
    """The index of the name `key`, found at `found` among `count` names."""
    if len(found) == 1:
        return found[0]
    if isinstance(key, Word) and not found and key.isascii() and key.isdigit():
        return _checked_index(int(key), count, path, what)
    if not found:
        raise KeyError(f"no parameter named {key!r} in {path}")
    raise KeyError(f"parameter name {key!r} is repeated in {path}: {what}s {found}; use an index")


def _checked_index(index: int, count: int, path: str, what: str) -> int:
    if not -count <= index < count:
        raise IndexError(f"{what} {index} is out of range for the {count} parameters of {path}")
    return index % count


@functools.lru_cache(maxsize=256)
def _translated(pattern: str) -> re.Pattern[str]:
    """The regular expression of a shell pattern, compiled once."""
    return re.compile(fnmatch.translate(pattern))


def _matches(key: str | re.Pattern[str], names: Sequence[str], path: str) -> list[int]:
    """The indices of the names that the pattern `key` matches, in order."""
    regex = key if isinstance(key, re.Pattern) else _translated(key)
    found = list(itertools.compress(range(len(names)), map(regex.fullmatch, names)))
    if not found:
        shown = f"the pattern {key.pattern!r}" if isinstance(key, re.Pattern) else repr(key)
        raise KeyError(f"no parameter name matches {shown} in {path}")
    return found


class _Names:
    """The header's names, looked up by name through one table made on
    first use (a long list of names is then as cheap as a short one)."""

    def __init__(self, names: Sequence[str]) -> None:
        self.names = names
        self.first: dict[str, int] | None = None  # each name's first index
        self.repeated: set[str] = set()

    def found(self, key: str) -> list[int]:
        """The indices of the name `key`: none, one, or those it repeats at."""
        if self.first is None:
            self.first = {}
            for i, name in enumerate(self.names):
                self.first.setdefault(name, i)
            if len(self.first) < len(self.names):
                self.repeated = {name for name, count in collections.Counter(self.names).items() if count > 1}
        if key in self.repeated:
            return [i for i, name in enumerate(self.names) if name == key]
        i = self.first.get(key)
        return [] if i is None else [i]


def resolve(keys: Sequence[Key] | None, names: Sequence[str], path: str) -> list[int]:
    """The parameter indices that `keys` (from `params_argument`) select
    among a header's `names`, in the order given; None selects all.

    The files of a study mostly share one header: the indices are kept for
    the last few (keys, names) resolved, so that each further file with
    that header costs a lookup instead of matching every name again."""
    if keys is None:
        return list(range(len(names)))
    try:
        return list(_resolved(tuple(keys), tuple(names)))
    except (KeyError, IndexError, ValueError, TypeError):
        # Not kept: resolved again to fail with this file's path.
        return _resolve(keys, names, path)


@functools.lru_cache(maxsize=16)
def _resolved(keys: tuple[Key, ...], names: tuple[str, ...]) -> tuple[int, ...]:
    return tuple(_resolve(keys, names, ""))


def _resolve(keys: Sequence[Key], names: Sequence[str], path: str) -> list[int]:
    table = _Names(names)
    indices: list[int] = []
    for key in keys:
        if isinstance(key, re.Pattern) or (isinstance(key, str) and WILDCARDS.search(key) and key not in names):
            indices += _matches(key, names, path)
        elif isinstance(key, str):
            indices.append(_one_name(key, table.found(key), len(names), path, "parameter"))
        else:
            indices.append(_checked_index(key, len(names), path, "parameter"))
    return indices
