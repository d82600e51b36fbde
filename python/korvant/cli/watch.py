"""`korvant watch FILE [PARAM...]`: a live view of a simulation that is still
writing its plot file.

The file is followed (korvant.follow): each refresh reads only what was
written since the last one and shows the simulation time, the timesteps
that arrive per second of wall time, and each chosen parameter's latest
value with its minimum and maximum so far.  On a terminal the view is drawn
in place with rich (an optional library); without rich, the same text is
redrawn plainly, and when the output is no terminal (a pipe, a log) each
refresh that brought timesteps is one line.  With --plot, a PNG of the
chosen parameters is written anew after such refreshes, through a temporary
file renamed over it, so that an image viewer never sees half a file.
Ctrl-C ends the view with status 0.
"""

from __future__ import annotations

import argparse
import collections
import fnmatch
import glob
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np

import korvant
from korvant._extras import MissingLibrary, need
from korvant._select import Key, Word
from korvant.cli._status import Status, describe, report, status_of
from korvant.export import float32_text

#: The parameters shown when none are named: the file's first ones.
DEFAULT_COUNT = 10

#: The wall time over which the timesteps per second are counted.
RATE_WINDOW = 10.0


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "watch", help="follow a simulation while it writes",
        description="A live view of a plot file that a simulation is still writing: the simulation "
                    "time, timesteps per second, and each chosen parameter's latest value, minimum "
                    "and maximum so far, refreshed as timesteps arrive.  Ctrl-C ends it.")
    parser.add_argument("file", metavar="FILE", help="the plot file (waited for if it does not exist yet)")
    parser.add_argument("params", nargs="*", metavar="PARAM",
                        help=f"parameter names, indices or quoted glob patterns of names such as 'TEMP-*' "
                             f"(default: the first {DEFAULT_COUNT})")
    parser.add_argument("--interval", type=seconds, default=1.0, metavar="S",
                        help="seconds between refreshes (default: 1)")
    parser.add_argument("--plot", metavar="OUT.png", type=Path,
                        help="write a PNG of the chosen parameters over time at each refresh that brings timesteps")
    parser.add_argument("--dpi", type=int, default=100)
    parser.add_argument("--width", type=int, choices=(12, 15), default=None,
                        help="data field width (default: detected from the first block)")
    parser.set_defaults(jobs=1)
    return parser


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive number of seconds")
    return value


def chooser(words: list[str]) -> Any:
    """The selection as a function of the header's names: each word a name
    or an index (as the other commands take them), or a glob pattern that
    stands for the names it matches, in the file's order.  A parameter
    chosen twice is shown once."""
    def choose(names: list[str]) -> list[Key]:
        if not words:
            return list(range(min(DEFAULT_COUNT, len(names))))
        keys: list[Key] = []
        for word in words:
            if glob.has_magic(word) and word not in names:
                matches = [i for i, name in enumerate(names) if fnmatch.fnmatchcase(name, word)]
                if not matches:
                    raise KeyError(f"no parameter name matches {word!r}")
                keys += matches
            else:
                keys.append(Word(word))
        return keys

    return choose


class Watch:
    """What the view shows, updated with each poll's new rows."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.names: list[str] = []
        self.timesteps = 0
        self.time: float | None = None
        self.latest: np.ndarray | None = None
        self.low: np.ndarray | None = None
        self.high: np.ndarray | None = None
        self.arrived: float | None = None  # wall time of the last new timestep
        self.complete = True
        self.started = False  # the header has been read
        self.waiting = "for the file to appear"
        self.history: collections.deque[tuple[float, int]] = collections.deque()

    def add(self, plot: korvant.Plot | None, follower: korvant.Follower, now: float) -> None:
        self.started = self.started or follower.names is not None
        self.waiting = "for the parameter names" if follower.opened else "for the file to appear"
        self.complete = follower.complete
        if plot is not None and len(plot):
            values = plot.values
            self.names = plot.names
            self.latest = values[-1].copy()
            low, high = fmin_columns(values), fmax_columns(values)
            self.low = low if self.low is None else np.fmin(self.low, low)
            self.high = high if self.high is None else np.fmax(self.high, high)
            self.timesteps = follower.timesteps
            if plot.time is not None:
                self.time = float(plot.time[-1])
            self.arrived = now
        elif follower.names is not None and not self.names:
            self.names = follower.names
        # The rate counts arrivals after the first poll, which may have
        # caught up a long file at once.
        self.history.append((now, self.timesteps))
        while len(self.history) > 2 and now - self.history[1][0] >= RATE_WINDOW:
            self.history.popleft()

    def rate(self) -> float | None:
        """Timesteps per second of wall time over the last RATE_WINDOW."""
        (start, first), (end, last) = self.history[0], self.history[-1]
        return (last - first) / (end - start) if end > start else None

    def summary(self, now: float) -> list[tuple[str, str]]:
        """The lines above the table, as (label, text)."""
        if not self.started:
            return [("waiting", self.waiting)]
        rate = self.rate()
        since = "-" if self.arrived is None else f"{now - self.arrived:.1f} s ago"
        state = "" if self.complete else ", a timestep half written"
        return [
            ("time", "-" if self.time is None else f"{self.time:.7g}"),
            ("timesteps", f"{self.timesteps:,}" + ("" if rate is None else f"  ({rate:.3g} per second)")),
            ("last", since + state),
        ]

    def rows(self) -> list[list[str]]:
        """The table: a parameter per row, its latest value, min and max."""
        if self.latest is None:
            return [[name, "-", "-", "-"] for name in self.names]
        return [list(row) for row in zip(self.names, float32_text(self.latest), float32_text(self.low),
                                         float32_text(self.high))]

    def line(self) -> str:
        """One line of the state, for an output that is no terminal."""
        rate = self.rate()
        parts = [f"time {'-' if self.time is None else f'{self.time:.7g}'}",
                 f"timesteps {self.timesteps}" + ("" if rate is None else f" ({rate:.3g}/s)")]
        parts += [f"{name} {latest} [{low} .. {high}]" for name, latest, low, high in self.rows()]
        return f"{self.path}: " + ", ".join(parts)


def fmin_columns(values: np.ndarray) -> np.ndarray:
    """Each column's minimum, NaN only where the column is all NaN."""
    return np.fmin.reduce(values, axis=0)


def fmax_columns(values: np.ndarray) -> np.ndarray:
    return np.fmax.reduce(values, axis=0)


HEADER = ["parameter", "latest", "min", "max"]


def plain_text(watch: Watch, now: float) -> str:
    """The view as plain text: the path, the summary, the table."""
    lines = [watch.path] + [f"  {label:<10} {text}" for label, text in watch.summary(now)]
    rows = watch.rows()
    if rows:
        widths = [max(len(row[k]) for row in [HEADER, *rows]) for k in range(4)]
        lines.append("")
        for row in [HEADER, *rows]:
            cells = [row[0].ljust(widths[0])] + [cell.rjust(width) for cell, width in zip(row[1:], widths[1:])]
            lines.append("  " + "  ".join(cells).rstrip())
    return "\n".join(lines)


class Screen:
    """Where the view goes: rich's live display on a terminal, plain text
    redrawn on a terminal without rich, a line per refresh elsewhere."""

    def __init__(self) -> None:
        self.live: Any = None
        self.rich: Any = None
        self.terminal = sys.stdout.isatty()
        self.shown: tuple[bool, str, int] | None = None
        if self.terminal:
            try:
                self.rich = need("rich", "the live view", "watch")
            except MissingLibrary as missing:
                report(f"{missing}; showing plain text")

    def __enter__(self) -> Screen:
        if self.rich is not None:
            from rich.console import Console
            from rich.live import Live

            self.live = Live(console=Console(), auto_refresh=False, transient=False)
            self.live.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.live is not None:
            self.live.__exit__(*exc)

    def show(self, watch: Watch, now: float) -> None:
        if self.live is not None:
            self.live.update(self.renderable(watch, now), refresh=True)
        elif self.terminal:
            # Home, the text, then clear what an earlier, longer view left.
            sys.stdout.write("\x1b[H" + plain_text(watch, now).replace("\n", "\x1b[K\n") + "\x1b[K\x1b[J")
            sys.stdout.flush()
        else:
            # A line when timesteps came, and one while the file is awaited.
            shown = (watch.started, watch.waiting, watch.timesteps)
            if shown != self.shown:
                print(watch.line() if watch.started else f"{watch.path}: waiting {watch.waiting}", flush=True)
                self.shown = shown

    def renderable(self, watch: Watch, now: float) -> Any:
        from rich import box
        from rich.console import Group
        from rich.table import Table
        from rich.text import Text

        summary = Table.grid(padding=(0, 2))
        summary.add_column(style="bold")
        summary.add_column()
        for label, text in watch.summary(now):
            summary.add_row(label, text)
        table = Table(box=box.SIMPLE_HEAD)
        table.add_column(HEADER[0])
        for name in HEADER[1:]:
            table.add_column(name, justify="right")
        for row in watch.rows():
            table.add_row(*row)
        return Group(Text(watch.path, style="bold"), summary, table)


class Picture:
    """The --plot image: rewritten after refreshes that brought timesteps,
    but never taking more than half the wall time (drawing grows with the
    rows): after a drawing that took t seconds, the next waits t more."""

    def __init__(self, out: Path, dpi: int) -> None:
        need("matplotlib", "--plot", "plot")
        import matplotlib.backends.backend_agg  # noqa: F401  (imported now, not in the first drawing's time)
        import matplotlib.figure  # noqa: F401

        self.out, self.dpi = out, dpi
        self.due = 0.0
        self.drawn = -1

    def update(self, follower: korvant.Follower) -> None:
        started = time.monotonic()
        if follower.timesteps == self.drawn or started < self.due:
            return
        plot = follower.whole()
        if plot is None or not len(plot) or not plot.names:
            return
        write_png(plot, self.out, self.dpi)
        self.drawn = follower.timesteps
        finished = time.monotonic()
        self.due = finished + (finished - started)


def write_png(plot: korvant.Plot, out: Path, dpi: int) -> None:
    """Writes the figure of `plot` to `out` through a temporary file in the
    same folder, renamed over `out`."""
    from korvant.cli.plot import figure

    out.parent.mkdir(parents=True, exist_ok=True)
    temporary = out.with_name(f".{out.name}.{os.getpid()}.tmp")
    try:
        with open(temporary, "wb") as f:
            figure([plot], len(plot.names)).savefig(f, format="png", dpi=dpi)
        os.replace(temporary, out)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def run(args: argparse.Namespace) -> Status:
    try:
        picture = Picture(args.plot, args.dpi) if args.plot else None
        follower = korvant.follow(args.file, params=chooser(args.params), width=args.width,
                                  interval=args.interval, keep=picture is not None)
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return status_of(error, args.file)
    watch = Watch(follower.path)
    where = follower.path  # what a failure is reported against
    try:
        with Screen() as screen:
            while True:
                where = follower.path
                plot = follower.poll()
                now = time.monotonic()
                watch.add(plot, follower, now)
                screen.show(watch, now)
                if picture is not None:
                    where = str(args.plot)
                    picture.update(follower)
                time.sleep(args.interval)
    except KeyboardInterrupt:
        return Status.OK
    except korvant.FollowError as error:
        report(describe(follower.path, error))
        return Status.FILE_FAILED
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return status_of(error, where)
    finally:
        follower.close()
