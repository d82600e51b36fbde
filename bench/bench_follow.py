"""The follow benchmark: what a poll of korvant.follow costs, and what a long
follow holds in memory.

    python3.14 bench/bench_follow.py [--module-dir DIR] [--data DIR] [--polls N]

Two plot files of 1,600 parameters, width 12, one of 4 MB and one of 400 MB,
are generated once (seeded, bench/korvant_gen.py) into the data directory.
Each measurement runs in a fresh process:

- poll: a working copy of each file less its last timesteps is followed and
  caught up (untimed); then, in rounds, one timestep is appended to each
  copy and the next poll, which finds it, is timed.  The two files take
  turns, so that a change in the machine's load falls on both alike.
- catch-up: the 400 MB file is followed from nothing, in one poll; its time
  and the growth of the resident memory against the rows it keeps.
- long follow: a file grows by one timestep per poll, for thousands of polls;
  the resident memory's growth over them, against the rows kept (all
  parameters kept), and with keep=False, where nothing should grow.
- the loop the follower replaces: korvant.read(partial=True) of the 400 MB
  file, once per update.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

PARAMS = 1600
WIDTH = 12
PERIOD = 400  # distinct timesteps generated; larger files repeat them


def block_bytes() -> int:
    # A lead line of 36 bytes, then 160 data lines of 10 fields and a line feed.
    return 36 + PARAMS * WIDTH + (PARAMS + 9) // 10


def prepare(data: Path, megabytes: int) -> Path:
    import korvant_gen

    data.mkdir(parents=True, exist_ok=True)
    path = data / f"follow-w{WIDTH}-{megabytes}MB.plt"
    if not path.exists():
        tmp = path.with_suffix(".tmp")
        korvant_gen.write_plot_file(tmp, PARAMS, megabytes * 1_000_000 // block_bytes(), WIDTH,
                                    seed=1600 + megabytes, period=PERIOD)
        tmp.rename(path)
    return path


# ------------------------------------------------------------- in a child

def layout(path: Path) -> tuple[int, int, int]:
    """The header's length, a timestep's length and the timestep count of a
    generated file (its timesteps are all alike in length)."""
    with open(path, "rb") as f:
        head = f.read(1 << 20)
    end = 0
    for _ in range(PARAMS + 1):
        end = head.index(b"\n", end) + 1
    step = end
    for _ in range(1 + (PARAMS + 9) // 10):
        step = head.index(b"\n", step) + 1
    size = path.stat().st_size
    assert (size - end) % (step - end) == 0
    return end, step - end, (size - end) // (step - end)


def working_copy(source: Path, target: Path, held_back: int) -> list[bytes]:
    """Copies `source` less its last `held_back` timesteps to `target`;
    returns those timesteps."""
    header, step, count = layout(source)
    keep = header + (count - held_back) * step
    with open(source, "rb") as src, open(target, "wb") as dst:
        offset = 0
        while offset < keep:
            offset += os.sendfile(dst.fileno(), src.fileno(), offset, keep - offset)
        src.seek(keep)
        return [src.read(step) for _ in range(held_back)]


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def child_poll(files: list[Path], polls: int, work: Path) -> dict:
    import korvant

    copies, steps, followers = [], [], []
    for i, source in enumerate(files):
        copy = work / f"follow-work-{i}.plt"
        steps.append(working_copy(source, copy, polls))
        copies.append(copy)
        follower = korvant.follow(copy)
        follower.poll()
        followers.append(follower)
    times: list[list[float]] = [[] for _ in files]
    descriptors = [os.open(copy, os.O_WRONLY | os.O_APPEND) for copy in copies]
    try:
        for round_ in range(polls):
            for i, follower in enumerate(followers):
                os.write(descriptors[i], steps[i][round_])
                start = time.perf_counter()
                plot = follower.poll()
                times[i].append(time.perf_counter() - start)
                assert plot is not None and len(plot) == 1
    finally:
        for fd in descriptors:
            os.close(fd)
        for copy in copies:
            copy.unlink()
    return {"times": times, "sizes": [source.stat().st_size for source in files]}


def child_catch_up(source: Path) -> dict:
    import korvant

    before = resident()
    start = time.perf_counter()
    follower = korvant.follow(source)
    plot = follower.poll()
    seconds = time.perf_counter() - start
    kept = follower.timesteps * PARAMS * 4
    del plot  # the caller's copy; the follower's rows stay
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    return {"seconds": seconds, "rows": follower.timesteps, "kept": kept,
            "peak_growth": peak - before, "after_growth": resident() - before}


def child_long(source: Path, polls: int, keep: bool, work: Path) -> dict:
    import korvant

    copy = work / "follow-long.plt"
    header, step, _ = layout(source)
    with open(source, "rb") as f:
        head = f.read(header)
        block = f.read(step)
    copy.write_bytes(head)
    fd = os.open(copy, os.O_WRONLY | os.O_APPEND)
    follower = korvant.follow(copy, keep=keep)
    # The kept rows are joined every PARTS_PER_BLOCK polls: the samples are
    # taken right after such joins, so that both hold whole blocks alone.
    every = importlib.import_module("korvant.follow").PARTS_PER_BLOCK
    marks = (polls // 10 // every * every, polls // every * every)
    samples = []
    try:
        for i in range(1, marks[1] + 1):
            os.write(fd, block)
            plot = follower.poll()
            assert plot is not None and len(plot) == 1
            del plot
            if i in marks:
                samples.append((i, resident()))
    finally:
        os.close(fd)
        copy.unlink()
    (first_polls, first), (last_polls, last) = samples
    row = PARAMS * 4
    return {"growth": last - first, "rows": last_polls - first_polls, "row_bytes": row}


def child_read(source: Path) -> dict:
    import korvant

    korvant.read(source, partial=True)  # the first of a loop of updates
    start = time.perf_counter()
    korvant.read(source, partial=True)
    return {"seconds": time.perf_counter() - start}


# ------------------------------------------------------------- the driver

def run_child(args: list[str], env: dict) -> dict:
    out = subprocess.run([sys.executable, __file__, "--child", *args], check=True, capture_output=True,
                         text=True, env=env)
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built korvant package")
    parser.add_argument("--polls", type=int, default=60, help="timed polls per file")
    parser.add_argument("--long", type=int, default=4000, help="polls of the long follow")
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        kind, *rest = args.child
        if kind == "poll":
            result = child_poll([Path(rest[0]), Path(rest[1])], int(rest[2]), Path(rest[3]))
        elif kind == "catch-up":
            result = child_catch_up(Path(rest[0]))
        elif kind == "long":
            result = child_long(Path(rest[0]), int(rest[1]), rest[2] == "keep", Path(rest[3]))
        else:
            result = child_read(Path(rest[0]))
        print(json.dumps(result))
        return

    env = dict(os.environ)
    if args.module_dir:
        env["PYTHONPATH"] = str(args.module_dir.resolve())
    small, large = prepare(args.data, 4), prepare(args.data, 400)
    work = args.data / "follow-work"
    work.mkdir(exist_ok=True)
    try:
        report(args, env, small, large, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(args: argparse.Namespace, env: dict, small: Path, large: Path, work: Path) -> None:
    polls = run_child(["poll", str(small), str(large), str(args.polls), str(work)], env)
    (small_times, large_times), sizes = polls["times"], polls["sizes"]
    ms = {name: [t * 1e3 for t in times] for name, times in (("4 MB", small_times), ("400 MB", large_times))}
    print(f"a poll that finds one new timestep ({PARAMS} parameters, width {WIDTH}; {args.polls} polls each, "
          "the files taking turns):")
    print(f"  {'file':<8} {'bytes':>13} {'median ms':>10} {'p90 ms':>8} {'max ms':>8}")
    for (name, times), size in zip(ms.items(), sizes):
        ordered = sorted(times)
        print(f"  {name:<8} {size:>13,} {statistics.median(times):10.3f} "
              f"{ordered[int(0.9 * (len(ordered) - 1))]:8.3f} {max(times):8.3f}")
    ratio = statistics.median(b / a for a, b in zip(small_times, large_times))
    print(f"  400 MB / 4 MB, median of the rounds' ratios: {ratio:.2f}")

    read = run_child(["read", str(large)], env)
    print(f"  for comparison, korvant.read(partial=True) of the 400 MB file: {read['seconds'] * 1e3:.0f} ms")

    catch = run_child(["catch-up", str(large)], env)
    print()
    print("catching up the 400 MB file in one poll:")
    print(f"  {catch['seconds']:.2f} s for {catch['rows']:,} timesteps; rows kept {catch['kept'] / 1e6:.1f} MB, "
          f"resident memory after {catch['after_growth'] / 1e6:.1f} MB more than before, "
          f"at its peak {catch['peak_growth'] / 1e6:.1f} MB more")

    print()
    print(f"a long follow of the 4 MB file's timesteps, one per poll, for {args.long:,} polls: "
          "growth of the resident memory")
    growth = {}
    for keep in ("keep", "nokeep"):
        long = run_child(["long", str(small), str(args.long), keep, str(work)], env)
        growth[keep] = long
        kept = long["rows"] * long["row_bytes"]
        what = "keep=True " if keep == "keep" else "keep=False"
        print(f"  {what}: {long['growth'] / 1e6:6.2f} MB over {long['rows']:,} polls; "
              f"the rows kept are {kept / 1e6 if keep == 'keep' else 0:.2f} MB of values")

    print()
    print("targets:")
    median_large = statistics.median(ms["400 MB"])
    kept_ratio = growth["keep"]["growth"] / (growth["keep"]["rows"] * growth["keep"]["row_bytes"])
    checks = [
        ("a poll finding one timestep in the 400 MB file: median <= 2 ms", median_large <= 2.0,
         f"{median_large:.3f} ms"),
        ("the same poll <= 1.2 x the poll of the 4 MB file", ratio <= 1.2, f"{ratio:.2f}"),
        ("long follow, keep=True: growth <= 1.2 x the values kept", kept_ratio <= 1.2, f"{kept_ratio:.2f}"),
        ("long follow, keep=False: growth <= 1 MB", growth["nokeep"]["growth"] <= 1e6,
         f"{growth['nokeep']['growth'] / 1e6:.2f} MB"),
    ]
    for name, met, value in checks:
        print(f"  {'met ' if met else 'MISS'}  {name}: {value}")


if __name__ == "__main__":
    main()
