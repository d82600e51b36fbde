"""korvant.read of compressed files and file objects against the floors
that no such read avoids.

    tools/with-env python3.14 bench/bench_sources.py --module-dir DIR [--megabytes 100] [--repeat 3]

For one realistic file (cached under build/bench-data with its .gz and .zst
copies), each way runs in a fresh process, the ways taking turns for
--repeat rounds; every ratio is the median of per-round ratios:

- .zst: korvant.read against compression.zstd.open(path).read(), which only
  decompresses into bytes;
- .gz: korvant.read against gzip.open(path).read();
- a file object over the open local file against the plain path read;
- peak RSS of the compressed reads against the values plus 40 MB.
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from bench_read import prepare  # noqa: E402

WAYS = {
    "korvant path": "korvant.read(PATH)",
    "korvant file object": "korvant.read(open(PATH, 'rb'))",
    "korvant .gz": "korvant.read(PATH + '.gz')",
    "gzip.open().read()": "gzip.open(PATH + '.gz').read()",
    "korvant .zst": "korvant.read(PATH + '.zst')",
    "zstd.open().read()": "zstd.open(PATH + '.zst').read()",
}

CHILD = """
import gzip, json, resource, sys, time
from compression import zstd
import korvant
PATH = sys.argv[1]
start = time.perf_counter()
result = {way}
seconds = time.perf_counter() - start
values = result.values.nbytes if hasattr(result, "values") else 0
print(json.dumps({{"seconds": seconds, "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
                   "values": values}}))
"""


def compressed_copies(path: Path) -> None:
    from compression import zstd

    for suffix, compress in ((".gz", lambda d: gzip.compress(d, 6)), (".zst", lambda d: zstd.compress(d, 3))):
        target = Path(str(path) + suffix)
        if not target.exists():
            tmp = target.with_name(target.name + ".tmp")
            tmp.write_bytes(compress(path.read_bytes()))
            tmp.rename(target)


def run(way: str, path: Path, env: dict) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD.format(way=WAYS[way]), str(path)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", type=Path, required=True)
    parser.add_argument("--megabytes", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=str(args.module_dir.resolve()))
    plot = prepare(args.data, "realistic", 12, args.megabytes, env)
    compressed_copies(plot.path)
    runs: dict[str, list[dict]] = {way: [] for way in WAYS}
    for _ in range(args.repeat):
        for way in WAYS:
            runs[way].append(run(way, plot.path, env))

    def ratio(a: str, b: str) -> float:
        return statistics.median(x["seconds"] / y["seconds"] for x, y in zip(runs[a], runs[b]))

    print(f"{plot.label}, median of {args.repeat}:")
    for way, rs in runs.items():
        print(f"  {way:22} {statistics.median(r['seconds'] for r in rs):8.3f} s"
              f"  peak {statistics.median(r['peak_kib'] for r in rs) / 1024:7.1f} MiB")
    values = runs["korvant path"][0]["values"] / 2**20
    checks = [
        (".zst read / zstd decompress", ratio("korvant .zst", "zstd.open().read()"), 1.0),
        (".gz read / gzip decompress", ratio("korvant .gz", "gzip.open().read()"), 1.0),
        ("file object / path", ratio("korvant file object", "korvant path"), 1.3),
    ]
    for label, value, target in checks:
        print(f"  {label:30} {value:5.2f}  (target <= {target}: {'met' if value <= target else 'missed'})")
    for way in ("korvant .gz", "korvant .zst"):
        peak = statistics.median(r["peak_kib"] for r in runs[way]) / 1024
        base = statistics.median(r["peak_kib"] for r in runs["korvant path"]) / 1024
        print(f"  peak of {way}: {peak:.1f} MiB against {base:.1f} MiB for the path "
              f"(values {values:.1f} MiB; target <= {1.1 * values + 40:.1f} MiB above the interpreter)")


if __name__ == "__main__":
    main()
