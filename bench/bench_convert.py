"""Throughput of `korvant convert` to Parquet and to HDF5, as a ratio to
`korvant.read` of the same file.

    python3.14 bench/bench_convert.py [--megabytes 400] [--repeat 3] [--data DIR]

Every measurement is the wall time of a fresh process: `korvant.read` of the
file in a short script, and `python -m korvant convert FILE -o OUT -j 1` (one
reading thread, as korvant.read uses by default).  Both pay the interpreter's
start and the import of korvant; the start alone is timed too and printed.
The runs take turns and the ratio is the median of each round's ratio, so a
change in the machine's load falls on both alike.  The file is read once
untimed first, so every run finds it in the page cache.  The target: the
writing adds at most the read's own time again (ratio <= 2).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The generator lives in bench/ or in tools/; take it from either.
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tools")]

import korvant_gen  # noqa: E402

PARAMS = 1500
PERIOD = 400
WIDTH = 12
TARGET = 2.0

START = "import korvant"
READ = "import sys, korvant; korvant.read(sys.argv[1])"


def plot_file(data: Path, megabytes: int) -> Path:
    """The realistic width-12 file of this size, the one bench/bench_read.py
    makes under the same name and seed (generated here when missing)."""
    data.mkdir(parents=True, exist_ok=True)
    path = data / f"realistic-w{WIDTH}-{megabytes}MB.plt"
    if not path.exists():
        block = 36 + PARAMS * WIDTH + (PARAMS + 9) // 10
        blocks = max(1, megabytes * 1_000_000 // block)
        tmp = path.with_suffix(".tmp")
        korvant_gen.write_plot_file(tmp, PARAMS, blocks, WIDTH, False, seed=WIDTH * 100, period=PERIOD)
        tmp.rename(path)
    return path


def timed(command: list[str], env: dict) -> float:
    start = time.perf_counter()
    subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=400, help="size of the plot file (default: 400)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built modules")
    args = parser.parse_args()

    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(args.module_dir.resolve()), env.get("PYTHONPATH")]))
    path = plot_file(args.data, args.megabytes)
    size = path.stat().st_size
    python = sys.executable
    commands = {"start": [python, "-c", START], "read": [python, "-c", READ, str(path)]}
    outputs = {}
    for fmt, suffix in (("parquet", ".parquet"), ("hdf5", ".h5")):
        outputs[fmt] = args.data / f"convert-out{suffix}"
        commands[f"convert {fmt}"] = [python, "-m", "korvant", "convert", str(path),
                                      "-o", str(outputs[fmt]), "-j", "1", "-q"]

    timed(commands["read"], env)  # into the page cache
    runs: dict[str, list[float]] = {name: [] for name in commands}
    sizes = {}
    for _ in range(args.repeat):
        for name, command in commands.items():
            runs[name].append(timed(command, env))
        for fmt, out in outputs.items():
            sizes[fmt] = out.stat().st_size
            out.unlink()

    print(f"{path.name}: {size / 1e6:.0f} MB, {args.repeat} rounds, median wall time of a process")
    print(f"  {'':<16} {'seconds':>8} {'MB/s':>8} {'x read':>7} {'output MB':>10}")
    ratios = {}
    for name, times in runs.items():
        seconds = statistics.median(times)
        ratios[name] = statistics.median(t / r for t, r in zip(times, runs["read"]))
        out = sizes.get(name.removeprefix("convert "))
        print(f"  {name:<16} {seconds:8.3f} {size / 1e6 / seconds:8.1f} {ratios[name]:7.2f} "
              f"{'' if out is None else f'{out / 1e6:10.1f}'}")
    for fmt in outputs:
        ratio = ratios[f"convert {fmt}"]
        print(f"  {'met ' if ratio <= TARGET else 'MISS'}  convert to {fmt}: time <= {TARGET} x read: {ratio:.2f}")


if __name__ == "__main__":
    main()
