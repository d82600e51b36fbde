"""Reads a KORVANT plot file with tavrel and plots some of its parameters.

    python3.14 examples/demo.py [PLOT_FILE] [--width 12] [--out plot.png]

tavrel returns the values only; the parameter names are read here from the
file's header, where the first line ends with the parameter count and each
of the following lines ends with one parameter's name.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import tavrel

HERE = Path(__file__).resolve().parent


def parameter_names(path: Path) -> list[str]:
    with open(path, encoding="utf-8") as f:
        count = int(f.readline().split()[-1])
        return [f.readline().split()[-1] for _ in range(count)]


def main() -> None:
    parser = argparse.ArgumentParser(description="Read and plot a KORVANT plot file.")
    parser.add_argument("plot_file", nargs="?", type=Path, default=HERE / "sample.plt")
    parser.add_argument("--width", type=int, default=12, help="data field width (12 or 15)")
    parser.add_argument("--out", type=Path, default=Path("build/demo/plot.png"))
    args = parser.parse_args()

    start = time.perf_counter()
    first, others = tavrel.rust_read_korvant(str(args.plot_file), args.width)
    elapsed = time.perf_counter() - start
    columns = [first, *others]
    names = parameter_names(args.plot_file)

    size = args.plot_file.stat().st_size
    print(f"{args.plot_file}: {size} bytes read in {elapsed * 1e3:.2f} ms")
    print(f"{len(columns)} parameters, {len(first)} timesteps")
    print(f"{'parameter':<12} {'first':>14} {'last':>14} {'min':>14} {'max':>14}")
    for name, column in list(zip(names, columns))[:8]:
        print(f"{name:<12} {column[0]:>14.6g} {column[-1]:>14.6g} {min(column):>14.6g} {max(column):>14.6g}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # The first parameters that change over the run, each on its own axis.
    varying = [(n, c) for n, c in zip(names, columns) if min(c) != max(c)][:4]
    fig, axes = plt.subplots(len(varying), 1, figsize=(8, 2.2 * len(varying)), sharex=True)
    for ax, (name, column) in zip(axes, varying):
        ax.plot(range(len(column)), column, linewidth=1)
        ax.set_ylabel(name)
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel("timestep")
    fig.suptitle(f"{args.plot_file.name}: {len(varying)} of {len(columns)} parameters")
    fig.tight_layout()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=100)
    print(f"plot written to {args.out}")


if __name__ == "__main__":
    main()
