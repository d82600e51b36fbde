"""Many files through Dask, against the targets: plot files summed per
parameter with `korvant.dask` on the threaded scheduler and on a local
cluster of two worker processes, against two worker processes that each
read half the files with `korvant.read` (the floor: what two cores give
without Dask) and a plain loop.

    python3.14 bench/bench_dask.py [--files 8] [--megabytes 100] [--repeat 5]
        [--data DIR] [--module-dir DIR]

The files (realistic, width 12, 1500 parameters, a seed each) are generated
once into the data directory and reused, and so are 1,000 small files for
building collections.  An untimed first pass brings the files into the page
cache.  The ways then take turns, `--repeat` rounds; a way's ratio is the
median of its rounds' ratios to the floor's run in the same round (the
machine is shared: the rounds differ by more than the targets' margins).

- sums over every file: the loop, `korvant.read_many` on two threads
  (target: at least 0.95 of the floor's speed),
  `korvant.dask.read(...).sum(numeric_only=True)`
  and `korvant.dask.read_array(...).sum(axis=(0, 1))` on the threaded
  scheduler (target: at least 0.9 of the floor's speed) and on a local
  cluster of two processes (target: 0.8);
- one partition: the task that makes a file's frame (and a file's chunk),
  as a worker runs it, against `korvant.read` of the file (target: 1.15);
- peak memory of a partition and of a chunk computed alone, and of the
  threaded sums, each in a fresh process: at most 1.1 x the values the
  computation holds at once (a file's, or one per thread) plus 40 MB;
- building both collections over 1,000 small files: under 2 s, reading
  headers only (for `read_array`, the first file's timesteps counted
  without values); every native read on the client is counted.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from concurrent.futures import ProcessPoolExecutor
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
SMALL_FILES = 1000
SMALL_STEPS = 4
MB = 1 << 20

# Debian's Dask has no expression planner and says so, here and in each
# worker process; that is no news in a benchmark.
NOTICE = "Dask dataframe query planning is disabled"


def quiet() -> None:
    import warnings

    warnings.filterwarnings("ignore", NOTICE, FutureWarning)
    os.environ["PYTHONWARNINGS"] = ",".join(filter(None, [os.environ.get("PYTHONWARNINGS"),
                                                          f"ignore:{NOTICE}:FutureWarning"]))


def block_bytes(params: int) -> int:
    return 36 + params * WIDTH + (params + 9) // 10


def prepare(data: Path, files: int, megabytes: int) -> list[Path]:
    data.mkdir(parents=True, exist_ok=True)
    paths = []
    for k in range(files):
        path = data / f"study-w{WIDTH}-{megabytes}MB-{k:02d}.plt"
        if not path.exists():
            tmp = path.with_suffix(".tmp")
            korvant_gen.write_plot_file(tmp, PARAMS, megabytes * 1_000_000 // block_bytes(PARAMS), WIDTH,
                                        seed=500 + k, period=PERIOD)
            tmp.rename(path)
        paths.append(path)
    return paths


def prepare_small(data: Path) -> Path:
    """SMALL_FILES copies of one small file (1500 parameters, a few
    timesteps), in a folder of their own."""
    folder = data / f"dask-small-{SMALL_FILES}"
    if not (folder / "done").exists():
        folder.mkdir(parents=True, exist_ok=True)
        one = folder / "one.tmp"
        korvant_gen.write_plot_file(one, PARAMS, SMALL_STEPS, WIDTH, seed=900, period=SMALL_STEPS)
        content = one.read_bytes()
        one.unlink()
        for k in range(SMALL_FILES):
            (folder / f"run{k:04d}.plt").write_bytes(content)
        (folder / "done").write_text("")
    return folder


def half_sums(paths: list[str]) -> object:
    """A floor worker's part: its files read and summed per parameter."""
    import numpy as np

    import korvant

    sums = np.zeros(PARAMS)
    for path in paths:
        sums += korvant.read(path).values.sum(axis=0, dtype=np.float64)
    return sums


def verdict(met: bool) -> str:
    return "met " if met else "MISS"


# ---------------------------------------------------------------------------
# Peak memory, in a fresh process: the child imports what it needs, notes
# its resident size, runs one computation and reports its peak above that.

PEAK_CODE = r"""
import json, os, sys, warnings
warnings.filterwarnings("ignore", "Dask dataframe query planning is disabled", FutureWarning)
import korvant, korvant.dask
what, warm, paths = sys.argv[1], sys.argv[2], sys.argv[3:]

def run(paths):
    if what == "partition":
        return korvant.dask.read(paths).compute(scheduler="sync")
    if what == "chunk":
        return korvant.dask.read_array(paths).compute(scheduler="sync")
    if what == "frame sum":
        return korvant.dask.read(paths).sum(numeric_only=True).compute(scheduler="threads")
    return korvant.dask.read_array(paths).sum(axis=(0, 1)).compute(scheduler="threads")

run([warm] * len(paths))  # a small file's first run imports what the computation needs
with open("/proc/self/statm") as f:
    base = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
out = run(paths)
with open("/proc/self/status") as f:  # this process's own high-water mark (ru_maxrss counts the parent's)
    peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024
print(json.dumps({"grown": peak - base}))
"""


def peak_grown(what: str, warm: str, paths: list[str]) -> int:
    out = subprocess.run([sys.executable, "-c", PEAK_CODE, what, warm, *paths], check=True, capture_output=True,
                         text=True, env=os.environ)
    return json.loads(out.stdout)["grown"]


# ---------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--megabytes", type=int, default=100, help="size of each file")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built korvant package")
    args = parser.parse_args()

    if args.module_dir:
        module_dir = str(args.module_dir.resolve())
        sys.path.insert(0, module_dir)
        # The floor's and the cluster's worker processes import korvant too.
        os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")]))
    quiet()

    import dask
    import distributed
    import numpy as np

    import korvant
    import korvant.dask

    paths = [str(p) for p in prepare(args.data, args.files, args.megabytes)]
    small = prepare_small(args.data)
    total_mb = sum(os.path.getsize(p) for p in paths) / 1e6
    threads = dask.system.CPU_COUNT
    halves = [paths[k::2] for k in range(2)]

    def loop() -> object:
        return half_sums(paths)

    def many_threaded() -> object:
        sums = np.zeros(PARAMS)
        for plot in korvant.read_many(paths, threads=2):
            sums += plot.values.sum(axis=0, dtype=np.float64)
        return sums

    def frame_threaded() -> object:
        return korvant.dask.read(paths).sum(numeric_only=True).compute(scheduler="threads")

    def array_threaded() -> object:
        return korvant.dask.read_array(paths).sum(axis=(0, 1)).compute(scheduler="threads")

    expected = loop()  # and the page cache
    pool = ProcessPoolExecutor(2)
    started = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"})
    client = distributed.Client(cluster, set_as_default=False)
    client.wait_for_workers(2)
    startup = time.perf_counter() - started

    def floor() -> object:
        return sum(pool.map(half_sums, halves))

    def on_cluster(collection: Callable[[], object]) -> Callable[[], object]:
        def run() -> object:
            future = client.compute(collection())
            try:
                return future.result()
            finally:
                # The next round asks for the same keys: the cluster must
                # have forgotten this round's result by then.
                client.cancel(future)
        return run

    sums: list[tuple[str, float | None, Callable[[], object]]] = [
        ("two processes, half the files each", None, floor),
        ("loop of korvant.read", None, loop),
        ("read_many(threads=2)", 0.95, many_threaded),
        (f"read().sum(), threaded ({threads})", 0.9, frame_threaded),
        (f"read_array().sum(), threaded ({threads})", 0.9, array_threaded),
        ("read().sum(), 2-process cluster", 0.8, on_cluster(lambda: korvant.dask.read(paths).sum(numeric_only=True))),
        ("read_array().sum(), 2-process cluster", 0.8,
         on_cluster(lambda: korvant.dask.read_array(paths).sum(axis=(0, 1)))),
    ]
    try:
        for name, _, way in sums:  # each way's first run sets up what it reuses (imports, pools)
            got = np.asarray(way())[-PARAMS:]
            # float32 sums (pandas, Dask) against float64 ones
            if not np.allclose(got, expected, rtol=1e-3, equal_nan=True):
                raise SystemExit(f"{name}: not the loop's sums")
        times: list[list[float]] = [[] for _ in sums]
        for _ in range(args.repeat):
            for (_, _, way), runs in zip(sums, times):
                started = time.perf_counter()
                way()
                runs.append(time.perf_counter() - started)
    finally:
        client.close()
        cluster.close()
        pool.shutdown()

    print(f"{args.files} files of {args.megabytes} MB ({total_mb:.0f} MB), {os.cpu_count()} cores; "
          f"{args.repeat} rounds; cluster start {startup:.1f} s, not counted")
    print()
    header = f"{'sums of every parameter over the files':<44} {'seconds':>8} {'MB/s':>7} {'x floor':>8}  target"
    print(header)
    print("-" * len(header))
    for (name, target, _), runs in zip(sums, times):
        seconds = statistics.median(runs)
        speed = statistics.median(f / t for f, t in zip(times[0], runs))  # speed as a share of the floor's
        goal = "" if target is None else f"{verdict(speed >= target)} >= {target}"
        print(f"{name:<44} {seconds:8.3f} {total_mb / seconds:7.0f} {speed:8.2f}  {goal}")

    # One partition and one chunk, as a worker runs them, against korvant.read.
    one = paths[0]
    frame_task = task_of(korvant.dask.read([one]))
    chunk_task = task_of(korvant.dask.read_array([one]))
    parts: list[tuple[str, Callable[[], object], float | None]] = [
        ("korvant.read", lambda: korvant.read(one), None),
        ("the partition's task (its frame)", frame_task, 1.15),
        ("the chunk's task (its array)", chunk_task, 1.15),
        ("read([file]).compute(), sync scheduler", lambda: korvant.dask.read([one]).compute(scheduler="sync"),
         None),
        ("read([file]).sum(), sync scheduler", lambda: korvant.dask.read([one]).sum(numeric_only=True)
         .compute(scheduler="sync"), None),
        # What Dask does on the client before any task runs: with 1500
        # columns, its dataframe spends this on its description of them.
        ("  of it, building and graph, no task run", lambda: korvant.dask.read([one]).sum(numeric_only=True),
         None),
        ("read_array([file]).sum(), sync scheduler", lambda: korvant.dask.read_array([one]).sum(axis=(0, 1))
         .compute(scheduler="sync"), None),
        ("  of it, building and graph, no task run", lambda: korvant.dask.read_array([one]).sum(axis=(0, 1)),
         None),
    ]
    for _, way, _ in parts:
        way()
    ptimes: list[list[float]] = [[] for _ in parts]
    for _ in range(4 * args.repeat):
        for (_, way, _), runs in zip(parts, ptimes):
            started = time.perf_counter()
            way()
            runs.append(time.perf_counter() - started)
    print()
    header = f"{'one file of ' + str(args.megabytes) + ' MB':<44} {'seconds':>8} {'x read':>7}  target"
    print(header)
    print("-" * len(header))
    for (name, _, target), runs in zip(parts, ptimes):
        ratio = statistics.median(t / r for t, r in zip(runs, ptimes[0]))
        goal = "" if target is None else f"{verdict(ratio <= target)} <= {target}"
        print(f"{name:<44} {statistics.median(runs):8.3f} {ratio:7.2f}  {goal}")

    # Peak memory: what each computation holds at once is a file's values,
    # or, on the threaded scheduler, one file's per thread.
    values = korvant.read(one).values.nbytes
    print()
    header = f"{'peak memory, a fresh process':<44} {'MB':>8} {'limit':>7}  target"
    print(header)
    print("-" * len(header))
    for what, held, chosen in (("partition", 1, [one]), ("chunk", 1, [one]),
                               ("frame sum", min(threads, len(paths)), paths),
                               ("array sum", min(threads, len(paths)), paths)):
        grown = peak_grown(what, str(small / "run0000.plt"), chosen)
        limit = 1.1 * held * values + 40 * MB
        name = f"{what} ({held} x {values / MB:.0f} MB of values)"
        print(f"{name:<44} {grown / MB:8.0f} {limit / MB:7.0f}  {verdict(grown <= limit)} <= 1.1 x values + 40 MB")

    # Building over many small files: the time, and the native reads the
    # client makes (a read that gives values is a file read in full).
    pattern = str(small / "*.plt")
    native = korvant._native.read
    calls = {"values": 0, "count": 0, "header": 0}

    def counting(source, width, select, *rest):
        if select is None:
            calls["values"] += 1
            return native(source, width, select, *rest)

        def watched(names):
            try:
                chosen = select(names)
            except BaseException:  # a read of the header alone stops here
                calls["header"] += 1
                raise
            calls["values" if chosen else "count"] += 1
            return chosen

        return native(source, width, watched, *rest)

    print()
    header = (f"{f'building over {SMALL_FILES} small files':<44} {'seconds':>8} {'headers':>7} "
              f"{'counts':>6} {'full':>4}  target")
    print(header)
    print("-" * len(header))
    for name, build in (("korvant.dask.read", korvant.dask.read), ("korvant.dask.read_array",
                                                                   korvant.dask.read_array)):
        build(pattern)  # imports
        seconds = []
        for _ in range(3):
            calls.update(values=0, count=0, header=0)
            korvant._native.read = counting
            try:
                started = time.perf_counter()
                build(pattern)
                seconds.append(time.perf_counter() - started)
            finally:
                korvant._native.read = native
        best = statistics.median(seconds)
        met = best < 2 and calls["values"] == 0
        print(f"{name:<44} {best:8.3f} {calls['header']:7d} {calls['count']:6d} {calls['values']:4d}  "
              f"{verdict(met)} < 2 s, no full read")


def task_of(collection: object) -> Callable[[], object]:
    """The one task that reads the file of a one-file collection: the call
    a worker makes."""
    graph = dict(collection.__dask_graph__())
    tasks = [task for key, task in graph.items() if "korvant" in str(key)]
    (task,) = tasks
    return task if callable(task) else (lambda: task[0](*task[1:]))


if __name__ == "__main__":
    main()
