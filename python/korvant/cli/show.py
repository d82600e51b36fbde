"""`korvant show FILE [PARAM...]`: the first and last timesteps of the chosen
parameters, and each one's min, max and mean."""

from __future__ import annotations

import argparse
import shutil
from typing import Any

import numpy as np

import korvant
from korvant._read import read_with
from korvant.cli._batch import add_reading_arguments, read_options
from korvant.cli._status import Status, status_of
from korvant.export import float32_text

Column = list[str]


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser("show", help="a table of values",
                                 description="The first and last timesteps of the chosen parameters "
                                             "and each one's min, max and mean over the chosen timesteps.")
    add_reading_arguments(parser)
    parser.add_argument("file", metavar="FILE")
    parser.add_argument("params", nargs="*", metavar="PARAM", help="parameter names or indices (default: all)")
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

    lead = [["step"] + cells(lambda i: str(steps[i])) + ["", "min", "max", "mean"]]
    if plot.time is not None:
        time = plot.time
        lead.append(["time"] + cells(lambda i: f"{time[steps[i]]:g}") + [""] * 4)
    return lead


def value_column(name: str, column: np.ndarray, shown: list[int | None]) -> Column:
    """A parameter's shown values, then its min, max and mean."""
    texts = iter(float32_text(column[[i for i in shown if i is not None]]))
    body = ["..." if i is None else next(texts) for i in shown]
    if len(column):
        low, high = float32_text(np.array([column.min(), column.max()]))
        stats = [low, high, f"{column.astype(np.float64).mean():.7g}"]
    else:
        stats = ["-", "-", "-"]
    return [name] + body + [""] + stats


def run(args: argparse.Namespace) -> Status:
    try:
        plot = read_with(args.file, read_options(args, args.params))
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return status_of(error, args.file)
    chosen = args.steps or slice(None)
    steps = range(len(plot))[chosen]
    values = plot.values[chosen]
    shown = shown_rows(len(steps), args.rows)
    columns = [value_column(name, values[:, j], shown) for j, name in enumerate(plot.names)]
    print(f"{plot.path}: {len(plot)} timesteps, {plot.n_parameters} parameters, width {plot.width}"
          f"{'' if plot.complete else ', last block cut off'}")
    for chunk in table_chunks(lead_columns(plot, steps, shown), columns, shutil.get_terminal_size().columns):
        print()
        print(chunk)
    return Status.OK
