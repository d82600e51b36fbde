"""How the `korvant` command ends: its exit statuses, and the one place that
turns an exception into a status and a line on standard error."""

from __future__ import annotations

import enum
import os
import sys
from typing import TYPE_CHECKING

from korvant._extras import MissingLibrary

if TYPE_CHECKING:
    from korvant.cli._batch import Progress

__all__ = ["FILE_ERRORS", "Status", "describe", "report", "status_of"]

PROG = "korvant"


class Status(enum.IntEnum):
    """The exit statuses of the command."""

    OK = 0
    FILE_FAILED = 1  # a file could not be read or written; the others were handled
    USAGE = 2  # bad arguments: nothing was read or written
    INTERRUPTED = 130  # Ctrl-C, as a shell reports SIGINT


# Failures that belong to one file: what the reader raises for a damaged,
# missing or unreadable file or a parameter it lacks, and what the writers
# raise for a bad output (pyarrow's and h5py's errors derive from these too).
# Any other exception is a fault of this program and is not caught.
FILE_ERRORS = (OSError, ValueError, LookupError, MemoryError)


def one_line(text: str) -> str:
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


def describe(path: str, error: BaseException) -> str:
    """One line naming the file and what went wrong with it."""
    if isinstance(error, OSError) and error.strerror:
        return f"{path}: {error.strerror}"
    if isinstance(error, MemoryError):
        return f"{path}: not enough memory"
    if isinstance(error, KeyError) and error.args:
        text = str(error.args[0])
    else:
        text = str(error) or type(error).__name__
    text = one_line(text)
    # PlotFileError messages already start with the path.
    return text if text.startswith(path) else f"{path}: {text}"


def report(line: str, progress: Progress | None = None) -> None:
    """Writes `line` to standard error, after the command's name."""
    line = f"{PROG}: {line}"
    if progress is not None:
        progress.write(line, sys.stderr)
    else:
        print(line, file=sys.stderr, flush=True)


def status_of(error: BaseException, path: str | None = None, progress: Progress | None = None) -> Status:
    """The status that `error` ends the work with, its line reported: a
    failure of the file at `path` (FILE_ERRORS), a missing optional library,
    Ctrl-C or a closed standard output.  Any other exception is re-raised."""
    if path is not None and isinstance(error, FILE_ERRORS):
        report(describe(path, error), progress)
        return Status.FILE_FAILED
    if isinstance(error, MissingLibrary):
        report(str(error), progress)
        return Status.FILE_FAILED
    if isinstance(error, KeyboardInterrupt):
        return Status.INTERRUPTED
    if isinstance(error, BrokenPipeError):
        # The reader of the output went away (`korvant info --names | head`):
        # what is still buffered goes nowhere, and no error is printed.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return Status.FILE_FAILED
    raise error
