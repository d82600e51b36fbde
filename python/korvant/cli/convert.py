"""`korvant convert FILE... -o OUT`: each file to CSV, Parquet, HDF5 or .npz,
with korvant.export; the segments of a restarted run as one (--chain); a
study as one Parquet dataset partitioned by run (--dataset)."""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Any

import korvant
from korvant import export
from korvant._paths import expand
from korvant._read import read_with
from korvant._select import Word
from korvant._study import read_columns, run_names
from korvant.cli._batch import FILES_HELP, Progress, add_reading_arguments, read_options, run_batch, study_columns
from korvant.cli._status import Status, report, status_of


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser(
        "convert", help="write CSV, Parquet, HDF5 or .npz",
        description="Writes the values, float32 exactly, with the names and the time: CSV or Parquet (a "
                    "column 'time' first, then one per parameter, whose name gets '#index' where it is "
                    "repeated, 'time' or holds '/'; Parquet has the names as given in the schema metadata "
                    "'korvant.names'), HDF5 (one dataset /values, timesteps x parameters, chunked by "
                    "parameter, with /names, /parameters and /time) or NumPy .npz (values, names, "
                    "parameters, time).")
    add_reading_arguments(parser)
    parser.add_argument("files", nargs="+", metavar="FILE", help=FILES_HELP)
    target = parser.add_mutually_exclusive_group(required=True)
    target.add_argument("-o", "--output", metavar="OUT",
                        help="output file; with several files a folder, where each keeps its stem")
    target.add_argument("--dataset", metavar="OUTDIR",
                        help="one Parquet dataset of the study: OUTDIR/run=NAME/part-0.parquet per file, each "
                             "with the time and the same parameters, found by name in each file (NaN where one "
                             "lacks them); pd.read_parquet(OUTDIR) reads it whole, with a column 'run'")
    parser.add_argument("--chain", action="store_true",
                        help="the files are the segments of one restarted run, written as one to OUT (where "
                             "they overlap, the later file wins from its first time on)")
    parser.add_argument("--to", choices=sorted(export.FORMATS), help="output format (default: from OUT's suffix)")
    parser.add_argument("--params", action="append", default=[], metavar="P,Q,...",
                        help="only these parameters, names, indices or quoted patterns such as 'TEMP-*' "
                             "(repeatable)")
    parser.add_argument("-q", "--quiet", action="store_true", help="no line per file written")
    parser.set_defaults(parser=parser)
    return parser


def targets_of(args: argparse.Namespace, paths: list[str], batch: bool) -> tuple[str, dict[str, Path]]:
    """The format and each input's output file; a usage error (which exits)
    when the format cannot be told or two inputs would share an output."""
    parser: argparse.ArgumentParser = args.parser
    into_folder = batch or len(paths) > 1 or os.path.isdir(args.output) or args.output.endswith(os.sep)
    fmt = args.to or (None if into_folder else export.format_of(args.output))
    if fmt is None:
        if into_folder:
            parser.error("with several files OUT is a folder: choose the format with --to")
        suffixes = ", ".join(s for v in export.FORMATS.values() for s in v)
        parser.error(f"cannot tell the format from {args.output!r}: use a suffix ({suffixes}) or --to")
    if not into_folder:
        return fmt, {paths[0]: Path(args.output)}
    suffix = export.FORMATS[fmt][0]
    stems: dict[str, str] = {}
    for path in paths:
        other = stems.setdefault(Path(path).stem, path)
        if other != path:
            parser.error(f"{other} and {path} would both be written to {Path(path).stem}{suffix}")
    return fmt, {p: Path(args.output) / (Path(p).stem + suffix) for p in paths}


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


def param_words(args: argparse.Namespace) -> list[str]:
    return [word for item in args.params for word in item.split(",") if word]


def convert_chain(args: argparse.Namespace, paths: list[str]) -> Status:
    """The chain of `paths` written to OUT, each segment left out reported."""
    fmt, targets = targets_of(args, paths[:1], False)
    out = targets[paths[0]]
    if inputs_written_over(paths, {path: out for path in paths}):
        report(f"the output {out} would write over an input; choose another OUT")
        return Status.USAGE
    export.check_library(fmt)
    try:
        plot = korvant.read_chain(paths, width=args.width, params=[Word(w) for w in param_words(args)] or None,
                                  partial=args.partial, errors=args.errors, threads=args.jobs)
        export.write(plot, out, format=fmt)
    except Exception as error:  # noqa: BLE001  (status_of re-raises what is no file's failure)
        return status_of(error, paths[0] if len(paths) == 1 else f"the chain of {len(paths)} files")
    status = Status.OK
    for path, failure in plot.source.failed:  # type: ignore[union-attr]
        status = status_of(failure, path)
    if not args.quiet:
        print(f"{len(paths) - len(plot.source.failed)} files -> {out} "  # type: ignore[union-attr]
              f"({len(plot.names)} parameters, {len(plot)} timesteps)")
    return status


def convert_dataset(args: argparse.Namespace, paths: list[str]) -> Status:
    """The study of `paths` written as one Parquet dataset."""
    if args.to not in (None, "parquet") or args.chain:
        args.parser.error("--dataset writes one Parquet dataset of the runs: leave out --to and --chain")
    export.check_library("parquet")
    runs = dict(zip(paths, run_names(paths)))
    columns, good, status = study_columns(args, paths, param_words(args))
    if columns is None:
        return status
    options = read_options(args)

    def work(path: str) -> tuple[Path, tuple[int, ...]]:
        plot = read_columns(path, columns, options)
        [out] = export.write_dataset([plot], args.dataset, runs=[runs[path]])
        return out, plot.values.shape

    def done(path: str, result: tuple[Path, tuple[int, ...]], progress: Progress) -> None:
        out, shape = result
        if not args.quiet:
            progress.write(f"{path} -> {out} ({shape[1]} parameters, {shape[0]} timesteps)", sys.stdout)

    return max(status, run_batch(good, work, args.jobs, done, args.errors))


def run(args: argparse.Namespace) -> Status:
    paths, batch = expand(args.files)
    if args.dataset is not None:
        return convert_dataset(args, paths)
    if args.chain:
        return convert_chain(args, paths)
    fmt, targets = targets_of(args, paths, batch)
    # Refused before anything is read or written: the output would replace
    # an input, perhaps before that input has been read.
    clashes = inputs_written_over(paths, targets)
    for path, target in clashes:
        report(f"{path}: the output {target} would write over this input; choose another OUT")
    if clashes:
        return Status.USAGE
    paths = list(dict.fromkeys(paths))  # a file named twice is written once
    # Checked once before any file is read, so a missing library is one line.
    export.check_library(fmt)
    options = read_options(args, param_words(args))

    def work(path: str) -> tuple[int, ...]:
        plot = read_with(path, options)
        export.write(plot, targets[path], format=fmt)
        return plot.values.shape

    def done(path: str, shape: tuple[int, ...], progress: Progress) -> None:
        if not args.quiet:
            progress.write(f"{path} -> {targets[path]} ({shape[1]} parameters, {shape[0]} timesteps)", sys.stdout)

    return run_batch(paths, work, args.jobs, done, args.errors)
