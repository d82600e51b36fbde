"""The readers the benchmark times, one measurement per fresh process.

    python3.14 bench/readers.py READER MODE PLOT_FILE WIDTH [RAW_FILE]

READER is tavrel, python, numpy, bytes (reading the file's bytes), korvant,
korvant2 (korvant on two threads), korvant1pc (korvant with 1% of the
parameters), npa (the numpy reader returning arrays), fwf (pandas read_fwf),
objects (building the result from float32 arrays already in memory: the cost
of the Python objects every reader must create), or one of the floors of
bench/bench_floors.py: bytes1m (the file's bytes through one reused 1 MiB
buffer), npy (np.load), h5 (h5py) and parquet (pyarrow), the last three
reading the same values from the file of that suffix next to PLOT_FILE.  MODE is cold (the timed call is
the first of the process) or warm (one untimed call first).  Prints one JSON
line: seconds, values, peak RSS, minor page faults and the CPU time in user
space and in the kernel (of all threads) of the timed call, which includes
the young-generation collection of what the call made.

The list readers (tavrel, python, numpy, objects) return what tavrel
returns: a tuple of the first column and a list of the other columns, each a
list of Python floats; the others return a numpy array, a pyarrow table,
the file's bytes or, for bytes1m, how many bytes it read.
"""

from __future__ import annotations

import gc
import importlib
import json
import mmap
import os
import resource
import sys
import time
from array import array
from pathlib import Path


def read_tavrel(path: str, width: int, raw: str | None):
    import tavrel
    return tavrel.rust_read_korvant(path, width)


def read_python(path: str, width: int, raw: str | None):
    """A plain pure-Python reader of the format."""
    with open(path, encoding="utf-8") as f:
        n = int(f.readline().split()[-1])
        for _ in range(n):
            f.readline()
        columns = [[] for _ in range(n)]
        lines_per_block = (n + 9) // 10
        while f.readline():
            t = 0
            for _ in range(lines_per_block):
                line = f.readline()
                for k in range(min(10, n - t)):
                    columns[t].append(float(line[k * width:(k + 1) * width]))
                    t += 1
    return columns[0], columns[1:]


def read_numpy(path: str, width: int, raw: str | None):
    """numpy parses the fields (read_numpy_arrays); .tolist() builds the lists."""
    values = read_numpy_arrays(path, width, raw)
    columns = [values[:, j].tolist() for j in range(values.shape[1])]
    return columns[0], columns[1:]


def read_bytes(path: str, width: int, raw: str | None):
    with open(path, "rb") as f:
        return f.read()


class ObjectFloor:
    """float32 columns loaded untimed; the timed part makes the floats."""

    def __init__(self, raw: str):
        with open(raw, "rb") as f:
            n, rows = array("q", f.read(16))
            self.columns = []
            for _ in range(n):
                col = array("f")
                col.frombytes(f.read(4 * rows))
                self.columns.append(col)

    def __call__(self, path: str, width: int, raw: str | None):
        cols = self.columns
        return cols[0].tolist(), [c.tolist() for c in cols[1:]]


def read_korvant(path: str, width: int, raw: str | None):
    import korvant
    return korvant.read(path, width=width).values


def read_korvant_some(path: str, width: int, raw: str | None):
    """One parameter in a hundred."""
    import korvant
    n, _ = korvant.read_header(path)
    return korvant.read(path, width=width, params=list(range(0, n, 100))).values


def read_numpy_arrays(path: str, width: int, raw: str | None):
    """numpy parses the fixed-width fields with astype(np.float32): every data
    line padded to ten fields, so the fields form one fixed-width array that
    numpy converts in one call."""
    import numpy as np
    with open(path, "rb") as f:
        n = int(f.readline().split()[-1])
        for _ in range(n):
            f.readline()
        body = f.read()
    lines = body.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    per_block = 1 + (n + 9) // 10
    blocks = len(lines) // per_block
    row = 10 * width
    data = b"".join(line.ljust(row) for i, line in enumerate(lines[:blocks * per_block]) if i % per_block)
    return np.frombuffer(data, dtype=f"S{width}").reshape(blocks, -1)[:, :n].astype(np.float32)


def read_fwf(path: str, width: int, raw: str | None):
    """pandas read_fwf over the data lines: every line a row of ten fields,
    the rows of a block joined afterwards."""
    import io
    import pandas as pd
    with open(path, "rb") as f:
        n = int(f.readline().split()[-1])
        for _ in range(n):
            f.readline()
        body = f.read()
    per_block = 1 + (n + 9) // 10
    lines = body.split(b"\n")
    data = b"\n".join(line for i, line in enumerate(lines) if i % per_block and line)
    frame = pd.read_fwf(io.BytesIO(data), widths=[width] * 10, header=None, dtype="float32")
    values = frame.to_numpy().reshape(-1, (per_block - 1) * 10)[:, :n]
    return values


def read_korvant_two(path: str, width: int, raw: str | None):
    import korvant
    return korvant.read(path, width=width, threads=2).values


def read_bytes_reused(path: str, width: int, raw: str | None) -> int:
    """The file's bytes through one 1 MiB buffer reused for every read, the
    file opened unbuffered: what moving the file into the process costs, and
    nothing more.  The buffer is a private anonymous mapping (mmap's default,
    a shared one, is shared memory), so it starts on a page, as the file's
    pages do.  On this machine's processor the kernel's copy runs three to
    four times slower when the destination lies 1 to about 32 bytes past the
    source's place in its page; a malloc'd buffer (a bytearray) starts 16
    bytes past a page, so reading a file from its start into one is that
    slow case: a floor of the allocator, not of the reading."""
    buffer = mmap.mmap(-1, 1 << 20, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    view = memoryview(buffer)
    total = 0
    fd = os.open(path, os.O_RDONLY)
    try:
        while count := os.readv(fd, [view]):
            total += count
    finally:
        os.close(fd)
        view.release()
        buffer.close()
    return total


def read_npy(path: str, width: int, raw: str | None):
    import numpy as np
    return np.load(Path(path).with_suffix(".npy"))


def read_h5(path: str, width: int, raw: str | None):
    """The whole 2-D dataset into a numpy array."""
    import h5py
    with h5py.File(Path(path).with_suffix(".h5"), "r") as f:
        return f["values"][()]


def read_parquet(path: str, width: int, raw: str | None):
    """The whole table, pyarrow's defaults (its own threads included)."""
    import pyarrow.parquet as pq
    return pq.read_table(Path(path).with_suffix(".parquet"))


def count_values(result) -> int:
    """Values in a reader's result; bytes for the byte readers."""
    if isinstance(result, int):
        return result
    if isinstance(result, bytes):
        return len(result)
    if isinstance(result, tuple):
        return len(result[0]) * (1 + len(result[1]))
    if hasattr(result, "num_columns"):  # a pyarrow table
        return result.num_rows * result.num_columns
    return result.size


# The modules each reader imports before its timed call, as a script would.
# pyarrow.parquet.read_table imports pyarrow.dataset on its first call, which
# takes about 0.4 s here: a script's import, not the reading.
IMPORTS = {"numpy": ["numpy"], "tavrel": ["tavrel"], "korvant": ["korvant"], "korvant2": ["korvant"],
           "korvant1pc": ["korvant"], "npa": ["numpy", "pandas"], "fwf": ["numpy", "pandas"],
           "npy": ["numpy"], "h5": ["numpy", "h5py"], "parquet": ["pyarrow", "pyarrow.parquet", "pyarrow.dataset"]}

READERS = {"tavrel": read_tavrel, "python": read_python, "numpy": read_numpy, "bytes": read_bytes,
           "korvant": read_korvant, "korvant2": read_korvant_two, "korvant1pc": read_korvant_some,
           "npa": read_numpy_arrays, "fwf": read_fwf, "bytes1m": read_bytes_reused, "npy": read_npy,
           "h5": read_h5, "parquet": read_parquet}


def peak_rss_kib(usage: resource.struct_rusage) -> int:
    """The peak resident memory of this program, in KiB: VmHWM of
    /proc/self/status where there is one.  ru_maxrss counts the process this
    one was started from too, since Linux carries the high-water mark across
    fork and exec: a parent of 130 MB would make every reader's peak 130 MB."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return usage.ru_maxrss


def main() -> None:
    reader_name, mode, path, width = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    raw = sys.argv[5] if len(sys.argv) > 5 else None
    if reader_name == "objects":
        reader = ObjectFloor(raw)
    else:
        reader = READERS[reader_name]
        for module in IMPORTS.get(reader_name, []):
            importlib.import_module(module)
    if mode == "warm":
        result = reader(path, width, raw)
        del result
    # The result's lists are containers the cyclic collector traverses once
    # they are young garbage candidates: a cost every reader's result brings.
    # Where that collection falls depends on where the collector's counter
    # happens to stand, inside one reader's window and after another's.  So
    # every reader starts from counters at zero (untimed) and its window
    # ends with the young collection of what it made.
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = reader(path, width, raw)
    gc.collect(0)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({
        "seconds": seconds,
        "values": count_values(result),
        "peak_rss_kib": peak_rss_kib(after),
        "minor_faults": after.ru_minflt - before.ru_minflt,
        "user_seconds": after.ru_utime - before.ru_utime,
        "sys_seconds": after.ru_stime - before.ru_stime,
    }))


if __name__ == "__main__":
    main()
