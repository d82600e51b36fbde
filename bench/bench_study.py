"""A parameter study: 30 plot files of 20 MB (1600 parameters), two of them
damaged, read as a study and checked against the targets.

    python3.14 bench/bench_study.py [--repeat 15] [--data DIR] [--module-dir DIR]

The runs (realistic, width 12, a seed each) are generated once into
DIR/study-1600 and reused.  Of the 30, run-07 is empty (a run that died
before writing) and run-19 has a field of asterisks (Fortran's overflow)
half-way through.  An untimed first pass brings the files into the page
cache; then each pair of ways takes turns, `--repeat` rounds, the two of a
pair in alternating order, and the ratio of a pair is the median of its
rounds' ratios (the lowest and highest are printed too: on a shared virtual
machine the rounds differ by much more than the targets' margins).

- `korvant.read_many(30 files, errors="skip")` against `read_many` of the
  28 good files alone, on as many threads as the machine has cores
  (target: at most 1.1);
- `korvant.open_study(30 files, errors="skip").max("time").compute()` on
  Dask's threaded scheduler against a plain loop of `korvant.read` that
  computes the same maxima, skipping the files that fail (target: 1.3);
- `read_many` of the 28 good files with ``params="TEMP-*"`` (200 names)
  against the same 200 names listed (target: 1.0: a pattern costs no more),
  and the selection alone, the one step where the two differ.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import time
import timeit
from collections.abc import Callable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import korvant_gen  # noqa: E402

FILES = 30
MEGABYTES = 20
PARAMS = 1600
WIDTH = 12
PERIOD = 400  # distinct blocks generated; the rest repeat them
EMPTY, OVERFLOW = 7, 19  # the damaged runs


def prepare(data: Path) -> list[Path]:
    """The study's files, generated once: good runs, then the damaged two
    made from copies of good ones."""
    folder = data / f"study-{PARAMS}"
    folder.mkdir(parents=True, exist_ok=True)
    block = 36 + PARAMS * WIDTH + (PARAMS + 9) // 10
    paths = [folder / f"run-{k:02d}.plt" for k in range(FILES)]
    for k, path in enumerate(paths):
        if path.exists():
            continue
        tmp = path.with_suffix(".tmp")
        if k == EMPTY:
            tmp.write_bytes(b"")
        else:
            korvant_gen.write_plot_file(tmp, PARAMS, MEGABYTES * 1_000_000 // block, WIDTH, seed=700 + k,
                                        period=PERIOD)
        if k == OVERFLOW:
            overflow(tmp)
        tmp.rename(path)
    return paths


def overflow(path: Path) -> None:
    """Writes asterisks over the first field of the data line that begins
    past the middle of the file, as Fortran writes a number too wide."""
    with open(path, "r+b") as f:
        f.seek(path.stat().st_size // 2)
        f.readline()
        while f.peek(6)[:6] == b" TIME ":  # a lead line: the next line is data
            f.readline()
        f.write(b"*" * WIDTH)


def rounds(pairs: list[tuple[str, Callable[[], object], Callable[[], object]]],
           repeat: int) -> list[tuple[str, float, float, list[float]]]:
    """(label, seconds, baseline seconds, each round's ratio) of each pair,
    the times medians of `repeat` rounds in which the ways take turns."""
    times: dict[str, list[tuple[float, float]]] = {label: [] for label, _, _ in pairs}
    for round_ in range(repeat):
        for label, way, baseline in pairs:
            pair = {}
            # Each goes first in every other round: a run that needs fresh
            # memory pays for it on this machine, whichever it is.
            for run in (way, baseline) if round_ % 2 == 0 else (baseline, way):
                started = time.perf_counter()
                run()
                pair[run] = time.perf_counter() - started
            times[label].append((pair[way], pair[baseline]))
    return [(label, statistics.median(a for a, _ in ts), statistics.median(b for _, b in ts),
             sorted(a / b for a, b in ts)) for label, ts in times.items()]


def same_maxima(loop: list, study: object) -> None:
    """Checks that the study's maxima are the loop's, and that the run
    whose values fail says why (the empty run is left out when opening)."""
    import numpy as np

    kept = [k for k in range(FILES) if k != EMPTY]
    for row, k in enumerate(kept):
        if loop[k] is None:
            assert study.error.values[row] and np.isnan(study.values[row]).all()  # type: ignore[attr-defined]
        else:
            assert np.array_equal(study.values[row], loop[k])  # type: ignore[attr-defined]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--data", type=Path, default=ROOT / "build" / "bench-data")
    parser.add_argument("--module-dir", type=Path, default=None, help="directory of the built korvant package")
    args = parser.parse_args()
    if args.module_dir:
        sys.path.insert(0, str(args.module_dir.resolve()))

    import warnings

    import dask
    import numpy as np

    import korvant

    # The run whose values fail is NaN in the study, and its maximum says so.
    warnings.filterwarnings("ignore", "All-NaN slice encountered", RuntimeWarning)

    paths = [str(p) for p in prepare(args.data)]
    good = [p for k, p in enumerate(paths) if k not in (EMPTY, OVERFLOW)]
    threads = os.cpu_count() or 1
    names = korvant.read_header(good[0])[1]
    temps = [name for name in names if name.startswith("TEMP-")]

    def loop_maxima() -> list:
        maxima = []
        for path in paths:
            try:
                maxima.append(np.nanmax(korvant.read(path).values, axis=0))
            except (OSError, ValueError):
                maxima.append(None)
        return maxima

    def study_maxima() -> object:
        with dask.config.set(scheduler="threads"):
            return korvant.open_study(paths, errors="skip").max("time").compute()

    for path in paths:  # the page cache
        with open(path, "rb") as f, open(os.devnull, "wb") as sink:
            shutil.copyfileobj(f, sink)
    skipped = korvant.read_many(paths, errors="skip", threads=threads)
    assert len(skipped) == FILES - 2 and [p for p, _ in skipped.failed] == [paths[EMPTY], paths[OVERFLOW]]
    same_maxima(loop_maxima(), study_maxima())

    pairs = [
        ("read_many(30, errors='skip') / read_many(28 good)",
         lambda: korvant.read_many(paths, errors="skip", threads=threads),
         lambda: korvant.read_many(good, threads=threads)),
        ("open_study(30).max('time'), threads / loop of read",
         study_maxima, loop_maxima),
        ("read_many(28, params='TEMP-*') / 200 names listed",
         lambda: korvant.read_many(good, params="TEMP-*", threads=threads),
         lambda: korvant.read_many(good, params=temps, threads=threads)),
    ]
    report(rounds(pairs, args.repeat), paths, threads, args.repeat)
    selection_alone(names, temps)


def selection_alone(names: list[str], listed: list[str]) -> None:
    """The selection alone, the one step where a pattern and its names
    listed differ, repeated enough to stand above the noise of the reads."""
    from korvant._select import _resolve, params_argument, resolve

    def each_way(resolver):
        return [min(timeit.repeat(lambda keys=params_argument(keys): resolver(keys, names, "run"), number=200,
                                  repeat=5)) / 200 for keys in ("TEMP-*", listed)]

    first, again = each_way(_resolve), each_way(resolve)
    print(f"resolving 'TEMP-*' among {len(names)} names: {first[0] * 1e6:.0f} us; the {len(listed)} names listed: "
          f"{first[1] * 1e6:.0f} us ({first[0] / first[1]:.2f}); for a further file with the same header "
          f"{again[0] * 1e6:.0f} us and {again[1] * 1e6:.0f} us ({again[0] / again[1]:.2f})")


def report(results: list[tuple[str, float, float, list[float]]], paths: list[str], threads: int,
           repeat: int) -> None:
    """The table of the pairs' times and ratios against their targets."""
    total = sum(os.path.getsize(p) for p in paths) / 1e6
    print(f"{FILES} files of {MEGABYTES} MB ({total:.0f} MB, {PARAMS} parameters), 2 damaged; {threads} cores; "
          f"median of {repeat} rounds")
    header = (f"{'way / baseline':<54} {'seconds':>8} {'baseline':>9} {'ratio':>6} {'rounds':>11} "
              f"{'target':>7}")
    print(header)
    print("-" * len(header))
    for (label, seconds, baseline, ratios), target in zip(results, [1.1, 1.3, 1.0]):
        ratio = statistics.median(ratios)
        verdict = "ok" if ratio <= target else "MISSED"
        print(f"{label:<54} {seconds:8.3f} {baseline:9.3f} {ratio:6.2f} {ratios[0]:5.2f}-{ratios[-1]:<5.2f} "
              f"{target:7.2f} {verdict}")
    print("ratio: the median of the rounds' ratios; rounds: the lowest and highest of them")

if __name__ == "__main__":
    main()
