"""Many files through Dask: plot files summed with
`korvant.dask.read(paths).sum()` on the threaded scheduler and on a local
cluster of two worker processes, against a plain loop of `korvant.read` and
`korvant.read_many` on as many threads as the scheduler's.

    python3.14 bench/bench_dask.py [--files 16] [--megabytes 100] [--repeat 3]
        [--data DIR] [--module-dir DIR]

The files (realistic, width 12, 1500 parameters, a seed each) are generated
once into the data directory and reused.  An untimed first pass brings them
into the page cache.  The four ways then take turns, `--repeat` rounds, and
the median of each is printed with its speed-up over the loop and that
speed-up per core used: the figure of how well the work spreads.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The generator lives in tools/ or next to this script.
for folder in (ROOT / "bench", ROOT / "tools"):
    if (folder / "korvant_gen.py").exists():
        sys.path.insert(0, str(folder))
        break

import korvant_gen  # noqa: E402

PARAMS = 1500
WIDTH = 12
PERIOD = 400  # distinct blocks generated; larger files repeat them


def prepare(data: Path, files: int, megabytes: int) -> list[Path]:
    data.mkdir(parents=True, exist_ok=True)
    block = 36 + PARAMS * WIDTH + (PARAMS + 9) // 10
    paths = []
    for k in range(files):
        path = data / f"study-w{WIDTH}-{megabytes}MB-{k:02d}.plt"
        if not path.exists():
            tmp = path.with_suffix(".tmp")
            korvant_gen.write_plot_file(tmp, PARAMS, megabytes * 1_000_000 // block, WIDTH,
                                        seed=500 + k, period=PERIOD)
            tmp.rename(path)
        paths.append(path)
    return paths


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--megabytes", type=int, default=100, help="size of each file")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built korvant package")
    args = parser.parse_args()

    if args.module_dir:
        module_dir = str(args.module_dir.resolve())
        sys.path.insert(0, module_dir)
        # The cluster's worker processes import korvant too.
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))

    import warnings

    import dask
    import distributed
    import numpy as np

    import korvant
    import korvant.dask

    # Debian's Dask has no expression planner and says so, here and in each
    # worker process; that is no news in a benchmark.
    notice = "Dask dataframe query planning is disabled"
    warnings.filterwarnings("ignore", notice, FutureWarning)
    os.environ["PYTHONWARNINGS"] = ",".join(filter(None, [os.environ.get("PYTHONWARNINGS"),
                                                          f"ignore:{notice}:FutureWarning"]))

    paths = [str(p) for p in prepare(args.data, args.files, args.megabytes)]
    total_mb = sum(os.path.getsize(p) for p in paths) / 1e6

    def loop() -> object:
        sums = np.zeros(PARAMS)
        for path in paths:
            sums += korvant.read(path).values.sum(axis=0, dtype=np.float64)
        return sums

    def pooled() -> object:
        sums = np.zeros(PARAMS)
        for plot in korvant.read_many(paths, threads=threads):
            sums += plot.values.sum(axis=0, dtype=np.float64)
        return sums

    def threaded() -> object:
        return korvant.dask.read(paths).sum(numeric_only=True).compute(scheduler="threads")

    threads = dask.system.CPU_COUNT
    loop()  # the page cache
    started = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    client = distributed.Client(cluster, set_as_default=False)
    client.wait_for_workers(2)
    startup = time.perf_counter() - started

    def clustered() -> object:
        future = client.compute(korvant.dask.read(paths).sum(numeric_only=True))
        try:
            return future.result()
        finally:
            # The next round asks for the same keys: the cluster must have
            # forgotten this round's result by then, not hand it back.
            client.cancel(future)

    ways: list[tuple[str, int, Callable[[], object]]] = [
        ("loop of korvant.read", 1, loop),
        # The same threads without Dask: what the machine gives the reads.
        (f"korvant.read_many, {threads} threads", threads, pooled),
        (f"threaded scheduler, {threads} threads", threads, threaded),
        ("local cluster, 2 processes", 2, clustered),
    ]
    try:
        for name, _, way in ways[2:]:  # each way's first run sets up what it reuses (imports, pools)
            if len(way()) != PARAMS + 1:  # the time and every parameter
                raise SystemExit(f"{name}: not a sum per column")
        times: dict[str, list[float]] = {name: [] for name, _, _ in ways}
        for _ in range(args.repeat):
            for name, _, way in ways:
                started = time.perf_counter()
                way()
                times[name].append(time.perf_counter() - started)
    finally:
        client.close()
        cluster.close()

    print(f"{args.files} files of {args.megabytes} MB ({total_mb:.0f} MB), {os.cpu_count()} cores; "
          f"median of {args.repeat}; cluster start {startup:.1f} s, not counted")
    header = f"{'way':<34} {'seconds':>8} {'MB/s':>8} {'x loop':>7} {'x loop per core':>16}"
    print(header)
    print("-" * len(header))
    base = statistics.median(times[ways[0][0]])
    for name, cores, _ in ways:
        seconds = statistics.median(times[name])
        speedup = base / seconds
        print(f"{name:<34} {seconds:8.3f} {total_mb / seconds:8.1f} {speedup:7.2f} {speedup / cores:16.2f}")


if __name__ == "__main__":
    main()
