"""Writes a Plot to CSV, Parquet, HDF5 or NumPy .npz, every float32 exactly.

    import korvant
    plot = korvant.read("run42.plt")
    korvant.export.write(plot, "run42.parquet")      # the format from the suffix
    plot.to_hdf5("run42.h5")                          # the same, by method

The layouts:

- CSV: a header row, then a row per timestep: the time first (when the file
  has one), then each parameter's value as the shortest text that reads back
  to the same float32 (``0.1``, ``1e-45``, ``-0.0``, ``inf``, and ``-nan``
  for a NaN whose sign bit is set).
- Parquet: a float64 column ``time`` (when there is one), then a float32
  column per parameter; the names as the file gives them, the parameter
  indices and the source path in the schema metadata (``korvant.names``,
  ``korvant.parameters``, ``korvant.source``).
- HDF5: one float32 dataset ``values`` (timesteps x parameters), chunked a
  column at a time so that one parameter reads fast, and beside it ``names``,
  ``parameters`` (each column's index in the file) and ``time``; attributes
  ``source``, ``width`` (when the plot has one), ``n_parameters`` and
  ``complete``.
- NumPy .npz: ``values``, ``names``, ``parameters`` and ``time``.
- A Parquet dataset of a study (`write_dataset`): a Parquet file per run,
  ``run=<name>/part-0.parquet``, each with the time and the same columns.

In CSV and Parquet a column name is made unique: a name that is repeated,
is ``time`` or holds ``/`` gets ``#`` and its column index (``/`` becomes
``_``).  Each output is written to a temporary file beside it and renamed
into place, so a failure (a full disk) never leaves a partial output under
the final name.  Parquet needs pyarrow and HDF5 needs h5py.
"""

from __future__ import annotations

import csv
import io
import json
import os
import urllib.parse
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from korvant._extras import need

if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence

    from korvant._plot import Plot

__all__ = ["FORMATS", "check_library", "format_of", "write", "write_dataset"]

#: Output format -> the file suffixes that select it, the usual one first.
FORMATS = {
    "csv": (".csv",),
    "parquet": (".parquet", ".pq"),
    "hdf5": (".h5", ".hdf5", ".hdf"),
    "npz": (".npz",),
}

#: The library each format needs beyond numpy: (module, purpose, pip extra).
LIBRARIES = {"parquet": ("pyarrow", "writing Parquet", "parquet"), "hdf5": ("h5py", "writing HDF5", "hdf5")}

#: Rows of an HDF5 chunk at most: a megabyte of one parameter's values.
HDF5_CHUNK_ROWS = 1 << 18

#: Values turned into CSV text at a time.
CSV_BLOCK_VALUES = 200_000


def format_of(path: str | os.PathLike[str]) -> str | None:
    """The format that `path`'s suffix selects, or None."""
    suffix = Path(path).suffix.lower()
    return next((name for name, suffixes in FORMATS.items() if suffix in suffixes), None)


def check_library(fmt: str) -> None:
    """Raises ImportError (naming what to install) when `fmt` needs a
    library that is not installed."""
    if fmt in LIBRARIES:
        need(*LIBRARIES[fmt])


def write(plot: Plot, path: str | os.PathLike[str], *, format: str | None = None) -> None:  # noqa: A002
    """Writes `plot` to `path` in `format` ("csv", "parquet", "hdf5" or
    "npz"; None: from the suffix of `path`), through a temporary file beside
    it, creating the folder when needed.

    Raises:
        ValueError: no format is given and the suffix selects none.
        ImportError: the format's library is not installed.
        OSError: from the file system.
    """
    fmt = format if format is not None else format_of(path)
    if fmt not in WRITERS:
        if format is not None:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        suffixes = ", ".join(s for v in FORMATS.values() for s in v)
        raise ValueError(f"cannot tell the format from {os.fspath(path)!r}: use a suffix ({suffixes}) or format=")
    check_library(fmt)
    _write_atomically(WRITERS[fmt], plot, Path(path))


def _write_atomically(writer: Callable[[Plot, Path], None], plot: Plot, out: Path) -> None:
    """Writes through a temporary file next to `out`, so that a failure
    never leaves a partial output under the final name."""
    out.parent.mkdir(parents=True, exist_ok=True)
    temporary = out.with_name(f".{out.name}.{os.getpid()}.part")
    try:
        writer(plot, temporary)
        os.replace(temporary, out)
    finally:
        if temporary.exists():
            temporary.unlink()


def float32_text(values: np.ndarray) -> list:
    """The shortest decimal text of each float32 value that reads back to the
    same float32 ('0.1', '1e-05', '-0.0', 'nan', '-nan', 'inf'), in lists
    shaped as `values`.  A NaN with its sign bit set is '-nan' (numpy writes
    'nan' for either), which float() reads back with the sign."""
    values = np.asarray(values, dtype=np.float32)
    texts = values.astype(str)
    texts[np.isnan(values) & np.signbit(values)] = "-nan"
    return texts.tolist()


def unique_keys(names: list[str], reserved: tuple[str, ...] = ()) -> list[str]:
    """A column name per parameter: its own name where that is unique, not
    reserved and free of '/', else the name with '/' made '_' and followed
    by '#index'.  A file may repeat a name, and Parquet readers cannot
    select a repeated column."""
    keys, seen = [], set(reserved)
    for index, name in enumerate(names):
        key = name.replace("/", "_")
        if key in ("", ".", "..") or key in seen or key != name:
            key = f"{key}#{index}"
            while key in seen:
                key += "#"
        seen.add(key)
        keys.append(key)
    return keys


def table_keys(plot: Plot) -> list[str]:
    """The column names of a table (CSV, Parquet) of the plot: "time" first
    when the file has a time, then the parameters' unique_keys beside it."""
    lead = ["time"] if plot.time is not None else []
    return lead + unique_keys(list(plot.names), tuple(lead))


def source_name(path: str) -> str | bytes:
    """The plot file's path as the Parquet and HDF5 outputs record it: its
    text, or for a name that is not UTF-8 (which has none) its bytes as the
    file system has them."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


def _csv(plot: Plot, out: Path) -> None:
    rows_per_block = max(1, CSV_BLOCK_VALUES // max(1, len(plot.names)))
    with open(out, "w", encoding="utf-8", newline="") as f:
        csv.writer(f, lineterminator="\n").writerow(table_keys(plot))
        for start in range(0, len(plot), rows_per_block):
            stop = min(start + rows_per_block, len(plot))
            texts = float32_text(plot.values[start:stop])
            if plot.time is not None:
                times = plot.time[start:stop].astype(str).tolist()
                texts = [[t, *row] for t, row in zip(times, texts)]
            f.write("".join(",".join(row) + "\n" for row in texts))


def _parquet_table(plot: Plot, time: np.ndarray | None) -> object:
    """The Arrow table of a plot: `time` (float64) first when given, then a
    float32 column per parameter."""
    pa = need("pyarrow", "writing Parquet", "parquet")

    def column(values: np.ndarray):
        # Over the array's own memory.  pa.array() would do the same but
        # first checks for a pandas object, which imports pandas (a quarter
        # of a second) when it is installed.
        values = np.ascontiguousarray(values)
        return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, pa.py_buffer(values)])

    arrays = [column(time)] if time is not None else []
    arrays += [column(plot.values[:, j]) for j in range(len(plot.names))]
    lead = ["time"] if time is not None else []
    # The names as the file gives them, for when a column had to be renamed.
    metadata = {"korvant.names": json.dumps(list(plot.names)),
                "korvant.parameters": json.dumps(list(plot.parameters)),
                "korvant.source": source_name(plot.path)}
    return pa.Table.from_arrays(arrays, names=lead + unique_keys(list(plot.names), tuple(lead)), metadata=metadata)


def _write_table(table: object, out: Path) -> None:
    import pyarrow.parquet as pq

    # No dictionary encoding: for float columns it rarely pays, and it takes
    # about twice the time of the rest of the write (snappy compression of
    # the plain values still shrinks zero and constant columns to little).
    # An open file: pyarrow takes a path for UTF-8 text, which a file name
    # need not be.
    with open(out, "wb") as f:
        pq.write_table(table, f, use_dictionary=False)


def _parquet(plot: Plot, out: Path) -> None:
    _write_table(_parquet_table(plot, plot.time), out)


def _dataset_part(plot: Plot, out: Path) -> None:
    """One run of a dataset: a time column always (NaN where the file has
    none), so that every part has the same columns."""
    _write_table(_parquet_table(plot, plot.time if plot.time is not None else np.full(len(plot), np.nan)), out)


def write_dataset(plots: Iterable[Plot], folder: str | os.PathLike[str], *,
                  runs: Sequence[str] | None = None) -> list[Path]:
    """Writes the plots of a study as one Parquet dataset partitioned by run
    (needs pyarrow), ``folder/run=<name>/part-0.parquet`` each (the name
    quoted as a URL's path segment), and returns the files written.

    `runs` names the plots (default: as open_study names runs).  Each part
    holds `time` (float64, NaN for a file without one) and a float32 column
    per parameter, named as in Parquet files; every plot must have the
    first's names, as a study read with `params` gives them (read_many finds
    them by name in each file).  ``pd.read_parquet(folder)`` and
    ``pyarrow.dataset.dataset(folder, partitioning="hive")`` read the whole
    with a `run` column (an integer one where every run is named by digits).
    Each part is written through a temporary file; a run's part already in
    `folder` is replaced, other runs' are kept.
    """
    from korvant._study import run_names

    plots = list(plots)
    names = list(runs) if runs is not None else run_names([plot.path for plot in plots])
    check_library("parquet")
    written = []
    for plot, run in zip(plots, names, strict=True):
        if plot.names != plots[0].names:
            raise ValueError(f"{plot.path} has other parameters than {plots[0].path}: the runs of a dataset need "
                             "the same (read with params=, which finds them by name in each file)")
        out = Path(folder) / f"run={urllib.parse.quote(run, safe='')}" / "part-0.parquet"
        _write_atomically(_dataset_part, plot, out)
        written.append(out)
    return written


def _hdf5(plot: Plot, out: Path) -> None:
    h5py = need("h5py", "writing HDF5", "hdf5")
    # HDF5 builds the file in memory, and the file is written from there in
    # one piece: HDF5 told that a write of its own failed (a full disk, a
    # file size limit) aborts the process from an assertion while closing
    # the file, and goes wrong when it reads back what it could not write.
    # The cost is a second copy of the values in memory while writing.
    image = io.BytesIO()
    with h5py.File(image, "w") as f:
        f.attrs["source"] = source_name(plot.path)
        # A file without timesteps has no width (None, which HDF5 cannot
        # store): the attribute is then left out.
        if plot.width is not None:
            f.attrs["width"] = plot.width
        f.attrs["n_parameters"] = plot.n_parameters
        f.attrs["complete"] = bool(plot.complete)
        f.create_dataset("names", data=list(plot.names), dtype=h5py.string_dtype())
        f.create_dataset("parameters", data=np.asarray(plot.parameters, dtype=np.int64))
        if plot.time is not None:
            f.create_dataset("time", data=plot.time)
        rows, columns = plot.values.shape
        # A chunk holds one parameter's values (or a megabyte of them), so
        # reading a parameter reads its chunks alone; each column, contiguous
        # in the plot's values, is written into its chunks as it stands.
        chunks = (min(rows, HDF5_CHUNK_ROWS), 1) if rows and columns else None
        values = f.create_dataset("values", shape=(rows, columns), dtype=np.float32, chunks=chunks)
        for j in range(columns if rows else 0):
            values[:, j] = plot.values[:, j]
    with open(out, "wb") as file, image.getbuffer() as view:
        file.write(view)


def _npz(plot: Plot, out: Path) -> None:
    arrays = {
        "values": plot.values,
        "names": np.array(plot.names, dtype=str),
        "parameters": np.asarray(plot.parameters, dtype=np.int64),
    }
    if plot.time is not None:
        arrays["time"] = plot.time
    # An open file, so that numpy does not add its own suffix to the name.
    with open(out, "wb") as f:
        np.savez(f, **arrays)


WRITERS: dict[str, Callable[[Plot, Path], None]] = {"csv": _csv, "parquet": _parquet, "hdf5": _hdf5, "npz": _npz}
