"""Studies: many plot files read as the runs of one parameter study.

A study's runs may be damaged, cut short or written by input decks that do
not all write the same parameters.  Two choices shape how such a set of
files is read, and every reader of many files takes them alike
(read_many, read_chain, korvant.dask, korvant.xarray, the command line):

- `errors`, what a file that cannot be read does to the others: "raise"
  (the first failure, in the order of the paths, is raised), "skip" (the
  file is left out and its failure recorded) or "partial" (as "skip", and a
  file whose last timestep is cut off gives its complete timesteps, as
  ``partial=True`` reads them);
- `align`, how the selected parameters are found in each file: "fill" (by
  name, wherever they stand; a name that a file lacks is NaN there),
  "require" (by name; a file that lacks one fails with KeyError) or
  "strict" (every file has the first file's names in the same order;
  another fails with FileMismatchError).

The selection is made once, among the study's names: the names of the
first file, followed by those that later files add (which are the first
file's names alone when every file has the same), from the headers alone.
Each file's values are then read in one opening of their own, the columns
found by name in the header of that opening, so a file rewritten in
between is read as it is then.
"""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

import numpy as np

from korvant._errors import names_mismatch
from korvant._options import ReadOptions
from korvant._plot import Plot
from korvant._read import read_with
from korvant._select import Key, resolve

__all__ = ["Batch", "Columns", "FILE_ERRORS", "columns_of", "each", "read_columns", "read_files", "read_names",
           "read_outline", "run_names", "study_choices", "survey", "with_errors"]

ERRORS = ("raise", "skip", "partial")
ALIGNS = ("fill", "require", "strict")

#: Failures that belong to one file: a damaged, missing or unreadable file,
#: or one that lacks a parameter.  Anything else is a fault of the program.
FILE_ERRORS = (OSError, ValueError, LookupError, MemoryError)

#: Suffixes of compressed files, which a run's name leaves out with its own.
COMPRESSED = (".gz", ".zst", ".xz", ".bz2")

T = TypeVar("T")


def study_choices(errors: object, align: object) -> tuple[str, str]:
    """`errors` and `align`, checked: a TypeError or ValueError names the
    argument and its choices in one sentence."""
    for what, value, allowed in (("errors", errors, ERRORS), ("align", align, ALIGNS)):
        choices = ", ".join(map(repr, allowed))
        if not isinstance(value, str):
            raise TypeError(f"{what} must be one of {choices}, not {type(value).__name__}")
        if value not in allowed:
            raise ValueError(f"{what} must be one of {choices}, not {value!r}")
    return errors, align  # type: ignore[return-value]


def with_errors(options: ReadOptions, errors: str) -> ReadOptions:
    """The read of each file under `errors`: "partial" reads cut-off files."""
    return dataclasses.replace(options, partial=True) if errors == "partial" else options


class Batch(list):
    """The plots of a study's files that could be read, in the order of
    their paths, as a list; `failed` holds ``(path, exception)`` for each
    file that could not, in the same order."""

    def __init__(self, plots: Sequence[Plot] = (), failed: Sequence[tuple[str, BaseException]] = ()) -> None:
        super().__init__(plots)
        self.failed: list[tuple[str, BaseException]] = list(failed)

    def __repr__(self) -> str:
        return f"Batch({list.__repr__(self)}, failed={self.failed!r})"


@dataclasses.dataclass(frozen=True)
class Columns:
    """The columns of a study: the `indices` among the `reference` names
    (the first file's, or the union of every file's), and how each file's
    own columns are found (`align`).  Picklable, for a Dask worker."""

    reference: tuple[str, ...]
    indices: tuple[int, ...]
    align: str
    first: str  # the file whose header gave the reference (messages)

    @property
    def names(self) -> list[str]:
        return [self.reference[i] for i in self.indices]

    def narrowed(self, positions: Sequence[int]) -> Columns:
        """These columns at `positions` alone."""
        return dataclasses.replace(self, indices=tuple(self.indices[k] for k in positions))

    def selector(self, path: str, missing: list[int]) -> Callable[[list[str]], list[int]]:
        """The choice of a file's columns from its header's names, for the
        native read; the positions of names the file lacks go to `missing`."""
        def select(names: list[str]) -> list[int]:
            if len(names) == len(self.reference) and tuple(names) == self.reference:
                return list(self.indices)
            if self.align == "strict":
                raise names_mismatch(path, names, self.first, list(self.reference))
            positions: dict[str, int] = {}
            for j, name in enumerate(names):
                positions[name] = j if name not in positions else -1  # -1: repeated
            chosen = []
            for k, name in enumerate(self.names):
                i = positions.get(name)
                if i is None and self.align == "fill":
                    missing.append(k)
                elif i is None:
                    raise KeyError(f"no parameter named {name!r} in {path}")
                elif i < 0:
                    raise KeyError(f"parameter name {name!r} is repeated in {path}: "
                                   f"parameters {[j for j, n in enumerate(names) if n == name]}")
                else:
                    chosen.append(i)
            return chosen

        return select


def columns_of(headers: Sequence[tuple[str, list[str]]], keys: Sequence[Key] | None, align: str) -> Columns:
    """The columns that `keys` select among the study whose readable files
    have the `headers` ``(path, names)``; a key that selects nothing raises
    as for one file (KeyError, IndexError)."""
    first, reference = headers[0]
    where = first
    if align != "strict" and any(names != reference for _, names in headers[1:]):
        reference = list(dict.fromkeys(name for _, names in headers for name in names))
        where = f"any of the {len(headers)} files"
    return Columns(tuple(reference), tuple(resolve(keys, reference, where)), align, first)


def read_columns(path: str, columns: Columns, options: ReadOptions) -> Plot:
    """The file at `path` read with the study's `columns`, found by name in
    its own header; a name it lacks is a column of NaN, whose parameter
    index is -1."""
    missing: list[int] = []
    select = columns.selector(os.fsdecode(path), missing)
    if columns.indices != tuple(range(len(columns.reference))):
        plot = read_with(path, options, select=select)
        return arranged(plot, columns, missing, None) if missing else plot
    # Every name of the study: the file is read whole, the reader's fastest
    # way, and its columns are then put in the study's order.
    plot = read_with(path, options)
    chosen = select(plot.names)
    if not missing and chosen == list(range(len(plot.names))):
        return plot
    return arranged(plot, columns, missing, chosen)


def arranged(plot: Plot, columns: Columns, missing: list[int], chosen: list[int] | None) -> Plot:
    """`plot` with the study's columns: its own columns `chosen` (all, in
    order, for None) at the positions of the names it has, NaN at those in
    `missing`."""
    names, lacking = columns.names, set(missing)
    present = [k for k in range(len(names)) if k not in lacking]
    values = np.full((len(plot), len(names)), np.nan, dtype=np.float32, order="F")
    values[:, present] = plot.values if chosen is None else plot.values[:, chosen]
    parameters = [-1] * len(names)
    for k, index in zip(present, plot.parameters if chosen is None else [plot.parameters[i] for i in chosen]):
        parameters[k] = index
    plot.names, plot.parameters, plot.values = names, parameters, values
    return plot


class _HeaderRead(Exception):
    """Stops a read once its header has given the names."""


def read_names(path: str, options: ReadOptions) -> list[str]:
    """The parameter names of the file at `path`, opened as a read with
    `options` opens it (so whatever that read takes, this takes too), and
    read no further than its header."""
    names: list[str] = []

    def select(found: list[str]) -> list[int]:
        names.extend(found)
        raise _HeaderRead

    try:
        read_with(path, options, select=select)
    except _HeaderRead:
        pass
    return names


def read_outline(path: str, options: ReadOptions) -> tuple[list[str], Plot]:
    """The names of the file at `path` and its timesteps without values (the
    time, the count, complete), in one opening; the lines are checked for
    their structure, not their fields."""
    header: list[list[str]] = []

    def select(names: list[str]) -> list[int]:
        header.append(names)
        return []

    plot = read_with(path, options, select=select)
    return header[0], plot


def each(items: Sequence[str], work: Callable[[str], T], threads: int) -> list[T | BaseException]:
    """`work(item)` of each item, `threads` at a time, in order; a failure
    of one file (FILE_ERRORS) is its result rather than raised."""
    def task(item: str) -> T | BaseException:
        try:
            return work(item)
        except FILE_ERRORS as error:
            return error

    if threads <= 1 or len(items) <= 1:
        return [task(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(threads, len(items))) as pool:
        return list(pool.map(task, items))


def outcome(paths: Sequence[str], results: Sequence[Any], errors: str) -> Batch:
    """The Batch of `results` (a Plot or an exception per path); under
    "raise" the first exception is raised instead."""
    failed = [(path, result) for path, result in zip(paths, results) if isinstance(result, BaseException)]
    if failed and errors == "raise":
        raise failed[0][1]
    return Batch([r for r in results if not isinstance(r, BaseException)], failed)


def survey(files: Sequence[str], options: ReadOptions, align: str, errors: str,
           threads: int) -> tuple[Columns | None, list[Any]]:
    """The study's columns, those `options` select among the headers of
    `files`, and a result slot per file: the failure of its header, or None.
    Under "raise" the files after the first failure are not read (marked by
    the same failure)."""
    headers = each(files, lambda path: read_names(path, options), threads)
    slots: list[Any] = [h if isinstance(h, BaseException) else None for h in headers]
    if errors == "raise":
        first = next((k for k, h in enumerate(slots) if h is not None), None)
        if first is not None:
            slots[first + 1:] = [slots[first]] * (len(files) - first - 1)
    good = [(path, names) for path, names, slot in zip(files, headers, slots) if slot is None]
    return (columns_of(good, options.params, align) if good else None), slots  # type: ignore[arg-type]


def read_files(files: Sequence[str], options: ReadOptions, threads: int, errors: str, align: str) -> Batch:
    """read_many's work: each file read with `options` under `errors` and
    `align`, `threads` files at a time.  Without a selection (and unless
    "strict") each file is read whole, as it stands."""
    options = with_errors(options, errors)
    if options.params is None and align != "strict":
        return outcome(files, each(files, lambda path: read_with(path, options), threads), errors)
    columns, slots = survey(files, options, align, errors, threads)
    todo = [k for k, slot in enumerate(slots) if slot is None]
    if columns is not None:
        done = each([files[k] for k in todo], lambda path: read_columns(path, columns, options), threads)
        for k, result in zip(todo, done):
            slots[k] = result
    return outcome(files, slots, errors)


def run_names(paths: Sequence[str]) -> list[str]:
    """A name for each run: its file's name without suffixes (``run042``
    for ``study/run042.plt.gz``) where those are unique, else its path
    relative to the folder the files share; a path given twice gets
    ``#2``, ``#3``, ... on its later occurrences."""
    def stem(path: str) -> str:
        name = Path(path).name
        for suffix in COMPRESSED:
            name = name.removesuffix(suffix)
        return Path(name).stem or name

    names = [stem(p) for p in paths]
    if len(set(names)) < len(names):
        absolute = [os.path.abspath(p) for p in paths]
        common = os.path.commonpath(absolute) if len(paths) > 1 else os.path.dirname(absolute[0])
        names = [os.path.relpath(p, common) if p != common else p for p in absolute]
    seen: dict[str, int] = {}
    unique = []
    for name in names:
        seen[name] = seen.get(name, 0) + 1
        unique.append(name if seen[name] == 1 else f"{name}#{seen[name]}")
    return unique
