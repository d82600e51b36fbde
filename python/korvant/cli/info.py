"""`korvant info FILE...`: what each file holds, and for several files what
the study holds."""

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
    parser.add_argument("-s", "--summary", action="store_true",
                        help="the study's summary alone, not each file's (for several files)")
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
        "names": plot.names,
    }
    return record


def text_of(record: dict[str, Any], names: bool) -> str:
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
    if names:
        lines.append("  names")
        lines += [f"  {index:>6}  {name}" for index, name in enumerate(record["names"])]
    return "\n".join(lines)


class Study:
    """What the files of a study hold together, gathered as each file's
    record comes: the parameters every run has and those some have, and
    each run's count, time range and completeness."""

    def __init__(self) -> None:
        self.records: list[dict[str, Any]] = []
        self.every: set[str] | None = None
        self.some: set[str] = set()

    def add(self, record: dict[str, Any], names: list[str]) -> None:
        self.records.append(record)
        self.every = set(names) if self.every is None else self.every & set(names)
        self.some.update(names)

    def text(self, count: int) -> str:
        records = self.records
        lines = [f"study: {count} files, {len(records)} read, {count - len(records)} failed"]
        if records:
            steps = [record["timesteps"] for record in records]
            times = [t for record in records if record["time_range"] for t in record["time_range"]]
            cut = sum(not record["complete"] for record in records)
            every = len(self.every or ())
            rows = [("complete", f"{len(records) - cut} of {len(records)}" + (f" ({cut} cut off)" if cut else "")),
                    ("parameters", f"{every} in every run, {len(self.some) - every} in some only"),
                    ("timesteps", f"{min(steps)} to {max(steps)}"),
                    ("time", f"{min(times):g} to {max(times):g}" if times else "-")]
            lines += [f"  {key:<11} {value}" for key, value in rows]
        return "\n".join(lines)


def run(args: argparse.Namespace) -> Status:
    study = Study()
    paths, _ = expand(args.files)
    each_file = not args.json and not (args.summary and len(paths) > 1)

    def done(path: str, record: dict[str, Any], progress: Progress) -> None:
        if each_file:
            progress.write(("\n" if study.records else "") + text_of(record, args.names), sys.stdout)
        study.add(record, record["names"] if args.names else record.pop("names"))

    status = run_batch(paths, lambda path: record_of(path, args), args.jobs, done, args.errors)
    if args.json:
        print(json.dumps(study.records, indent=2))
    elif len(paths) > 1:
        print(("\n" if each_file else "") + study.text(len(paths)))
    return status
