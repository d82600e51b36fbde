"""`korvant info FILE...`: what each file holds."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from korvant._paths import expand
from korvant._read import read_with
from korvant.cli._batch import FILES_HELP, Progress, add_reading_arguments, read_options, run_batch, size_of
from korvant.cli._status import Status


def add_parser(commands: Any) -> argparse.ArgumentParser:
    parser = commands.add_parser("info", help="what each file holds",
                                 description="Parameter count, timesteps, field width, time range, "
                                             "file size and whether the file is complete.")
    add_reading_arguments(parser, partial=False)
    parser.add_argument("--partial", action="store_true",
                        help="accept a file whose last timestep is incomplete (a run still writing); info "
                             "always does, and says so")
    parser.add_argument("files", nargs="+", metavar="FILE", help=FILES_HELP)
    parser.add_argument("--names", action="store_true", help="list the parameter names with their indices")
    parser.add_argument("--json", action="store_true", help="print a JSON list, one object per file")
    return parser


def record_of(path: str, args: argparse.Namespace) -> dict[str, Any]:
    # Every field is read: a parameter not converted would not be checked,
    # and info is how a damaged file is found.  That read has every name.
    plot = read_with(path, read_options(args, partial=True))
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
        record["names"] = plot.names
    return record


def text_of(record: dict[str, Any]) -> str:
    time_range = record["time_range"]
    rows = [
        ("parameters", str(record["parameters"])),
        ("timesteps", str(record["timesteps"])),
        ("width", str(record["width"])),
        ("time", f"{time_range[0]:g} to {time_range[1]:g}" if time_range else "-"),
        ("size", f"{record['size']:,} bytes"),
        ("complete", "yes" if record["complete"] else
         f"no: timestep {record['timesteps']} is incomplete (a run still writing, or a file cut short)"),
    ]
    lines = [record["path"]] + [f"  {key:<11} {value}" for key, value in rows]
    if "names" in record:
        lines.append("  names")
        lines += [f"  {index:>6}  {name}" for index, name in enumerate(record["names"])]
    return "\n".join(lines)


def run(args: argparse.Namespace) -> Status:
    records: list[dict[str, Any]] = []

    def done(path: str, record: dict[str, Any], progress: Progress) -> None:
        if not args.json:
            progress.write(("\n" if records else "") + text_of(record), sys.stdout)
        records.append(record)

    paths, _ = expand(args.files)
    status = run_batch(paths, lambda path: record_of(path, args), args.jobs, done)
    if args.json:
        print(json.dumps(records, indent=2))
    return status
