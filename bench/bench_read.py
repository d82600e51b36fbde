"""The read benchmark: tavrel against the readers a user would use instead,
and against the two costs no reader avoids.

    python3.14 bench/bench_read.py [--quick] [--repeat 3] [--data DIR]

Plot files are generated once (seeded, bench/korvant_gen.py) into the data
directory and reused.  Each measurement runs in a fresh process
(bench/readers.py): "cold" times the first call of the process, "warm" times
a second call after an untimed first one.  The median of the repeats is
printed with MB/s of file, ns per value, peak RSS, minor page faults, and the
ratio to the object-creation floor of the same file and mode (the median of
the ratios of runs taken side by side).  Then the targets are checked, each
as a ratio measured in this run.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import korvant_gen  # noqa: E402

PARAMS = 1500
PERIOD = 400  # distinct blocks generated; larger files repeat them


@dataclass(frozen=True)
class PlotFile:
    kind: str  # realistic or distinct
    width: int
    megabytes: int
    path: Path
    raw: Path  # the values as float32, for the object-creation floor

    @property
    def label(self) -> str:
        return f"{self.kind} w{self.width} {self.megabytes}MB"


def block_bytes(width: int) -> int:
    lines = (PARAMS + 9) // 10
    return 36 + PARAMS * width + lines


def prepare(data: Path, kind: str, width: int, megabytes: int, env: dict) -> PlotFile:
    data.mkdir(parents=True, exist_ok=True)
    path = data / f"{kind}-w{width}-{megabytes}MB.plt"
    raw = path.with_suffix(".f32")
    if not path.exists():
        blocks = megabytes * 1_000_000 // block_bytes(width)
        tmp = path.with_suffix(".tmp")
        korvant_gen.write_plot_file(tmp, PARAMS, blocks, width, kind == "distinct",
                                    seed=width * 100 + (kind == "distinct"), period=PERIOD)
        tmp.rename(path)
    if not raw.exists():
        dump = (
            "import sys, tavrel; from array import array\n"
            "first, others = tavrel.rust_read_korvant(sys.argv[1], int(sys.argv[2]))\n"
            "cols = [first, *others]\n"
            "with open(sys.argv[3], 'wb') as f:\n"
            "    f.write(array('q', [len(cols), len(first)]).tobytes())\n"
            "    for c in cols: f.write(array('f', c).tobytes())\n"
        )
        subprocess.run([sys.executable, "-c", dump, str(path), str(width), str(raw)], check=True, env=env)
    return PlotFile(kind, width, megabytes, path, raw)


def run_once(reader: str, mode: str, plot: PlotFile, env: dict) -> dict:
    out = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "readers.py"), reader, mode, str(plot.path),
         str(plot.width), str(plot.raw)],
        check=True, capture_output=True, text=True, env=env)
    return json.loads(out.stdout)


def measure(readers: list[str], mode: str, plot: PlotFile, repeat: int, env: dict) -> dict[str, dict]:
    """Median of `repeat` runs per reader, the readers taking turns so that
    a change in the machine's load falls on all of them alike.  The ratio to
    the floor is the median of each round's ratio: a reader's run against
    the floor's run next to it, under the same load."""
    runs: dict[str, list[dict]] = {r: [] for r in readers}
    for _ in range(repeat):
        for reader in readers:
            runs[reader].append(run_once(reader, mode, plot, env))
    result = {}
    for reader, rs in runs.items():
        med = {key: statistics.median(r[key] for r in rs) for key in ("seconds", "peak_rss_kib", "minor_faults")}
        med["values"] = rs[0]["values"]
        med["ratio"] = statistics.median(r["seconds"] / f["seconds"] for r, f in zip(rs, runs["objects"]))
        result[reader] = med
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one 20 MB file per kind, width 12 (under a minute)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built tavrel module")
    args = parser.parse_args()

    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = str(args.module_dir.resolve())
    if args.quick:
        matrix = [(k, 12, 20) for k in ("realistic", "distinct")]
    else:
        matrix = [(k, w, mb) for mb in (20, 100, 400) for w in (12, 15) for k in ("realistic", "distinct")]

    rows = []
    header = (f"{'file':<22} {'mode':<5} {'reader':<7} {'seconds':>8} {'MB/s':>8} {'ns/value':>9} "
              f"{'peak MB':>8} {'faults':>9} {'x floor':>8}")
    print(header)
    print("-" * len(header))
    for kind, width, mb in matrix:
        plot = prepare(args.data, kind, width, mb, env)
        size = plot.path.stat().st_size
        for mode in ("cold", "warm"):
            readers = ["bytes", "objects", "tavrel", "numpy"] + (["python"] if mb <= 20 else [])
            results = measure(readers, mode, plot, args.repeat, env)
            floor = results["objects"]
            for reader, m in results.items():
                values = floor["values"]
                row = dict(file=plot.label, kind=kind, width=width, mb=mb, mode=mode, reader=reader, **m,
                           rss_ratio=m["peak_rss_kib"] / floor["peak_rss_kib"])
                rows.append(row)
                print(f"{plot.label:<22} {mode:<5} {reader:<7} {m['seconds']:8.3f} {size / 1e6 / m['seconds']:8.1f} "
                      f"{m['seconds'] * 1e9 / values:9.2f} {m['peak_rss_kib'] / 1024:8.1f} "
                      f"{m['minor_faults']:9.0f} {row['ratio']:8.2f}")
            sys.stdout.flush()

    print()
    check_targets(rows)


def check_targets(rows: list[dict]) -> None:
    def ours(**where):
        return [r for r in rows if r["reader"] == "tavrel" and all(r[k] == v for k, v in where.items())]

    targets = [
        ("cold, realistic, 100 and 400 MB: time <= 0.85 x floor",
         [r["ratio"] for r in ours(mode="cold", kind="realistic") if r["mb"] >= 100], 0.85),
        ("cold, distinct: time <= 1.15 x floor", [r["ratio"] for r in ours(mode="cold", kind="distinct")], 1.15),
        ("warm, all files: time <= 1.6 x floor", [r["ratio"] for r in ours(mode="warm")], 1.6),
        ("distinct: peak RSS <= 1.05 x floor", [r["rss_ratio"] for r in ours(kind="distinct")], 1.05),
        ("realistic: peak RSS <= 0.8 x floor", [r["rss_ratio"] for r in ours(kind="realistic")], 0.8),
    ]
    print("targets (worst ratio measured in this run):")
    for name, ratios, limit in targets:
        if not ratios:
            continue
        worst = max(ratios)
        print(f"  {'met ' if worst <= limit else 'MISS'}  {name}: worst {worst:.2f}")


if __name__ == "__main__":
    main()
