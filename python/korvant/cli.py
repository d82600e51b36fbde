"""The `korvant` command: look at, convert and plot KORVANT plot files.

    korvant info FILE...                 what each file holds
    korvant show FILE [PARAM...]         first and last timesteps, min, max, mean
    korvant convert FILE... -o OUT       to CSV, Parquet, HDF5 or NumPy .npz
    korvant plot FILE PARAM... -o OUT    one panel per parameter over time

A FILE may also be a folder (its *.plt files) or a quoted glob pattern.
Several files are read in parallel, with a progress bar when standard error
is a terminal.  Exit status: 0 when every file was handled, 1 when some file
could not be read or written (one line per such file on standard error; the
other files are still handled), 2 on a usage error.

The optional libraries (pyarrow, h5py, matplotlib, tqdm) are imported only by
the work that needs them, so `info` and `show` run on numpy alone.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import csv
import glob
import importlib
import io
import json
import os
import shutil
import sys
import threading
from pathlib import Path

import numpy as np

import korvant

PROG = "korvant"

# Output format -> file suffixes that select it.
FORMATS = {
    "csv": (".csv",),
    "parquet": (".parquet", ".pq"),
    "hdf5": (".h5", ".hdf5", ".hdf"),
    "npz": (".npz",),
}


class FileFailure(Exception):
    """A file that cannot be handled; reported as one line, the others go on."""


class MissingLibrary(Exception):
    """An optional library the requested work needs is not installed."""


def need(module: str, purpose: str, extra: str):
    """Imports `module`, or raises MissingLibrary naming what to install."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingLibrary(
            f"{purpose} needs {module}: install the Debian package python3-{module} "
            f"or `pip install {distribution_name()}[{extra}]`") from None


def distribution_name() -> str:
    """The name of the distribution that installed this package, for pip."""
    try:
        from importlib.metadata import packages_distributions
        return packages_distributions().get("korvant", ["tavrel"])[0]
    except Exception:
        return "tavrel"


def one_line(text: str) -> str:
    return " ".join(part.strip() for part in str(text).splitlines() if part.strip())


def describe(path: str, error: BaseException) -> str:
    """One line naming the file and what went wrong with it."""
    if isinstance(error, OSError) and error.strerror:
        return f"{path}: {error.strerror}"
    if isinstance(error, MemoryError):
        return f"{path}: not enough memory"
    if isinstance(error, KeyError) and error.args:
        text = str(error.args[0])
    else:
        text = str(error) or type(error).__name__
    text = one_line(text)
    # PlotFileError messages already start with the path.
    return text if text.startswith(path) else f"{path}: {text}"


# Failures that belong to one file: what the reader raises for a damaged,
# missing or unreadable file, and what the writers raise for a bad output
# (pyarrow's and h5py's errors derive from these too).
FILE_ERRORS = (OSError, ValueError, LookupError, MemoryError, FileFailure)


def report(line: str, progress: Progress | None = None) -> None:
    line = f"{PROG}: {line}"
    if progress is not None:
        progress.write(line, sys.stderr)
    else:
        print(line, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- inputs

def expand_inputs(args: list[str]) -> tuple[list[str], bool]:
    """The plot files named by the arguments, and whether any argument was a
    folder or a pattern (which makes a batch even when it finds one file).
    A folder stands for its *.plt files; an argument that is not an existing
    path but holds a glob pattern stands for what the pattern matches.  Names
    that match nothing are kept, so that reading them reports the error."""
    paths, batch = [], False
    for arg in args:
        if os.path.isdir(arg):
            batch = True
            found = sorted(str(p) for p in Path(arg).glob("*.plt") if p.is_file())
            paths.extend(found or [arg])
        elif not os.path.exists(arg) and glob.has_magic(arg):
            batch = True
            paths.extend(sorted(glob.glob(arg)) or [arg])
        else:
            paths.append(arg)
    return paths, batch


def resolve_params(path: str, wanted: list[str], names: list[str]) -> list[int]:
    """Parameter indices for the names or indices given on the command line.
    A word is a name when the file has a parameter of that name, otherwise a
    decimal word is an index (from 0, as `korvant info --names` lists them)."""
    where: dict[str, list[int]] = {}
    for index, name in enumerate(names):
        where.setdefault(name, []).append(index)
    indices = []
    for word in wanted:
        hits = where.get(word, [])
        if len(hits) == 1:
            indices.append(hits[0])
        elif hits:
            raise FileFailure(f"{path}: the name {word!r} is shared by parameters "
                              f"{', '.join(map(str, hits))}; choose one by its index")
        elif word.isascii() and word.isdigit() and int(word) < len(names):
            indices.append(int(word))
        else:
            raise FileFailure(f"{path}: no parameter {word!r} (the file has {len(names)}, "
                              f"indices 0 to {len(names) - 1}; `korvant info --names` lists them)")
    return indices


def load(path: str, args, wanted: list[str] | None = None, *, partial: bool | None = None):
    """Reads one file with the options of the command line, the parameters
    `wanted` (all when empty or None) chosen by name or index."""
    params = None
    if wanted:
        _, names = korvant.read_header(path)
        params = resolve_params(path, wanted, names)
    if partial is None:
        partial = args.partial
    return korvant.read(path, width=args.width, params=params, partial=partial)


# --------------------------------------------------------------- batches

class Progress:
    """A progress bar over a batch of files (files done, bytes per second,
    time left), drawn on standard error only when it is a terminal and tqdm
    is installed; otherwise nothing is drawn.  Lines written through it while
    the bar shows keep the bar intact."""

    def __init__(self, paths: list[str]):
        self.bar = None
        self.count, self.done = len(paths), 0
        self.lock = threading.Lock()
        if self.count < 2 or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        total = sum(size_of(p) for p in paths)
        self.bar = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1000,
                        desc=self.label(), file=sys.stderr, leave=False, dynamic_ncols=True)

    def label(self) -> str:
        return f"{self.done}/{self.count} files"

    def advance(self, path: str) -> None:
        if self.bar is None:
            return
        with self.lock:
            self.done += 1
            self.bar.set_description(self.label(), refresh=False)
            self.bar.update(size_of(path))

    def write(self, line: str, stream) -> None:
        if self.bar is not None:
            with self.lock:
                self.bar.write(line, file=stream)
        else:
            print(line, file=stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def size_of(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def default_jobs() -> int:
    return (os.process_cpu_count() if hasattr(os, "process_cpu_count") else os.cpu_count()) or 1


def run_batch(paths: list[str], work, jobs: int, progress: Progress):
    """Runs `work(path)` over the files, `jobs` at a time in threads (the
    reader releases the GIL), and yields (path, result, error) in the order
    of `paths` as soon as each is known.  Errors of FILE_ERRORS are yielded;
    any other exception is a fault of this program and propagates."""
    def task(path):
        try:
            return work(path), None
        except FILE_ERRORS as error:
            return None, error
        finally:
            progress.advance(path)

    if jobs <= 1 or len(paths) <= 1:
        for path in paths:
            yield path, *task(path)
        return
    with concurrent.futures.ThreadPoolExecutor(max_workers=min(jobs, len(paths))) as pool:
        futures = [pool.submit(task, path) for path in paths]
        try:
            for path, future in zip(paths, futures):
                yield path, *future.result()
        finally:
            for future in futures:
                future.cancel()


# -------------------------------------------------------------- formatting

def float32_text(values: np.ndarray) -> list:
    """The shortest decimal text of each float32 value that reads back to the
    same float32 ('0.1', '1e-05', '-0.0', 'nan', '-nan', 'inf'), in lists
    shaped as `values`.  A NaN with its sign bit set is '-nan' (numpy writes
    'nan' for either), which float() reads back with the sign."""
    values = np.asarray(values, dtype=np.float32)
    texts = values.astype(str)
    texts[np.isnan(values) & np.signbit(values)] = "-nan"
    return texts.tolist()


def time_text(value: float) -> str:
    return f"{value:g}"


# -------------------------------------------------------------------- info

def info_record(path: str, args) -> dict:
    # Every field is read: a parameter not converted would not be checked,
    # and info is how a damaged file is found.
    plot = load(path, args, partial=True)
    record = {
        "path": path,
        "parameters": plot.n_parameters,
        "timesteps": len(plot),
        "width": plot.width,
        "time_range": ([float(plot.time[0]), float(plot.time[-1])]
                       if plot.time is not None and len(plot) else None),
        "size": size_of(path),
        "complete": bool(plot.complete),
    }
    if args.names:
        record["names"] = korvant.read_header(path)[1]
    return record


def info_text(record: dict) -> str:
    time_range = record["time_range"]
    rows = [
        ("parameters", str(record["parameters"])),
        ("timesteps", str(record["timesteps"])),
        ("width", str(record["width"])),
        ("time", f"{time_text(time_range[0])} to {time_text(time_range[1])}" if time_range else "-"),
        ("size", f"{record['size']:,} bytes"),
        ("complete", "yes" if record["complete"] else "no (the last block is cut off)"),
    ]
    lines = [record["path"]] + [f"  {key:<11} {value}" for key, value in rows]
    if "names" in record:
        lines.append("  names")
        lines += [f"  {index:>6}  {name}" for index, name in enumerate(record["names"])]
    return "\n".join(lines)


def cmd_info(args) -> int:
    paths, _ = expand_inputs(args.files)
    progress = Progress(paths)
    status, records = 0, []
    try:
        for path, record, error in run_batch(paths, lambda p: info_record(p, args), args.jobs, progress):
            if error is not None:
                report(describe(path, error), progress)
                status = 1
            elif args.json:
                records.append(record)
            else:
                progress.write(("\n" if records else "") + info_text(record), sys.stdout)
                records.append(record)
    finally:
        progress.close()
    if args.json:
        print(json.dumps(records, indent=2))
    return status


# -------------------------------------------------------------------- show

def parse_steps(text: str) -> slice:
    """'A:B', 'A:', ':B' or 'A' (one timestep), Python slice rules."""
    try:
        if ":" not in text:
            index = int(text)
            return slice(index, index + 1 if index != -1 else None)
        start, stop = text.split(":")
        return slice(int(start) if start.strip() else None, int(stop) if stop.strip() else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not A:B, A:, :B or A") from None


def table_chunks(lead: list[list[str]], columns: list[list[str]], width: int) -> list[str]:
    """Lays out the columns (each a header followed by its cells) right
    aligned, as many side by side as fit in `width` characters; the lead
    columns (timestep, time) begin every group."""
    def fitted(column):
        size = max(map(len, column))
        return [cell.rjust(size) for cell in column]

    lead = [fitted(c) for c in lead]
    columns = [fitted(c) for c in columns]
    lead_width = sum(len(c[0]) + 2 for c in lead)
    groups: list[list[list[str]]] = []
    group: list[list[str]] = []
    used = lead_width
    for column in columns:
        if group and used + len(column[0]) + 2 > width:
            groups.append(group)
            group, used = [], lead_width
        group.append(column)
        used += len(column[0]) + 2
    if group or not groups:
        groups.append(group)
    text = []
    for group in groups:
        rows = zip(*(lead + group))
        text.append("\n".join("  ".join(row).rstrip() for row in rows))
    return text


def cmd_show(args) -> int:
    try:
        plot = load(args.file, args, args.params)
    except FILE_ERRORS as error:
        report(describe(args.file, error))
        return 1
    chosen = args.steps or slice(None)
    steps = range(len(plot))[chosen]
    values = plot.values[chosen]
    n = max(args.rows, 0)
    if len(steps) > 2 * n:
        shown = list(range(n)) + [None] + list(range(len(steps) - n, len(steps)))
    else:
        shown = list(range(len(steps)))

    def cells(get):
        return ["..." if i is None else get(i) for i in shown]

    lead = [["step"] + cells(lambda i: str(steps[i]))]
    if plot.time is not None:
        lead.append(["time"] + cells(lambda i: time_text(plot.time[steps[i]])))
    stats_labels = ["min", "max", "mean"]
    lead = [column + ([""] + stats_labels if index == 0 else [""] * 4) for index, column in enumerate(lead)]

    columns = []
    for j, name in enumerate(plot.names):
        column = values[:, j]
        texts = float32_text(column[[i for i in shown if i is not None]])
        it = iter(texts)
        body = ["..." if i is None else next(it) for i in shown]
        if len(column):
            low, high = float32_text(np.array([column.min(), column.max()]))
            stats = [low, high, f"{column.astype(np.float64).mean():.7g}"]
        else:
            stats = ["-", "-", "-"]
        columns.append([name] + body + [""] + stats)

    width = shutil.get_terminal_size().columns
    print(f"{plot.path}: {len(plot)} timesteps, {plot.n_parameters} parameters, width {plot.width}"
          f"{'' if plot.complete else ', last block cut off'}")
    for chunk in table_chunks(lead, columns, width):
        print()
        print(chunk)
    return 0


# ----------------------------------------------------------------- convert

def csv_writer(plot, out: Path) -> None:
    header = table_keys(plot)
    rows_per_chunk = max(1, 200_000 // max(1, len(plot.names)))
    with open(out, "w", encoding="utf-8", newline="") as f:
        csv.writer(f, lineterminator="\n").writerow(header)
        for start in range(0, len(plot), rows_per_chunk):
            stop = min(start + rows_per_chunk, len(plot))
            texts = float32_text(plot.values[start:stop])
            if plot.time is not None:
                times = plot.time[start:stop].astype(str).tolist()
                texts = [[t, *row] for t, row in zip(times, texts)]
            f.write("".join(",".join(row) + "\n" for row in texts))


def unique_keys(names: list[str], reserved: tuple[str, ...] = ()) -> list[str]:
    """A column or dataset name per parameter: its own name where that is
    unique, not reserved and a plain HDF5 link name, else the name with '/'
    made '_' and followed by '#index'.  A file may repeat a name, and
    Parquet readers cannot select a repeated column."""
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


def source_name(path: str) -> str | bytes:
    """The plot file's path as the Parquet and HDF5 outputs record it: its
    text, or for a name that is not UTF-8 (which has none) its bytes as the
    file system has them."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return os.fsencode(path)
    return path


def table_keys(plot) -> list[str]:
    """The column names of a table (CSV, Parquet) of the plot: "time" first
    when the file has a time, then the parameters' unique_keys beside it."""
    lead = ["time"] if plot.time is not None else []
    return lead + unique_keys(list(plot.names), tuple(lead))


def parquet_writer(plot, out: Path) -> None:
    pa = need("pyarrow", "writing Parquet", "parquet")
    import pyarrow.parquet as pq

    def column(values):
        # Over the array's own memory.  pa.array() would do the same but
        # first checks for a pandas object, which imports pandas (a quarter
        # of a second) when it is installed.
        values = np.ascontiguousarray(values)
        return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values),
                                     [None, pa.py_buffer(values)])

    keys = table_keys(plot)
    arrays = [column(plot.time)] if plot.time is not None else []
    arrays += [column(plot.values[:, j]) for j in range(len(plot.names))]
    # The names as the file gives them, for when a column had to be renamed.
    metadata = {"korvant.names": json.dumps(list(plot.names)),
                "korvant.parameters": json.dumps(list(plot.parameters)),
                "korvant.source": source_name(plot.path)}
    # No dictionary encoding: for float columns it rarely pays, and it takes
    # about twice the time of the rest of the write (snappy compression of
    # the plain values still shrinks zero and constant columns to little).
    # An open file: pyarrow takes a path for UTF-8 text, which a file name
    # need not be.
    with open(out, "wb") as f:
        pq.write_table(pa.Table.from_arrays(arrays, names=keys, metadata=metadata), f, use_dictionary=False)


def hdf5_writer(plot, out: Path) -> None:
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
        # Column j is the dataset /parameters/<keys[j]>, holding parameter
        # indices[j] named names[j].  One dataset of keys rather than
        # attributes on each dataset, which would double the writing time
        # of a file with many parameters.
        keys = unique_keys(list(plot.names))
        f.create_dataset("names", data=list(plot.names), dtype=h5py.string_dtype())
        f.create_dataset("keys", data=keys, dtype=h5py.string_dtype())
        f.create_dataset("indices", data=np.asarray(plot.parameters, dtype=np.int64))
        if plot.time is not None:
            f.create_dataset("time", data=plot.time)
        group = f.create_group("parameters")
        for j, key in enumerate(keys):
            group.create_dataset(key, data=plot.values[:, j])
    with open(out, "wb") as file, image.getbuffer() as view:
        file.write(view)


def npz_writer(plot, out: Path) -> None:
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


WRITERS = {"csv": csv_writer, "parquet": parquet_writer, "hdf5": hdf5_writer, "npz": npz_writer}
# Checked once before any file is read, so a missing library is one line.
LIBRARIES = {"parquet": ("pyarrow", "writing Parquet", "parquet"), "hdf5": ("h5py", "writing HDF5", "hdf5")}


def format_of(path: str) -> str | None:
    suffix = Path(path).suffix.lower()
    return next((name for name, suffixes in FORMATS.items() if suffix in suffixes), None)


def write_atomically(writer, plot, out: Path) -> None:
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


def file_identity(path: str | Path) -> tuple[int, int] | str:
    """The file a path names, whatever the spelling (links, '..', a relative
    or absolute path): its device and inode when it exists, else the
    resolved path."""
    try:
        status = os.stat(path)
    except OSError:
        return os.path.realpath(path)
    return status.st_dev, status.st_ino


def inputs_written_over(paths: list[str], targets: dict[str, Path]) -> list[tuple[str, Path]]:
    """(input, output) for each output that is one of the inputs."""
    inputs = {file_identity(path): path for path in paths}
    return [(inputs[key], target) for target in targets.values() if (key := file_identity(target)) in inputs]


def cmd_convert(args) -> int:
    parser: argparse.ArgumentParser = args.parser
    paths, batch = expand_inputs(args.files)
    into_folder = batch or len(paths) > 1 or os.path.isdir(args.output) or args.output.endswith(os.sep)
    fmt = args.to or (None if into_folder else format_of(args.output))
    if fmt is None:
        if into_folder:
            parser.error("with several files OUT is a folder: choose the format with --to")
        parser.error(f"cannot tell the format from {args.output!r}: use a suffix "
                     f"({', '.join(s for v in FORMATS.values() for s in v)}) or --to")
    if into_folder:
        stems: dict[str, str] = {}
        for path in paths:
            other = stems.setdefault(Path(path).stem, path)
            if other != path:
                parser.error(f"{other} and {path} would both be written to {Path(path).stem}{FORMATS[fmt][0]}")
        targets = {p: Path(args.output) / (Path(p).stem + FORMATS[fmt][0]) for p in paths}
    else:
        targets = {paths[0]: Path(args.output)}
    # Refused before anything is read or written: the output would replace
    # an input, perhaps before that input has been read.
    clashes = inputs_written_over(paths, targets)
    for path, target in clashes:
        report(f"{path}: the output {target} would write over this input; choose another OUT")
    if clashes:
        return 2
    paths = list(dict.fromkeys(paths))  # a file named twice is written once
    if fmt in LIBRARIES:
        need(*LIBRARIES[fmt])
    wanted = [w for item in args.params for w in item.split(",") if w]
    writer = WRITERS[fmt]

    def work(path):
        plot = load(path, args, wanted)
        write_atomically(writer, plot, targets[path])
        return plot.values.shape

    progress = Progress(paths)
    status = 0
    try:
        for path, shape, error in run_batch(paths, work, args.jobs, progress):
            if error is not None:
                report(describe(path, error), progress)
                status = 1
            elif not args.quiet:
                progress.write(f"{path} -> {targets[path]} ({shape[1]} parameters, {shape[0]} timesteps)",
                               sys.stdout)
    finally:
        progress.close()
    return status


# -------------------------------------------------------------------- plot

def cmd_plot(args) -> int:
    need("matplotlib", "plotting", "plot")
    from matplotlib.figure import Figure

    paths, _ = expand_inputs([args.file, *args.overlay])
    progress = Progress(paths)
    plots, status = [], 0
    try:
        for path, plot, error in run_batch(
                paths, lambda p: load(p, args, args.params),
                args.jobs, progress):
            if error is not None:
                report(describe(path, error), progress)
                status = 1
            else:
                plots.append(plot)
    finally:
        progress.close()
    if not plots:
        return 1

    # A shared time axis when every file has one, else the timestep index.
    use_time = all(p.time is not None for p in plots)
    labels = [Path(p.path).name for p in plots]
    if len(set(labels)) < len(labels):
        labels = [p.path for p in plots]
    panels = len(args.params)
    fig = Figure(figsize=(9, 1.2 + 2.2 * panels), layout="constrained")
    axes = fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0]
    for j, ax in enumerate(axes):
        for plot, label in zip(plots, labels):
            x = plot.time if use_time else np.arange(len(plot))
            ax.plot(x, plot.values[:, j], linewidth=1, label=label)
        ax.set_ylabel(plots[0].names[j])
        ax.grid(alpha=0.3)
    if len(plots) > 1:
        axes[0].legend(fontsize="small")
    axes[-1].set_xlabel("time" if use_time else "timestep")
    fig.suptitle(", ".join(labels) if len(labels) <= 3 else f"{labels[0]} and {len(labels) - 1} more files")
    out = Path(args.output)
    try:
        out.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(out, dpi=args.dpi)
    except (OSError, ValueError) as error:
        report(describe(str(out), error))
        return 1
    print(f"{out}: {panels} panel{'s' * (panels != 1)} from {len(plots)} file{'s' * (len(plots) != 1)}")
    return status


# ------------------------------------------------------------------ parser

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look at, convert and plot KORVANT plot files.",
        epilog="Exit status: 0 success, 1 a file could not be read or written, 2 bad usage.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    reading = argparse.ArgumentParser(add_help=False)
    reading.add_argument("--width", type=int, choices=(12, 15), default=None,
                         help="data field width (default: detected from the first block)")
    reading.add_argument("-j", "--jobs", type=int, default=default_jobs(), metavar="N",
                         help="files read at the same time (default: the processor count)")
    partial = argparse.ArgumentParser(add_help=False)
    partial.add_argument("--partial", action="store_true",
                         help="accept a file whose last block is cut off (a run still writing)")
    files_help = "plot files, folders (their *.plt files) or quoted glob patterns"

    info = commands.add_parser("info", parents=[reading], help="what each file holds",
                               description="Parameter count, timesteps, field width, time range, "
                                           "file size and whether the file is complete.")
    info.add_argument("files", nargs="+", metavar="FILE", help=files_help)
    info.add_argument("--names", action="store_true", help="list the parameter names with their indices")
    info.add_argument("--json", action="store_true", help="print a JSON list, one object per file")
    info.set_defaults(run=cmd_info)

    show = commands.add_parser("show", parents=[reading, partial], help="a table of values",
                               description="The first and last timesteps of the chosen parameters "
                                           "and each one's min, max and mean over the chosen timesteps.")
    show.add_argument("file", metavar="FILE")
    show.add_argument("params", nargs="*", metavar="PARAM",
                      help="parameter names or indices (default: all)")
    show.add_argument("--steps", type=parse_steps, metavar="A:B",
                      help="the timesteps A to B-1 (from 0; negative counts from the end)")
    show.add_argument("-n", "--rows", type=int, default=5, metavar="N",
                      help="timesteps shown at each end (default: 5)")
    show.set_defaults(run=cmd_show)

    convert = commands.add_parser("convert", parents=[reading, partial], help="write CSV, Parquet, HDF5 or .npz",
                                  description="Writes the values, float32 exactly, with the names and "
                                              "the time: CSV or Parquet (a column 'time' first, then one "
                                              "per parameter, whose name gets '#index' where it is repeated, "
                                              "'time' or holds '/'; Parquet has the names as given in the "
                                              "schema metadata 'korvant.names'), HDF5 (a dataset "
                                              "per parameter under /parameters, with /names, /keys (the "
                                              "dataset names), /indices and /time) or NumPy .npz (values, "
                                              "names, parameters, time).")
    convert.add_argument("files", nargs="+", metavar="FILE", help=files_help)
    convert.add_argument("-o", "--output", required=True, metavar="OUT",
                         help="output file; with several files a folder, where each keeps its stem")
    convert.add_argument("--to", choices=sorted(FORMATS), help="output format (default: from OUT's suffix)")
    convert.add_argument("--params", action="append", default=[], metavar="P,Q,...",
                         help="only these parameters, names or indices (repeatable)")
    convert.add_argument("-q", "--quiet", action="store_true", help="no line per file written")
    convert.set_defaults(run=cmd_convert, parser=convert)

    plot = commands.add_parser("plot", parents=[reading, partial], help="plot parameters over time",
                               description="One panel per parameter over time, the title from the "
                                           "file name; with --overlay the curves of several files "
                                           "share the panels, with a legend.")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("params", nargs="+", metavar="PARAM", help="parameter names or indices")
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png",
                      help="image file; the suffix chooses the format (png, pdf, svg)")
    plot.add_argument("--overlay", action="extend", nargs="+", default=[], metavar="FILE",
                      help="more files whose curves are drawn on the same panels")
    plot.add_argument("--dpi", type=int, default=100)
    plot.set_defaults(run=cmd_plot)
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    try:
        return args.run(args)
    except MissingLibrary as error:
        report(str(error))
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader of the output went away (`korvant info --names | head`).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
