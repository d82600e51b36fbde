"""korvant.follow: the timesteps of a plot file that a simulation is still
writing, read as they arrive.

A Follower opens the file once and keeps the descriptor.  It reads the header
once (the first line, then a line per parameter) and keeps its bytes; each
poll reads only the bytes after those it already has (``os.pread`` at its
offset) and parses the header followed by the timesteps completed since the
last poll, with korvant's own reader over the bytes in memory.  A poll costs
what the new timesteps cost, whatever the length of the file before them.

A timestep is its lead line and ceil(n / 10) data lines; it is complete when
the line feed of its last line has been written, so that counting line feeds
finds where the complete timesteps end.  The rest, a timestep half written,
stays buffered until the writer finishes it.  An existing file is caught up
in bounded chunks, so that memory holds the rows kept and one chunk.

The file may change under the follower in two ways that end a follow:
it becomes shorter than what was read (FileTruncatedError), or another file
takes its name, or the bytes already read change (FileReplacedError): a new
run started under the same name.  The rows of the old file and of the new
one are never mixed; following the new run is a new follow.
"""

from __future__ import annotations

import dataclasses
import errno
import io
import os
import re
import stat
import time
import weakref
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from korvant._concat import concatenate
from korvant._errors import FIELDS_PER_LINE, PlotFileError
from korvant._options import ReadOptions
from korvant._paths import PathLike, path_argument
from korvant._plot import Plot
from korvant._read import read_with
from korvant._select import Key, params_argument, resolve

__all__ = ["FileReplacedError", "FileTruncatedError", "FollowError", "Follower", "follow"]

#: The most bytes one read of the file takes: a long file is caught up
#: chunk by chunk, each parsed before the next is read.  Below glibc's
#: largest threshold for mapping a block of its own (32 MiB), so that the
#: chunks' buffers reuse the same memory rather than fault in fresh pages.
CHUNK_BYTES = 16 << 20

#: How many of the last bytes read are compared with the file at each poll
#: that finds it longer, to see that it was not written anew in place.
TAIL_BYTES = 64

#: The kept rows come in pieces, one per poll; small pieces are joined into
#: a block once there are this many, or once they hold BLOCK_BYTES of
#: values, so that what the pieces cost beyond their rows stays small and
#: no join copies more than about BLOCK_BYTES.
PARTS_PER_BLOCK = 64
BLOCK_BYTES = 1 << 20

Params = Key | Sequence[Key] | Callable[[list[str]], Any] | None


class FollowError(Exception):
    """The followed file changed in a way that ends the follow; its rows
    read so far stay what they were.  `path` is the file."""

    def __init__(self, message: str, *, path: str) -> None:
        super().__init__(message)
        self.path = path


class FileTruncatedError(FollowError):
    """The file became shorter than what was already read of it."""


class FileReplacedError(FollowError):
    """Another file took the followed file's name (a new run under the same
    name), or the bytes already read were written anew."""


def follow(
    path: PathLike,
    *,
    params: Params = None,
    width: int | None = None,
    interval: float = 1.0,
    keep: bool = True,
) -> Follower:
    """Follows the plot file at `path` while it is written: see Follower.

    `params` and `width` are those of korvant.read; `params` may also be a
    function that takes the header's names and returns the selection, called
    once when the header has been read.  `interval` is the time in seconds
    that iterating sleeps between polls that find nothing new.  With `keep`
    False the follower keeps no rows (whole() is then unavailable) and its
    memory stays the same however long it runs.

    Nothing is read here: the file may not exist yet.
    """
    return Follower(path, params=params, width=width, interval=interval, keep=keep)


class Follower:
    """A plot file read incrementally, as a simulation writes it.

    ``poll()`` reads what was written since the last poll and returns the
    timesteps completed since then as a Plot of the new rows, or None when
    there are none.  Iterating polls forever, yielding each such Plot and
    sleeping `interval` seconds after a poll that found nothing.
    ``whole()`` is every row so far as one Plot, as
    ``korvant.read(path, partial=True)`` would give it.  A file that does not
    exist yet is waited for; a timestep half written waits for the rest.

    Attributes:
        path: the file, as messages show it.
        interval: seconds between polls that find nothing, when iterating.
        keep: whether the rows are kept (for whole()).
        timesteps: the complete timesteps read so far.
        complete: False while the file ends inside a timestep (a writer in
            the middle of one).
        names: the selected parameters' names, None until the header has
            been read.

    Each poll raises what a read would for damaged content (PlotFileError,
    with the file's own line and timestep numbers), and FileTruncatedError
    or FileReplacedError when the file changed under it.  A follower that
    failed stays failed: every later poll raises the same error.
    """

    def __init__(self, path: PathLike, *, params: Params = None, width: int | None = None,
                 interval: float = 1.0, keep: bool = True) -> None:
        self._name, self.path = path_argument(path)
        self._choose = params if callable(params) else None
        self._options = ReadOptions.of(width=width, params=None if self._choose else params,
                                       partial=True, compression=None)
        self.interval = seconds_argument("interval", interval)
        self.keep = bool(keep)
        self.timesteps = 0
        self.complete = True
        self.names: list[str] | None = None
        self._fd: int | None = None
        self._closed = False
        self._finalizer: weakref.finalize | None = None
        self._identity: tuple[int, int] | None = None
        self._offset = 0  # bytes of the file read so far
        self._pending = b""  # bytes read and not yet taken as the header or a timestep
        self._tail = b""  # the last bytes read, compared with the file before reading on
        self._header: bytes | None = None
        self._header_lines = 0
        self._step_lines = 0
        self._base: Plot | None = None  # the header read alone: the columns, no rows
        self._parts: list[Plot] = []
        self._part_bytes = 0
        self._blocks: list[Plot] = []
        self._failure: BaseException | None = None

    # ------------------------------------------------------------ public

    def poll(self) -> Plot | None:
        """The timesteps completed since the last poll, as a Plot of the new
        rows (the caller's to keep or change), or None when there are none."""
        if self._closed:
            raise ValueError(f"the follower of {self.path} is closed")
        if self._failure is not None:
            raise self._failure.with_traceback(None)
        try:
            return self._poll()
        except (FollowError, PlotFileError, LookupError, TypeError) as error:
            self._failure = error
            raise

    def __iter__(self) -> Iterator[Plot]:
        while True:
            plot = self.poll()
            if plot is None:
                time.sleep(self.interval)
            else:
                yield plot

    def whole(self) -> Plot | None:
        """Every row read so far as one Plot (a copy, the caller's), or None
        before the header has been read."""
        if not self.keep:
            raise ValueError("this follower keeps no rows: follow(..., keep=True) for whole()")
        if self._base is None:
            return None
        return concatenate([self._base, *self._blocks, *self._parts], complete=self.complete)

    @property
    def opened(self) -> bool:
        """Whether the file has been found and opened."""
        return self._fd is not None

    def close(self) -> None:
        """Closes the file; a later poll raises ValueError."""
        self._closed = True
        if self._finalizer is not None:
            self._finalizer()
        self._fd = None

    def __enter__(self) -> Follower:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._closed:
            state = "closed"
        elif self._fd is None:
            state = "waiting for the file"
        else:
            state = f"{self.timesteps} timesteps" + ("" if self.complete else ", one half written")
        return f"<korvant.Follower {self.path!r}: {state}>"

    # ----------------------------------------------------------- reading

    def _poll(self) -> Plot | None:
        if self._fd is None and not self._open():
            return None
        fd = self._fd
        assert fd is not None
        replaced = self._replaced()
        size = os.fstat(fd).st_size
        if size < self._offset:
            raise FileTruncatedError(
                f"{self.path}: the file is now {size:,} bytes, shorter than the {self._offset:,} already read "
                "(cut, or a new run started in it)", path=self.path)
        if size > self._offset and self._tail:
            start = self._offset - len(self._tail)
            if os.pread(fd, len(self._tail), start) != self._tail:
                raise FileReplacedError(
                    f"{self.path}: the bytes already read have changed (a new run writes the file anew)",
                    path=self.path)
        pieces = []
        while self._offset < size:
            before = self._offset
            piece = self._read(fd, min(CHUNK_BYTES, size - self._offset))
            if piece is not None:
                pieces.append(piece)
            if self._offset == before:
                break  # cut since the fstat: the next poll says so
        if replaced:
            error = FileReplacedError(
                f"{self.path}: another file now has this name (a new run); the old one was read to its end",
                path=self.path)
            if not pieces:
                raise error
            self._failure = error  # its last rows first, then the next poll says so
        return self._result(pieces)

    def _open(self) -> bool:
        """Opens the file, or returns False while it does not exist."""
        try:
            fd = os.open(self._name, os.O_RDONLY | os.O_CLOEXEC)
        except FileNotFoundError:
            return False
        status = os.fstat(fd)
        if stat.S_ISDIR(status.st_mode):
            os.close(fd)
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), self.path)
        self._fd = fd
        self._identity = (status.st_dev, status.st_ino)
        self._finalizer = weakref.finalize(self, os.close, fd)
        return True

    def _replaced(self) -> bool:
        """Whether another file now stands at the path.  A path that no
        longer exists is not that yet: the descriptor reads the old file on
        until another appears."""
        try:
            status = os.stat(self._name)
        except FileNotFoundError:
            return False
        return (status.st_dev, status.st_ino) != self._identity

    def _read(self, fd: int, count: int) -> Plot | None:
        """Reads up to `count` more bytes and takes what they complete.

        One buffer holds the header, the bytes left over from the last
        read and the new bytes, read straight into it: its start is the
        file as the reader is to see it, with no joining copy.  Before the
        header is known, the left-over bytes are the file's own start.
        """
        head = self._header or b""
        start = len(head) + len(self._pending)
        buffer = bytearray(start + count)
        view = memoryview(buffer)
        view[: len(head)] = head
        view[len(head) : start] = self._pending
        got = os.preadv(fd, [view[start:]], self._offset)
        if not got:
            return None
        self._offset += got
        self._tail = (self._tail + bytes(view[max(start, start + got - TAIL_BYTES) : start + got]))[-TAIL_BYTES:]
        return self._take(view[: start + got])

    def _take(self, data: memoryview) -> Plot | None:
        """Takes the header, then the complete timesteps, from `data` (the
        header, then the bytes after the timesteps taken); returns the new
        rows, if any, and keeps the rest for the next read."""
        if self._header is None and not self._take_header(data):
            self._pending = bytes(data)
            return None
        assert self._header is not None
        body = data[len(self._header) :]
        ends = line_ends(body)
        if len(ends) < self._step_lines:
            self._pending = bytes(body)
            self.complete = not self._pending.strip()
            return None
        # Every complete line goes to the reader, also those of a timestep
        # still incomplete: it then judges the file so far exactly as a read
        # with partial=True would, a data line cut short as a cut and not a
        # fault.  Its rows say how many timesteps were taken.
        through = int(ends[-1]) + 1
        plot = self._parse(data[: len(self._header) + through])
        rows = len(plot)
        used = int(ends[rows * self._step_lines - 1]) + 1 if rows else 0
        self._pending = bytes(body[used:])
        self.timesteps += rows
        self.complete = plot.complete and not bytes(body[through:]).strip()
        if not rows:
            return None
        if self._options.width is None:
            self._options = dataclasses.replace(self._options, width=plot.width)
        return plot

    def _take_header(self, data: memoryview) -> bool:
        """Takes the header from the start of `data` once it is all there:
        the first line, then a line per parameter.  The names resolve the
        selection, once."""
        first = line_end(data, 1)
        if first < 0:
            return False
        if not self._header_lines:
            count = self._parameter_count(bytes(data[:first]))
            self._header_lines = count + 1
            self._step_lines = 1 + -(-count // FIELDS_PER_LINE)
        end = line_end(data, self._header_lines)
        if end < 0:
            return False
        header = bytes(data[:end])
        every = read_with(self._source(header), dataclasses.replace(self._options, params=None))
        keys = params_argument(self._choose(list(every.names))) if self._choose else self._options.params
        columns = resolve(keys, every.names, self.path) if keys is not None else None
        self._options = dataclasses.replace(self._options, params=None if columns is None else tuple(columns))
        self._base = read_with(self._source(header), self._options)
        self.names = list(self._base.names)
        self._header = header
        return True

    def _parameter_count(self, first_line: bytes) -> int:
        """The count that the first line ends with.  The reader judges the
        line first: a line alone reads as far as the missing names (line 2),
        and a bad count fails on line 1 with the reader's own message."""
        try:
            read_with(self._source(first_line), ReadOptions(partial=True, compression=None))
        except PlotFileError as error:
            if error.line != 2:
                raise
        return int(first_line.decode("utf-8").split()[-1])

    def _source(self, data: bytes | memoryview) -> io.BytesIO:
        """The bytes (copied) as a file object that messages name as the
        file."""
        source = io.BytesIO(data)
        source.name = self.path
        return source

    def _parse(self, data: memoryview) -> Plot:
        """The header and the file's lines from the first timestep not yet
        taken, read as a file; an error is moved to its place in the whole
        file."""
        try:
            return read_with(self._source(data), self._options)
        except PlotFileError as error:
            raise self._placed(error) from None

    def _placed(self, error: PlotFileError) -> PlotFileError:
        """`error`, found in the header and the lines after `timesteps`
        taken timesteps, with the file's own line and timestep numbers."""
        skipped = self.timesteps
        if not skipped:
            return error
        message = str(error)
        line, timestep = error.line, error.timestep
        if line is not None and line > self._header_lines:
            line += skipped * self._step_lines
            message = message.replace(f"{self.path}:{error.line}:", f"{self.path}:{line}:", 1)
            message = message.replace(f"data line {error.line} ", f"data line {line} ", 1)
        if timestep is not None:
            timestep += skipped
            message = re.sub(rf"\btimestep {error.timestep}\b", f"timestep {timestep}", message, count=1)
        placed = PlotFileError(message, path=error.path, line=line, parameter=error.parameter,
                               timestep=timestep, text=error.text)
        return placed

    # ----------------------------------------------------------- keeping

    def _result(self, pieces: list[Plot]) -> Plot | None:
        """The Plot a poll returns for the pieces it read (one per chunk);
        the kept rows take the pieces themselves, the caller a copy."""
        if not pieces:
            return None
        if self.keep:
            for piece in pieces:
                self._store(piece)
            return concatenate(pieces, complete=self.complete)
        plot = pieces[0] if len(pieces) == 1 else concatenate(pieces)
        plot.complete = self.complete
        return plot

    def _store(self, piece: Plot) -> None:
        # The kept pieces share the header's lists of names and columns,
        # not a copy each (a file of thousands of parameters would
        # otherwise keep thousands of strings per poll).
        assert self._base is not None
        piece.names, piece.parameters = self._base.names, self._base.parameters
        size = piece.values.nbytes
        if size >= BLOCK_BYTES:
            self._flush()
            self._blocks.append(piece)
            return
        self._parts.append(piece)
        self._part_bytes += size
        if len(self._parts) >= PARTS_PER_BLOCK or self._part_bytes >= BLOCK_BYTES:
            self._flush()

    def _flush(self) -> None:
        if self._parts:
            block = self._parts[0] if len(self._parts) == 1 else concatenate(self._parts)
            block.names, block.parameters = self._parts[0].names, self._parts[0].parameters
            self._blocks.append(block)
            self._parts, self._part_bytes = [], 0


def line_ends(data: bytes | memoryview) -> np.ndarray:
    """The offsets of the line feeds in `data`."""
    return np.flatnonzero(np.frombuffer(data, dtype=np.uint8) == 10)


def line_end(data: bytes, count: int) -> int:
    """The offset just after the `count`-th line feed of `data`, or -1 when
    it has fewer.  The search looks at a growing start of `data`, so that a
    header is found without going through a whole chunk."""
    window = 1 << 16
    while True:
        ends = line_ends(memoryview(data)[:window])
        if len(ends) >= count:
            return int(ends[count - 1]) + 1
        if window >= len(data):
            return -1
        window *= 4


def seconds_argument(what: str, value: object) -> float:
    """`value` as a number of seconds, at least 0."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {type(value).__name__}")
    if not value >= 0 or value == float("inf"):
        raise ValueError(f"{what} must be a number of seconds, at least 0, not {value}")
    return float(value)
