"""Seeded generator of realistic KORVANT plot files, for the benchmark.

A thermal-hydraulics run writes its channels once per timestep.  The mix
here follows what such files hold: about 20% of the channels are all zero,
30% hold a value for long stretches and then jump, 40% are smooth signals
with a little noise, and 10% are noisy; magnitudes span 1e-6 to 1e7, some
negative.  Values are written in Fortran E format, 6 significant digits in
12 columns or 9 in 15, ten fields to a data line, with a lead line per
block.  The "distinct" variant makes every channel noisy, so no two
neighbouring values in a column are equal.  The same options and seed
always give the same file.

bench/bench_read.py and tests/fuzz/make_corpus.py import it; as a script it
writes one file.  It needs Python 3 with numpy; the build environment has
both, so from the repository root:

    tools/with-env python3.14 bench/korvant_gen.py OUT [--params N] [--blocks N]
        [--width 12|15] [--distinct] [--seed N]
"""

from __future__ import annotations

import argparse
import math
import random
from pathlib import Path

import numpy as np

WIDTHS = {12: 5, 15: 8}  # field width -> digits after the point


def parameter_names(count: int) -> list[str]:
    kinds = ["TEMP", "PRES", "FLOW", "VOID", "POWR", "LEVL", "QUAL", "HTC"]
    return [f"{kinds[i % len(kinds)]}-{i // len(kinds) + 1:04d}" for i in range(count)]


def channels(params: int, blocks: int, distinct: bool, seed: int) -> np.ndarray:
    """The values, shape (blocks, params), as float64 for formatting."""
    rng = np.random.default_rng(seed)
    pick = random.Random(seed)
    t = np.linspace(0.0, 1.0, blocks)
    out = np.empty((blocks, params))
    for j in range(params):
        scale = 10.0 ** pick.uniform(-6, 7)
        sign = -1.0 if pick.random() < 0.15 else 1.0
        kind = "noisy" if distinct else pick.choices(
            ["zero", "constant", "smooth", "noisy"], weights=[20, 30, 40, 10])[0]
        if kind == "zero":
            col = np.zeros(blocks)
        elif kind == "constant":
            # Piecewise constant: a handful of level changes over the run.
            edges = np.sort(rng.integers(0, blocks, size=rng.integers(1, 6)))
            levels = scale * (1 + rng.random(len(edges) + 1))
            col = levels[np.searchsorted(edges, np.arange(blocks), side="right")]
        elif kind == "smooth":
            freq = pick.uniform(0.5, 4.0)
            col = scale * (1.5 + np.sin(2 * math.pi * freq * t + pick.random()))
            col *= 1 + 1e-4 * rng.standard_normal(blocks)
        else:
            col = scale * (1 + 0.5 * rng.standard_normal(blocks))
        out[:, j] = col if kind == "zero" else sign * col
    return out


def write_plot_file(path: Path, params: int, blocks: int, width: int = 12,
                    distinct: bool = False, seed: int = 1, period: int | None = None) -> Path:
    """Writes the file; with `period`, the data of block b is that of block
    b % period, which makes large files quick to write."""
    digits = WIDTHS[width]
    field = f"%{width}.{digits}E"
    period = min(period or blocks, blocks)
    values = channels(params, period, distinct, seed)
    names = parameter_names(params)
    full, rest = divmod(params, 10)
    line_formats = [field * 10] * full + ([field * rest] if rest else [])
    data = []
    for b in range(period):
        row = values[b].tolist()
        data.append("".join(fmt % tuple(row[10 * k:10 * k + 10]) + "\n"
                            for k, fmt in enumerate(line_formats)))
    with open(path, "w", encoding="ascii", newline="\n") as out:
        out.write(f" KORVANT PLOT FILE  VERSION 3.2  NPARAM {params}\n")
        for i, name in enumerate(names):
            out.write(f" {i + 1:6d}  {name}\n")
        dt = 0.05
        for b in range(blocks):
            out.write(f" TIME = {b * dt:12.5E}  STEP {b + 1:8d}\n")
            out.write(data[b % period])
    return path


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Writes one seeded KORVANT plot file: a header line naming the parameter count, "
        "one name line per parameter, then per timestep block a lead line and the data lines of "
        "ten fields each.",
        epilog="Run it inside the build environment, from the repository root: "
        "tools/with-env python3.14 bench/korvant_gen.py OUT [options]. "
        "Example: tools/with-env python3.14 bench/korvant_gen.py build/run.plt --params 1500 --blocks 400 --width 15",
    )
    parser.add_argument("out", type=Path, metavar="OUT",
                        help="the plot file to write (replaced if it exists); relative to the repository root "
                        "when run through tools/with-env")
    parser.add_argument("--params", type=int, default=200, metavar="N",
                        help="number of parameters (channels), the count the header line ends with (default: 200)")
    parser.add_argument("--blocks", type=int, default=1000, metavar="N",
                        help="number of timestep blocks, each a lead line and ceil(N params / 10) data lines "
                        "(default: 1000)")
    parser.add_argument("--width", type=int, choices=sorted(WIDTHS), default=12,
                        help="field width: 12 writes 6 significant digits (-1.23456E+02), 15 writes 9 "
                        "(-1.23456789E+02); read the file with the same width (default: 12)")
    parser.add_argument("--distinct", action="store_true",
                        help="make every channel noisy, so that no value repeats its neighbour in a column, "
                        "instead of the realistic mix of zero, constant, smooth and noisy channels")
    parser.add_argument("--seed", type=int, default=1, metavar="N",
                        help="seed of the random values; the same seed and options give the same file (default: 1)")
    args = parser.parse_args()
    write_plot_file(args.out, args.params, args.blocks, args.width, args.distinct, args.seed)


if __name__ == "__main__":
    main()
