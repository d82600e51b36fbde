"""Running a command over many files: the options of a read as the command
line gives them, the progress bar, and the runner that reads files in
threads and reports each failure on its own line."""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any, TextIO

from korvant._options import ReadOptions
from korvant._plot import Plot
from korvant._select import Word
from korvant._study import ERRORS, Columns, read_columns, survey
from korvant.cli._status import FILE_ERRORS, Status, status_of

__all__ = ["Progress", "add_reading_arguments", "read_options", "read_study", "run_batch", "study_columns"]

FILES_HELP = "plot files, folders (their *.plt files) or quoted glob patterns"


def default_jobs() -> int:
    return (os.process_cpu_count() if hasattr(os, "process_cpu_count") else os.cpu_count()) or 1


def add_reading_arguments(parser: argparse.ArgumentParser, *, partial: bool = True) -> None:
    """The options of every command that reads: --width, --jobs, --errors
    and, where the command honours it, --partial."""
    parser.add_argument("--width", type=int, choices=(12, 15), default=None,
                        help="data field width (default: detected from the first block)")
    parser.add_argument("-j", "--jobs", type=int, default=default_jobs(), metavar="N",
                        help="files read at the same time (default: the processor count)")
    parser.add_argument("--errors", choices=ERRORS, default="skip",
                        help="a file that cannot be read: stop there (raise), report it and go on (skip, the "
                             "default), or also read the complete blocks of a cut-off file (partial)")
    if partial:
        parser.add_argument("--partial", action="store_true",
                            help="accept a file whose last block is cut off (a run still writing)")


def read_options(args: argparse.Namespace, words: list[str] | None = None, *,
                 partial: bool | None = None) -> ReadOptions:
    """The read of the command line: its --width and --partial (or --errors
    partial; unless `partial` is given), and the parameters named by `words`
    (all when empty or None), each a name, a decimal index or a pattern."""
    params = [Word(word) for word in words] if words else None
    if partial is None:
        partial = getattr(args, "partial", False) or args.errors == "partial"
    return ReadOptions.of(width=args.width, params=params, partial=partial)


def study_columns(args: argparse.Namespace, paths: list[str],
                  words: list[str] | None) -> tuple[Columns | None, list[str], Status]:
    """The columns that `words` select (all when none) among the names of
    the study of `paths`, each file's found by name when it is read; the
    files whose header could be read; and the status so far, each file
    that could not reported on its own line (under --errors raise, the
    first alone, and no file is left)."""
    options = read_options(args, words)
    try:
        columns, slots = survey(paths, options, "fill", args.errors, args.jobs)
    except LookupError as error:  # a parameter that no file has
        return None, [], status_of(error, paths[0] if len(paths) == 1 else f"{len(paths)} files")
    status = Status.OK
    for path, slot in zip(paths, slots):
        if slot is not None:
            status = status_of(slot, path)
            if args.errors == "raise":
                return None, [], status
    return columns, [path for path, slot in zip(paths, slots) if slot is None], status


def read_study(args: argparse.Namespace, paths: list[str], words: list[str] | None) -> tuple[list[Plot], Status]:
    """The plots of the study of `paths` with the columns that `words`
    select, found by name in each (NaN where a file lacks one), in the
    order of `paths`; each file that cannot be read is reported."""
    columns, good, status = study_columns(args, paths, words)
    plots: list[Plot] = []
    if columns is not None:
        options = read_options(args)
        done = run_batch(good, lambda path: read_columns(path, columns, options), args.jobs,
                         lambda path, plot, progress: plots.append(plot), args.errors)
        status = max(status, done)
    return plots, status


def size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


class Progress:
    """A progress bar over a batch of files (files done, bytes per second,
    time left), drawn on standard error only when it is a terminal and tqdm
    is installed; otherwise nothing is drawn.  Lines written through it while
    the bar shows keep the bar intact."""

    def __init__(self, paths: list[str]) -> None:
        self.bar: Any = None
        self.count, self.done = len(paths), 0
        self.lock = threading.Lock()
        if self.count < 2 or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        total = sum(size_of(p) for p in paths)
        self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1000,
                        desc=self.label(), file=sys.stderr, leave=False, dynamic_ncols=True)

    def label(self) -> str:
        return f"{self.done}/{self.count} files"

    def advance(self, path: str) -> None:
        if self.bar is None:
            return
        with self.lock:
            self.done += 1
            self.bar.set_description(self.label(), refresh=False)
            self.bar.update(size_of(path))

    def write(self, line: str, stream: TextIO) -> None:
        if self.bar is not None:
            with self.lock:
                self.bar.write(line, file=stream)
        else:
            print(line, file=stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def run_batch(paths: list[str], work: Callable[[str], Any], jobs: int,
              done: Callable[[str, Any, Progress], None], errors: str = "skip") -> Status:
    """Runs `work(path)` over the files, `jobs` at a time in threads (the
    reader releases the GIL), with a progress bar, and calls `done(path,
    result, progress)` in the order of `paths` as soon as each result is
    known.  A file that fails with one of FILE_ERRORS is reported on its own
    line and the others go on, or under `errors` "raise" the files after it
    are left; any other exception propagates."""
    progress = Progress(paths)
    status = Status.OK
    try:
        for path, result, error in _results(paths, work, jobs, progress):
            if error is not None:
                status = status_of(error, path, progress)
                if errors == "raise":
                    break
            else:
                done(path, result, progress)
    finally:
        progress.close()
    return status


def _results(paths: list[str], work: Callable[[str], Any], jobs: int,
             progress: Progress) -> Iterator[tuple[str, Any, BaseException | None]]:
    """(path, result, error) of each file, in the order of `paths`."""
    def task(path: str) -> tuple[Any, BaseException | None]:
        try:
            return work(path), None
        except FILE_ERRORS as error:
            return None, error
        finally:
            progress.advance(path)

    if jobs <= 1 or len(paths) <= 1:
        for path in paths:
            yield path, *task(path)
        return
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(jobs, len(paths))) as pool:
        futures = [pool.submit(task, path) for path in paths]
        try:
            for path, future in zip(paths, futures):
                yield path, *future.result()
        finally:
            for future in futures:
                future.cancel()
