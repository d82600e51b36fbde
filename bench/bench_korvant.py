"""korvant.read against the file's bytes, tavrel, numpy arrays and pandas.

    tools/with-env python3.14 bench/bench_korvant.py --module-dir DIR [--quick]

Each reader runs in a fresh process (bench/readers.py), cold (the timed call
is the first of the process) and warm (after one untimed call), the readers
taking turns for --repeat rounds;
every ratio is the median of per-round ratios.  Then read_many over 8 files
on one and on two threads.  Files come from bench/bench_read.py's cache.
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
sys.path.insert(0, str(ROOT / "bench"))
from bench_read import prepare, run_once  # noqa: E402


def rounds(readers: list[str], mode: str, plot, repeat: int, env: dict) -> dict[str, list[dict]]:
    runs: dict[str, list[dict]] = {r: [] for r in readers}
    for _ in range(repeat):
        for reader in readers:
            runs[reader].append(run_once(reader, mode, plot, env))
    return runs


def ratio(runs: dict, a: str, b: str) -> float:
    return statistics.median(x["seconds"] / y["seconds"] for x, y in zip(runs[a], runs[b]))


def read_many_scaling(path: Path, width: int, env: dict) -> tuple[float, ...]:
    """Best of 3 processes, each timing every way twice, the ways taking
    turns after one untimed round: the first round of a process touches
    memory this virtual machine has not backed yet (about 2 us a page),
    which would weigh on whichever way came first."""
    code = (
        "import sys, time, korvant\n"
        "paths = [sys.argv[1]] * 8\n"
        "width = int(sys.argv[2])\n"
        "ways = [lambda: korvant.read_many(paths, threads=1, width=width),\n"
        "        lambda: korvant.read_many(paths, threads=2, width=width),\n"
        "        lambda: korvant.read(paths[0], threads=1, width=width),\n"
        "        lambda: korvant.read(paths[0], threads=2, width=width)]\n"
        "for way in ways: way()\n"
        "best = [float('inf')] * len(ways)\n"
        "for _ in range(2):\n"
        "    for i, way in enumerate(ways):\n"
        "        start = time.perf_counter()\n"
        "        way()\n"
        "        best[i] = min(best[i], time.perf_counter() - start)\n"
        "print(*best)\n"
    )
    best = []
    for _ in range(3):
        out = subprocess.run([sys.executable, "-c", code, str(path), str(width)], env=env, check=True,
                             capture_output=True, text=True).stdout.split()
        best.append([float(x) for x in out])
    return tuple(min(b[i] for b in best) for i in range(4))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the 20 MB width-12 files only")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None)
    args = parser.parse_args()
    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = str(args.module_dir.resolve())
    sizes = (20,) if args.quick else (100, 400)
    matrix = [(k, w, mb) for mb in sizes for w in ((12,) if args.quick else (12, 15)) for k in ("realistic", "distinct")]
    print(f"{'file':<22} {'mode':<5} {'korvant s':>9} {'/ bytes':>8} {'tavrel /':>9} {'npa /':>7} {'fwf /':>7} "
          f"{'1% / all':>9} {'peak MB':>8} {'limit MB':>9}")
    for kind, width, mb in matrix:
        plot = prepare(args.data, kind, width, mb, env)
        for mode in ("cold", "warm"):
            # read_fwf takes tens of seconds a call: cold, 100 MB files only.
            with_fwf = mb <= 100 and mode == "cold"
            readers = ["bytes", "korvant", "korvant1pc", "tavrel", "npa"] + (["fwf"] if with_fwf else [])
            runs = rounds(readers, mode, plot, args.repeat, env)
            k = runs["korvant"]
            seconds = statistics.median(r["seconds"] for r in k)
            peak = statistics.median(r["peak_rss_kib"] for r in k) / 1024
            limit = 1.1 * k[0]["values"] * 4 / 2**20 + 40
            fwf = f"{ratio(runs, 'fwf', 'korvant'):7.1f}" if "fwf" in runs else f"{'-':>7}"
            print(f"{plot.label:<22} {mode:<5} {seconds:9.3f} {ratio(runs, 'korvant', 'bytes'):8.2f} "
                  f"{ratio(runs, 'tavrel', 'korvant'):9.1f} {ratio(runs, 'npa', 'korvant'):7.1f} {fwf} "
                  f"{ratio(runs, 'korvant1pc', 'korvant'):9.2f} {peak:8.1f} {limit:9.1f}")
            sys.stdout.flush()
    plot = prepare(args.data, "realistic", 12, sizes[-1], env)
    one, two, single, split = read_many_scaling(plot.path, 12, env)
    print(f"\nread_many, 8 x {plot.label}: 1 thread {one:.3f} s, 2 threads {two:.3f} s, speed-up {one / two:.2f}")
    print(f"read, {plot.label}: threads=1 {single:.3f} s, threads=2 {split:.3f} s, speed-up {single / split:.2f}")
    print("columns: korvant seconds; korvant / bytes read; how many times faster korvant is than tavrel,")
    print("the numpy array reader and pandas read_fwf; 1% of the parameters / all; korvant peak RSS and")
    print("its limit (1.1 x the values' 4 bytes + 40 MB)")


if __name__ == "__main__":
    main()
