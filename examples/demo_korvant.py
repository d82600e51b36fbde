"""Reads a KORVANT plot file with korvant and plots some parameters over time.

    python3.14 examples/demo_korvant.py [PLOT_FILE] [--out plot.png]

korvant finds the field width, the parameter names and the time of each
timestep itself; the values come as one float32 numpy array.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import korvant

HERE = Path(__file__).resolve().parent


def main() -> None:
    parser = argparse.ArgumentParser(description="Read and plot a KORVANT plot file with korvant.")
    parser.add_argument("plot_file", nargs="?", type=Path, default=HERE / "sample.plt")
    parser.add_argument("--out", type=Path, default=Path("build/demo/korvant.png"))
    args = parser.parse_args()

    start = time.perf_counter()
    plot = korvant.read(args.plot_file)
    elapsed = time.perf_counter() - start
    print(f"{plot!r} read in {elapsed * 1e3:.2f} ms, width {plot.width}")
    frame = plot.to_pandas()
    print(frame.iloc[:, :4].describe().loc[["min", "max", "mean"]].to_string())

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    varying = [name for name in plot.names if frame[name].min() != frame[name].max()][:4]
    fig, axes = plt.subplots(len(varying), 1, figsize=(8, 2.2 * len(varying)), sharex=True)
    for ax, name in zip(axes, varying):
        ax.plot(plot.time, plot[name], linewidth=1)
        ax.set_ylabel(name)
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel("time")
    fig.suptitle(f"{args.plot_file.name}: {len(varying)} of {len(plot.names)} parameters over time")
    fig.tight_layout()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=100)
    print(f"plot written to {args.out}")


if __name__ == "__main__":
    main()
