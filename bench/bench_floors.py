"""korvant.read against the floors: the file's bytes, and the same values
read from .npy, HDF5 and Parquet.

    tools/with-env python3.14 bench/bench_floors.py --module-dir DIR [--quick] [--repeat 3]
        [--megabytes 100 400] [--widths 12 15]

For each realistic plot file (100 and 400 MB, widths 12 and 15; --quick: the
20 MB width-12 file) every reader runs in a fresh process, cold (its timed
call is the first of the process, bench/readers.py), the readers taking
turns for --repeat rounds:

  korvant    korvant.read, threads=1
  korvant2   korvant.read, threads=2
  korvant1pc korvant.read of 1% of the parameters
  bytes1m    the file's bytes through one page-aligned 1 MiB buffer reused
             for every read, the file opened unbuffered
  npy        np.load of the values (float32, (timesteps, parameters))
  h5         h5py: the values as one contiguous 2-D float32 dataset
  parquet    pyarrow.parquet.read_table: one float32 column per parameter,
             named, written with pyarrow's defaults

The .npy, .h5 and .parquet files are made once from the .f32 dump of the
values that bench/bench_read.py makes (tavrel's reading of the plot file) and
kept next to the plot files.  Before its rounds, every file is dropped from
the page cache and read back, so that all are cached alike.  Times are medians over the rounds; every ratio
is the median of the rounds' ratios, a run against the other reader's run of
the same round.  Then the targets are checked.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import korvant_gen  # noqa: E402
from bench_read import PARAMS, PlotFile, prepare, run_once  # noqa: E402

KORVANT = ["korvant", "korvant2", "korvant1pc"]
FLOORS = ["bytes1m", "npy", "h5", "parquet"]
WAYS = {"korvant": "threads=1", "korvant2": "threads=2", "korvant1pc": "1% of params"}
SUFFIXES = {"npy": ".npy", "h5": ".h5", "parquet": ".parquet"}
MIB = 2**20


@dataclass(frozen=True)
class Target:
    way: str
    floor: str
    limit: float

    @property
    def name(self) -> str:
        return f"{WAYS[self.way]} <= {self.limit:g} x {self.floor}"


TARGETS = [Target("korvant", "bytes1m", 4.0), Target("korvant2", "bytes1m", 2.5), Target("korvant2", "npy", 3.0)]
RSS_FACTOR, RSS_EXTRA_MIB = 1.1, 40


def rss_limit_mib(values: int) -> float:
    """Peak RSS allowed for a read that returns `values` float32 values."""
    return RSS_FACTOR * values * 4 / MIB + RSS_EXTRA_MIB


def load_values(raw: Path):
    """The values of the .f32 dump (int64 columns and rows, then each column's
    float32 values) as a (timesteps, parameters) array in column order, the
    layout korvant.read returns."""
    import numpy as np
    columns, rows = np.fromfile(raw, dtype=np.int64, count=2)
    values = np.fromfile(raw, dtype=np.float32, offset=16)
    return values.reshape(columns, rows).T


def floor_files(plot: PlotFile, env: dict) -> dict[str, Path]:
    """The .npy, .h5 and .parquet files of the plot file's values, made when
    missing, by a child process: this one, which starts every reader, keeps
    h5py, pyarrow and the values out of its memory."""
    paths = {reader: plot.path.with_suffix(suffix) for reader, suffix in SUFFIXES.items()}
    if not all(p.exists() for p in paths.values()):
        subprocess.run([sys.executable, __file__, "--write-floor-files", str(plot.path), str(plot.raw)],
                       check=True, env=env)
    return paths


def write_floor_files(path: Path, raw: Path) -> None:
    """Writes the missing floor files of the plot file at `path`, each under a
    temporary name, then renamed."""
    import h5py
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq
    values = load_values(raw)
    names = korvant_gen.parameter_names(PARAMS)
    assert values.shape[1] == len(names), (values.shape, len(names))
    for suffix in SUFFIXES.values():
        out = path.with_suffix(suffix)
        if out.exists():
            continue
        tmp = out.with_name(out.name + ".tmp")
        if suffix == ".npy":
            with open(tmp, "wb") as f:
                np.save(f, values)
        elif suffix == ".h5":
            with h5py.File(tmp, "w") as f:
                f.create_dataset("values", data=np.ascontiguousarray(values))
        else:
            table = pa.table({name: values[:, j] for j, name in enumerate(names)})
            pq.write_table(table, tmp)
        tmp.rename(out)


def into_page_cache(paths: list[Path]) -> None:
    """Puts each file in the page cache the same way: its cached pages
    dropped (this file's only), then read back from start to end.  How fast
    the kernel copies a cached file depends on how its pages were cached: a
    100 MB file read back by readahead copied in 8 ms, the same file as an
    earlier session had left it in 19 ms.  So every file, in every run, is
    cached as readahead caches it."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            os.fsync(fd)  # dirty pages are not dropped
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            while os.read(fd, 1 << 20):
                pass
        finally:
            os.close(fd)


def rounds(readers: list[str], plot: PlotFile, repeat: int, env: dict) -> dict[str, list[dict]]:
    runs: dict[str, list[dict]] = {r: [] for r in readers}
    for _ in range(repeat):
        for reader in readers:
            runs[reader].append(run_once(reader, "cold", plot, env))
    return runs


def median(runs: list[dict], key: str) -> float:
    return statistics.median(r[key] for r in runs)


def round_ratios(runs: dict[str, list[dict]], a: str, b: str) -> list[float]:
    """a's time against b's in the same round, for each round."""
    return [x["seconds"] / y["seconds"] for x, y in zip(runs[a], runs[b])]


def ratio(runs: dict[str, list[dict]], a: str, b: str) -> float:
    """The median of the rounds' ratios."""
    return statistics.median(round_ratios(runs, a, b))


def in_kernel(run: dict) -> bool:
    """Whether a korvant run spent more CPU time in the kernel than in user
    space, its threads summed.  Its own work is in user space (0.2 s for the
    400 MB width-12 file, against 0.07 s in the kernel); the outliers of this
    virtual machine, runs two to five times slower than their neighbours,
    are kernel time (in one, 1.5 s of 1.7)."""
    return run["sys_seconds"] > run["user_seconds"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the 20 MB width-12 file only")
    parser.add_argument("--megabytes", type=int, nargs="+", default=[100, 400], help="file sizes (default: 100 400)")
    parser.add_argument("--widths", type=int, nargs="+", default=[12, 15], help="field widths (default: 12 15)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built modules")
    parser.add_argument("--write-floor-files", nargs=2, type=Path, metavar=("PLOT", "RAW"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write_floor_files:
        write_floor_files(*args.write_floor_files)
        return
    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(args.module_dir.resolve()), env.get("PYTHONPATH")]))
    matrix = [(12, 20)] if args.quick else [(w, mb) for mb in args.megabytes for w in args.widths]

    results = []
    for width, mb in matrix:
        plot = prepare(args.data, "realistic", width, mb, env)
        files = floor_files(plot, env)
        into_page_cache([plot.path, *files.values()])
        runs = rounds(KORVANT + FLOORS, plot, args.repeat, env)
        values = runs["korvant"][0]["values"]
        for reader in ("korvant2", "npy", "h5", "parquet"):
            assert runs[reader][0]["values"] == values, (reader, runs[reader][0]["values"], values)
        results.append((plot, files, runs))

    print(f"median seconds, cold, {args.repeat} rounds (every reader in a fresh process):")
    print("| file | korvant.read (threads=1) | threads=2 | 1% of params | bytes through a reused 1 MiB buffer "
          "| np.load (.npy) | h5py, one 2-D dataset | pyarrow.parquet.read_table |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for plot, _, runs in results:
        cells = " | ".join(f"{median(runs[r], 'seconds'):.3f}" for r in KORVANT + FLOORS)
        print(f"| {plot.label} | {cells} |")
    print()
    print("files: " + "; ".join(
        f"{plot.label}: plot {plot.path.stat().st_size / 1e6:.0f} MB, byte floor "
        f"{plot.path.stat().st_size / 1e9 / median(runs['bytes1m'], 'seconds'):.1f} GB/s, "
        + ", ".join(f"{r} {p.stat().st_size / 1e6:.0f} MB" for r, p in files.items())
        for plot, files, runs in results))

    print()
    print("korvant against the floors (median of per-round ratios), its peak RSS (median) and the targets,")
    print("each with the ratio of every round:")
    print("| file | korvant | / bytes | / np.load | / h5py | / parquet | peak MB (limit) | targets |")
    print("|---|---|---:|---:|---:|---:|---:|---|")
    verdicts: dict[str, list[float]] = {}
    for plot, _, runs in results:
        for way in KORVANT:
            checks = []
            for target in TARGETS:
                if target.way == way:
                    r = ratio(runs, way, target.floor)
                    verdicts.setdefault(target.name, []).append(r)
                    each = ", ".join(f"{x:.2f}{'*' if in_kernel(run) else ''}"
                                     for x, run in zip(round_ratios(runs, way, target.floor), runs[way]))
                    checks.append(f"{'met' if r <= target.limit else 'MISS'} <= {target.limit:g} x {target.floor} "
                                  f"(rounds {each})")
            peak = median(runs[way], "peak_rss_kib") / 1024
            limit = rss_limit_mib(runs[way][0]["values"])
            verdicts.setdefault("peak RSS <= 1.1 x values + 40 MB", []).append(peak / limit)
            checks.append(f"RSS {'met' if peak <= limit else 'MISS'}")
            cells = " | ".join(f"{ratio(runs, way, floor):.2f}" for floor in FLOORS)
            print(f"| {plot.label} | {WAYS[way]} | {cells} | {peak:.1f} ({limit:.1f}) | {', '.join(checks)} |")
    print("* in that round, korvant's timed call spent more CPU time in the kernel than in user space")
    print()
    print("targets (worst ratio over the files; RSS as a share of its limit):")
    for name, ratios in verdicts.items():
        limit = 1.0 if name.startswith("peak") else next(t.limit for t in TARGETS if t.name == name)
        worst = max(ratios)
        print(f"  {'met ' if worst <= limit else 'MISS'}  {name}: worst {worst:.2f}")


if __name__ == "__main__":
    main()
