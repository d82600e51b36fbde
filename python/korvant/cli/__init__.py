"""The `korvant` command: look at, convert and plot KORVANT plot files.

    korvant info FILE...                 what each file holds
    korvant show FILE [PARAM...]         first and last timesteps, min, max, mean
    korvant convert FILE... -o OUT       to CSV, Parquet, HDF5 or NumPy .npz
    korvant plot FILE PARAM... -o OUT    one panel per parameter over time
    korvant watch FILE [PARAM...]        a live view of a run still writing FILE

A FILE may also be a folder (its *.plt files) or a quoted glob pattern,
expanded as korvant.read_many expands its paths.  Several files are read in
parallel, with a progress bar when standard error is a terminal.  Exit status
(cli._status.Status): 0 when every file was handled, 1 when some file could
not be read or written (one line per such file on standard error; the other
files are still handled), 2 on a usage error.

Each command is a module of this package with `add_parser` and `run`.  The
optional libraries (pyarrow, h5py, matplotlib, tqdm) are imported only by the
work that needs them, so `info` and `show` run on numpy alone.
"""

from __future__ import annotations

import argparse
import importlib
from importlib import metadata

from korvant.cli._status import PROG, Status, status_of

__all__ = ["Status", "build_parser", "main"]

#: The commands, each the module of that name in this package.
COMMANDS = ("info", "show", "convert", "plot", "watch")


def version() -> str:
    """The installed distribution's version, or the package's own where it
    runs from a build tree."""
    from korvant import __version__
    from korvant._extras import distribution_name

    name = distribution_name()
    if name is not None:
        try:
            return metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return __version__


class _Version(argparse.Action):
    """--version, whose text is found only when it is asked for (the
    distributions' metadata takes a while to search)."""

    def __init__(self, option_strings: list[str], dest: str = argparse.SUPPRESS, **kwargs: object) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS,
                         help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: object) -> None:
        print(f"{PROG} {version()}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Look at, convert and plot KORVANT plot files.",
        epilog="Exit status: 0 success, 1 a file could not be read or written, 2 bad usage.")
    parser.add_argument("--version", action=_Version)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name in COMMANDS:
        module = importlib.import_module(f"korvant.cli.{name}")
        module.add_parser(commands).set_defaults(run=module.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: the process's) and returns
    its exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    try:
        return int(args.run(args))
    except BaseException as error:  # noqa: BLE001  (status_of re-raises what it does not know)
        return int(status_of(error))
