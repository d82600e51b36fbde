"""`korvant show FILE [PARAM...]`: the first and last timesteps of the chosen
parameters, and each one's min and max with the time of each, and mean; for
a folder or pattern of several files, those figures for each run."""

from __future__ import annotations

import argparse
import shutil
from typing import Any

import numpy as np

import korvant
from korvant._paths import expand
from korvant._read import read_with
from korvant._study import run_names
from korvant.cli._batch import add_reading_arguments, read_options, read_study
from korvant.cli._status import Status, status_of
from korvant.export import float32_text

Column = list[str]


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser("show", help="a table of values",
                                 description="The first and last timesteps of the chosen parameters "
                                             "and each one's min, max (with the time of each) and mean over "
                                             "the chosen timesteps.  For a folder or pattern of several files, "
                                             "a row per run and parameter with those figures, each parameter "
                                             "found by name in each run.")
    add_reading_arguments(parser)
    parser.add_argument("file", metavar="FILE", help="a plot file, or a folder or quoted glob pattern of runs")
    parser.add_argument("params", nargs="*", metavar="PARAM",
                        help="parameter names, indices or quoted patterns such as 'TEMP-*' (default: all)")
    parser.add_argument("--steps", type=parse_steps, metavar="A:B",
                        help="the timesteps A to B-1 (from 0; negative counts from the end)")
    parser.add_argument("-n", "--rows", type=int, default=5, metavar="N",
                        help="timesteps shown at each end (default: 5)")
    return parser


def parse_steps(text: str) -> slice:
    """'A:B', 'A:', ':B' or 'A' (one timestep), Python slice rules."""
    try:
        if ":" not in text:
            index = int(text)
            return slice(index, index + 1 if index != -1 else None)
        start, stop = text.split(":")
        return slice(int(start) if start.strip() else None, int(stop) if stop.strip() else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not A:B, A:, :B or A") from None


def table_chunks(lead: list[Column], columns: list[Column], width: int) -> list[str]:
    """Lays out the columns (each a header followed by its cells) right
    aligned, as many side by side as fit in `width` characters; the lead
    columns (timestep, time) begin every group."""
    def fitted(column: Column) -> Column:
        size = max(map(len, column))
        return [cell.rjust(size) for cell in column]

    lead = [fitted(c) for c in lead]
    columns = [fitted(c) for c in columns]
    lead_width = sum(len(c[0]) + 2 for c in lead)
    groups: list[list[Column]] = []
    group: list[Column] = []
    used = lead_width
    for column in columns:
        if group and used + len(column[0]) + 2 > width:
            groups.append(group)
            group, used = [], lead_width
        group.append(column)
        used += len(column[0]) + 2
    if group or not groups:
        groups.append(group)
    return ["\n".join("  ".join(row).rstrip() for row in zip(*(lead + group))) for group in groups]


def shown_rows(count: int, rows: int) -> list[int | None]:
    """The rows of `count` shown: `rows` at each end, None for the gap."""
    rows = max(rows, 0)
    if count > 2 * rows:
        return list(range(rows)) + [None] + list(range(count - rows, count))
    return list(range(count))


def lead_columns(plot: korvant.Plot, steps: range, shown: list[int | None]) -> list[Column]:
    """The timestep column and, when the file has one, the time column,
    with room below for the statistics' labels."""
    def cells(get: Any) -> Column:
        return ["..." if i is None else get(i) for i in shown]

    lead = [["step"] + cells(lambda i: str(steps[i])) + ["", *STATISTICS]]
    if plot.time is not None:
        time = plot.time
        lead.append(["time"] + cells(lambda i: f"{time[steps[i]]:g}") + [""] * (1 + len(STATISTICS)))
    return lead


#: The figures of a parameter over the timesteps shown, in the order shown.
STATISTICS = ("min", "t(min)", "max", "t(max)", "mean")


def statistics(column: np.ndarray, time: np.ndarray | None) -> list[str]:
    """min, the time (or timestep) of its first occurrence, max and its
    time, and mean; NaN values aside, "-" where there is no other value."""
    if np.isnan(column).all():
        return ["-"] * len(STATISTICS)
    low, high = int(np.nanargmin(column)), int(np.nanargmax(column))
    low_text, high_text = float32_text(column[[low, high]])

    def when(i: int) -> str:
        return f"{time[i]:g}" if time is not None else f"step {i}"

    return [low_text, when(low), high_text, when(high), f"{np.nanmean(column.astype(np.float64)):.7g}"]


def value_column(name: str, column: np.ndarray, shown: list[int | None], time: np.ndarray | None) -> Column:
    """A parameter's shown values, then its statistics."""
    texts = iter(float32_text(column[[i for i in shown if i is not None]]))
    body = ["..." if i is None else next(texts) for i in shown]
    return [name] + body + [""] + statistics(column, time)


def show_file(args: argparse.Namespace, path: str) -> Status:
    """The table of one file."""
    try:
        plot = read_with(path, read_options(args, args.params))
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return status_of(error, path)
    chosen = args.steps or slice(None)
    steps = range(len(plot))[chosen]
    values = plot.values[chosen]
    time = plot.time[chosen] if plot.time is not None else None
    shown = shown_rows(len(steps), args.rows)
    columns = [value_column(name, values[:, j], shown, time) for j, name in enumerate(plot.names)]
    print(f"{plot.path}: {len(plot)} timesteps, {plot.n_parameters} parameters, width {plot.width}"
          f"{'' if plot.complete else ', last block cut off'}")
    for chunk in table_chunks(lead_columns(plot, steps, shown), columns, shutil.get_terminal_size().columns):
        print()
        print(chunk)
    return Status.OK


def show_study(args: argparse.Namespace, paths: list[str]) -> Status:
    """A row per run and parameter: its timesteps and statistics."""
    plots, status = read_study(args, paths, args.params)
    runs = run_names([plot.path for plot in plots])
    header = ["run", "parameter", "timesteps", *STATISTICS]
    rows = []
    for run, plot in zip(runs, plots):
        chosen = args.steps or slice(None)
        values, time = plot.values[chosen], plot.time[chosen] if plot.time is not None else None
        for j, name in enumerate(plot.names):
            rows.append([run, name, str(len(values)), *statistics(values[:, j], time)])
    if plots:
        print(f"{len(plots)} of {len(paths)} runs read, {len(plots[0].names)} parameters")
        print()
        columns = [[cell, *column] for cell, column in zip(header, zip(*rows))] if rows else [[h] for h in header]
        print(table_chunks(columns[:2], columns[2:], 1 << 30)[0])
    return status


def run(args: argparse.Namespace) -> Status:
    paths, batch = expand(args.file)
    if batch or len(paths) > 1:
        return show_study(args, paths)
    return show_file(args, paths[0])
