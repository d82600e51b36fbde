"""Plot files read by the module under valgrind's memcheck (tools/run-memcheck).

    python3.14 tests/memcheck_reads.py write DIR COUNT
        writes COUNT files made by the differential test's generator (valid
        and damaged, lines longer than the read buffer among them) into DIR
    python3.14 tests/memcheck_reads.py read DIR
        reads every file of DIR with tavrel, standard output and error
        silenced, and prints how many were read and how many failed

Writing runs natively; only reading runs under valgrind, so that the
interpreter's slow start and the generator cost it nothing.  Reading fails
unless some files were read and some failed, or the run would prove little.
"""

import os
import sys
from pathlib import Path


def write(directory: Path, count: int) -> None:
    import random

    from conftest import SEED
    from test_differential import random_case

    directory.mkdir(parents=True, exist_ok=True)
    for old in directory.glob("*.plt"):
        old.unlink()
    rng = random.Random(SEED)
    for i in range(count):
        data, width = random_case(rng)
        (directory / f"{i:05d}-w{width}.plt").write_bytes(data)


def read(directory: Path) -> int:
    import tavrel

    outcomes = {"read": 0, "failed": 0}
    saved = os.dup(1), os.dup(2)
    quiet = os.open(os.devnull, os.O_WRONLY)
    try:
        for path in sorted(directory.glob("*.plt")):
            width = int(path.stem.rpartition("-w")[2])
            os.dup2(quiet, 1)
            os.dup2(quiet, 2)
            try:
                tavrel.rust_read_korvant(str(path), width)
                outcomes["read"] += 1
            except BaseException:  # noqa: BLE001  (PanicException derives from BaseException)
                outcomes["failed"] += 1
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
    print(f"memcheck reads: {outcomes}")
    return 0 if all(outcomes.values()) else 1


def main(argv: list[str]) -> int:
    if len(argv) == 4 and argv[1] == "write":
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        write(Path(argv[2]), int(argv[3]))
        return 0
    if len(argv) == 3 and argv[1] == "read":
        return read(Path(argv[2]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
