"""`korvant plot FILE PARAM... -o OUT`: one panel per parameter over time,
a line per run of a study (a folder, a pattern, --overlay), their median and
range with --band, or the segments of a restarted run as one line with
--chain."""

from __future__ import annotations

import argparse
import warnings
from pathlib import Path
from typing import Any

import numpy as np

import korvant
from korvant._extras import need
from korvant._paths import expand
from korvant._select import Word
from korvant._study import run_names
from korvant.cli._batch import add_reading_arguments, read_study
from korvant.cli._status import Status, status_of

#: The most runs whose lines get a legend; more are named in the title alone.
LEGEND_RUNS = 10


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser("plot", help="plot parameters over time",
                                 description="One panel per parameter over time, a line per file; the files "
                                             "of a folder or pattern, and those of --overlay, are the runs of "
                                             "a study, each parameter found by name in each run.")
    add_reading_arguments(parser)
    parser.add_argument("file", metavar="FILE", help="a plot file, or a folder or quoted glob pattern of runs")
    parser.add_argument("params", nargs="+", metavar="PARAM",
                        help="parameter names, indices or quoted patterns such as 'TEMP-*'")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.png",
                        help="image file; the suffix chooses the format (png, pdf, svg)")
    parser.add_argument("--overlay", action="extend", nargs="+", default=[], metavar="FILE",
                        help="more files whose curves are drawn on the same panels")
    way = parser.add_mutually_exclusive_group()
    way.add_argument("--band", action="store_true",
                     help="the runs' median, and the band from their minimum to their maximum, instead of a "
                          "line per run (each run interpolated onto the union of their times)")
    way.add_argument("--chain", action="store_true",
                     help="FILE and the --overlay files are the segments of one restarted run, drawn as one "
                          "line (where they overlap, the later file wins from its first time on)")
    parser.add_argument("--dpi", type=int, default=100)
    return parser


def on_one_axis(plots: list[korvant.Plot], column: int) -> tuple[np.ndarray, np.ndarray]:
    """The runs' values of one column on one axis, shape (runs, points):
    the union of their times, each run interpolated linearly within its
    own times and NaN outside them; or, where some run has no time or one
    that does not increase, the timestep index, shorter runs padded."""
    times = [plot.time for plot in plots]
    if all(t is not None and len(t) and np.all(np.diff(t) > 0) for t in times):
        axis = np.unique(np.concatenate(times))
        return axis, np.stack([np.interp(axis, t, plot.values[:, column], left=np.nan, right=np.nan)
                               for t, plot in zip(times, plots)])
    axis = np.arange(max(len(plot) for plot in plots), dtype=np.float64)
    values = np.full((len(plots), len(axis)), np.nan)
    for k, plot in enumerate(plots):
        values[k, : len(plot)] = plot.values[:, column]
    return axis, values


def draw_band(ax: Any, plots: list[korvant.Plot], column: int) -> None:
    """The median over the runs, and the band from their min to their max."""
    axis, values = on_one_axis(plots, column)
    with warnings.catch_warnings():  # a time at which no run has a value is a gap
        warnings.simplefilter("ignore", RuntimeWarning)
        low, middle, high = np.nanmin(values, 0), np.nanmedian(values, 0), np.nanmax(values, 0)
    ax.fill_between(axis, low, high, alpha=0.3, linewidth=0, label="min to max")
    ax.plot(axis, middle, linewidth=1, label="median")


def figure(plots: list[korvant.Plot], band: bool) -> Any:
    """The figure: a panel per column, a curve per plot (or the band over
    them), over a shared time axis when every file has one, else the
    timestep index."""
    from matplotlib.figure import Figure

    names = plots[0].names
    use_time = all(p.time is not None for p in plots)
    labels = run_names([p.path for p in plots])
    fig = Figure(figsize=(9, 1.2 + 2.2 * len(names)), layout="constrained")
    axes = fig.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    for j, ax in enumerate(axes):
        if band:
            draw_band(ax, plots, j)
        for plot, label in zip(plots if not band else [], labels):
            x = plot.time if use_time else np.arange(len(plot))
            ax.plot(x, plot.values[:, j], linewidth=1, label=label)
        ax.set_ylabel(names[j])
        ax.grid(alpha=0.3)
    if band or 1 < len(plots) <= LEGEND_RUNS:
        axes[0].legend(fontsize="small")
    axes[-1].set_xlabel("time" if use_time else "timestep")
    title = ", ".join(labels) if len(labels) <= 3 else f"{labels[0]} and {len(labels) - 1} more runs"
    fig.suptitle(f"{len(labels)} runs" if band else title)
    return fig


def read_chain(args: argparse.Namespace, paths: list[str]) -> tuple[list[korvant.Plot], Status]:
    """The chain of `paths` as one plot, each segment left out reported."""
    try:
        plot = korvant.read_chain(paths, width=args.width, params=[Word(word) for word in args.params],
                                  partial=args.partial, errors=args.errors, threads=args.jobs)
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return [], status_of(error, paths[0] if len(paths) == 1 else f"the chain of {len(paths)} files")
    status = Status.OK
    for path, failure in plot.source.failed:  # type: ignore[union-attr]
        status = status_of(failure, path)
    return [plot], status


def run(args: argparse.Namespace) -> Status:
    need("matplotlib", "plotting", "plot")
    paths, _ = expand([args.file, *args.overlay])
    plots, status = read_chain(args, paths) if args.chain else read_study(args, paths, args.params)
    if not plots:
        return Status.FILE_FAILED
    panels = len(plots[0].names)
    out = Path(args.output)
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        figure(plots, args.band).savefig(out, dpi=args.dpi)
    except (OSError, ValueError) as error:
        return status_of(error, str(out))
    print(f"{out}: {panels} panel{'s' * (panels != 1)} from {len(plots)} file{'s' * (len(plots) != 1)}")
    return status
