"""`korvant plot FILE PARAM... -o OUT`: one panel per parameter over time,
the curves of several files on the same panels with --overlay."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import numpy as np

import korvant
from korvant._extras import need
from korvant._paths import expand
from korvant._read import read_with
from korvant.cli._batch import Progress, add_reading_arguments, read_options, run_batch
from korvant.cli._status import Status, status_of


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser("plot", help="plot parameters over time",
                                 description="One panel per parameter over time, the title from the "
                                             "file name; with --overlay the curves of several files "
                                             "share the panels, with a legend.")
    add_reading_arguments(parser)
    parser.add_argument("file", metavar="FILE")
    parser.add_argument("params", nargs="+", metavar="PARAM", help="parameter names or indices")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.png",
                        help="image file; the suffix chooses the format (png, pdf, svg)")
    parser.add_argument("--overlay", action="extend", nargs="+", default=[], metavar="FILE",
                        help="more files whose curves are drawn on the same panels")
    parser.add_argument("--dpi", type=int, default=100)
    return parser


def figure(plots: list[korvant.Plot], panels: int) -> Any:
    """The figure: a panel per selected parameter, a curve per plot, over a
    shared time axis when every file has one, else the timestep index."""
    from matplotlib.figure import Figure

    use_time = all(p.time is not None for p in plots)
    labels = [Path(p.path).name for p in plots]
    if len(set(labels)) < len(labels):
        labels = [p.path for p in plots]
    fig = Figure(figsize=(9, 1.2 + 2.2 * panels), layout="constrained")
    axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    for j, ax in enumerate(axes):
        for plot, label in zip(plots, labels):
            x = plot.time if use_time else np.arange(len(plot))
            ax.plot(x, plot.values[:, j], linewidth=1, label=label)
        ax.set_ylabel(plots[0].names[j])
        ax.grid(alpha=0.3)
    if len(plots) > 1:
        axes[0].legend(fontsize="small")
    axes[-1].set_xlabel("time" if use_time else "timestep")
    fig.suptitle(", ".join(labels) if len(labels) <= 3 else f"{labels[0]} and {len(labels) - 1} more files")
    return fig


def run(args: argparse.Namespace) -> Status:
    need("matplotlib", "plotting", "plot")
    options = read_options(args, args.params)
    plots: list[korvant.Plot] = []

    def done(path: str, plot: korvant.Plot, progress: Progress) -> None:
        plots.append(plot)

    paths, _ = expand([args.file, *args.overlay])
    status = run_batch(paths, lambda path: read_with(path, options), args.jobs, done)
    if not plots:
        return Status.FILE_FAILED
    panels = len(args.params)
    out = Path(args.output)
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        figure(plots, panels).savefig(out, dpi=args.dpi)
    except (OSError, ValueError) as error:
        return status_of(error, str(out))
    print(f"{out}: {panels} panel{'s' * (panels != 1)} from {len(plots)} file{'s' * (len(plots) != 1)}")
    return status
