"""The module against the independent slow reader, on seeded random files.

Each file is a valid plot file, often damaged afterwards in one of the ways
real files get damaged (truncated transfers, hand edits, wrong encodings,
stray characters).  Module and slow reader must agree on every value, bit for
bit, and on every failure message, including the count-error line on
standard output.  A few hundred files by default; TAVREL_DEEP=1 runs 20,000.
The files are the same on every run; TAVREL_SEED=<n> makes other ones.
"""

from __future__ import annotations

import os
import random
import struct

import pytest

import slow_reader
from conftest import SEED

FILES = 20_000 if os.environ.get("TAVREL_DEEP") else 400

ODD_CHARS = ["é", "°", "µ", "€", "✓", "\u0301", "\u00a0", "\u2028", "\u3000", "𝜋", "\ufeff", "\x1f"]


def number_text(rng: random.Random, width: int) -> str:
    form = rng.random()
    if form < 0.55:
        value = rng.choice([0.0, rng.uniform(-1, 1), rng.uniform(-1e7, 1e7), 10 ** rng.uniform(-45, 39)])
        digits = max(1, min(width - 7, 8))
        return f"{value:.{rng.randint(0, digits)}E}"
    if form < 0.7:
        return rng.choice(["1.", ".5", "-0", "+.5e-3", "16777217", "3.4028236e38", "7.1e-46", "7e-46",
                           "1e400", "-1e-400", "inf", "-INFINITY", "nan", "-nan", "NaN", "1e0000000000065537"])
    if form < 0.85:
        mantissa = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, max(1, width))))
        return mantissa[: rng.randint(1, len(mantissa))] + "." + mantissa + rng.choice(["", f"e{rng.randint(-60, 40)}"])
    return rng.choice(["", "   ", "abc", "1.5D+02", "1e", "--1", "1_0", "0x1p3", "1.2.3", "+", ".", "infin"])


def layout_text(rng: random.Random, width: int) -> str:
    """What a simulation writes: the E layout filling the field."""
    value = rng.choice([0.0, -0.0, rng.uniform(-1, 1), rng.uniform(-1e7, 1e7), 10 ** rng.uniform(-30, 30)])
    return f"{value:{width}.{max(0, width - 7)}E}"


def field(rng: random.Random, width: int, layout: bool) -> str:
    text = layout_text(rng, width) if layout and rng.random() < 0.98 else number_text(rng, width)
    if len(text) >= width:
        return text[:width] if rng.random() < 0.5 else text
    pad = width - len(text)
    left = pad if rng.random() < 0.8 else rng.randint(0, pad)
    return " " * left + text + " " * (pad - left)


def plot_text(rng: random.Random, n: int, blocks: int, width: int) -> str:
    eol = "\r\n" if rng.random() < 0.15 else "\n"
    layout = rng.random() < 0.5
    lines = [rng.choice(["KORVANT", " PLOT FILE  NPARAM", "x y"]) + f" {n}"]
    lines += [f"  {i} NAME{i}" for i in range(n)]
    for b in range(blocks):
        lines.append(f" TIME {b}")
        for start in range(0, n, 10):
            lines.append("".join(field(rng, width, layout) for _ in range(min(10, n - start))))
    text = eol.join(lines)
    return text + (eol if rng.random() < 0.8 else "")


def damage(rng: random.Random, data: bytes) -> bytes:
    how = rng.randrange(12)
    at = rng.randrange(len(data) + 1)
    if how == 0:
        return data[:at]
    if how == 1:
        return data[:at] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xc0\xaf"]) + data[at:]
    if how == 2:
        return data[:at] + rng.choice(ODD_CHARS).encode() + data[at:]
    if how == 3:
        return data[:at] + rng.choice([b"D", b"x", b" ", b"\t", b"-", b"\r", b"\n", b"\x00"]) + data[at:]
    if how == 4:
        lines = data.split(b"\n")
        del lines[rng.randrange(len(lines))]
        return b"\n".join(lines)
    if how == 5:
        first, _, rest = data.partition(b"\n")
        word = rng.choice([b"-3", b"+", b"3x", b"parameters", b"4294967296", b"0", b"", b"+007", b"\xef\xbc\x93"])
        return first.rsplit(b" ", 1)[0] + b" " + word + b"\n" + rest
    if how == 6:
        return data + b"\n"
    if how == 7:
        return data[:at] + data[at:].replace(b"E", b"e", 1)
    if how == 8:
        return data.replace(b" ", b"\xc2\xa0", rng.randint(1, 3))
    if how == 9:
        # A run longer than the reader's 8192-byte buffer: lines that cross
        # refills, multi-byte characters split between two reads.
        unit = rng.choice([b" ", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9d\x9c\x8b", b"7"])
        return data[:at] + unit * (rng.randint(8000, 9000) // len(unit)) + data[at:]
    lines = data.split(b"\n")
    if how == 10:
        i = rng.randrange(len(lines))
        return b"\n".join(lines[: i + 1] + lines[i:])
    i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
    lines[i], lines[j] = lines[j], lines[i]
    return b"\n".join(lines)


def random_case(rng: random.Random) -> tuple[bytes, int]:
    n = rng.choice([1, 2, 3, 9, 10, 11, 12, 21, rng.randint(1, 30)])
    width = rng.choice([12, 12, 15, 15, rng.randint(0, 20)])
    data = plot_text(rng, n, rng.randint(0, 4), width).encode()
    if rng.random() < 0.03:
        # Read with a width far beyond any line: the field bounds wrap around 2**32.
        width = rng.choice([2**31, 2**32 - 1, 429496730])
    if rng.random() < 0.6:
        data = damage(rng, data)
    return data, width


def test_module_agrees_with_slow_reader(tmp_path, capfd):
    tavrel = pytest.importorskip("tavrel")
    rng = random.Random(SEED)
    path = tmp_path / "plot.txt"
    outcomes = {"ok": 0, "panic": 0, "stdout+panic": 0}
    for i in range(FILES):
        data, width = random_case(rng)
        path.write_bytes(data)
        expected = slow_reader.read(str(path).encode(), width)
        outcomes[expected[0]] += 1
        context = f"seed {SEED}, file {i}, width {width}, content {data[:300]!r}"
        capfd.readouterr()
        try:
            first, others = tavrel.rust_read_korvant(str(path), width)
        except BaseException as e:  # noqa: BLE001  (PanicException derives from BaseException)
            assert type(e).__name__ == "PanicException", context
            out = capfd.readouterr().out
            assert expected[0] != "ok", f"{context}: module failed with {e}"
            assert str(e) == expected[-1], context
            if expected[0] == "stdout+panic":
                assert out == expected[1], context
            continue
        assert expected[0] == "ok", f"{context}: module read it, slow reader says {expected}"
        exp_first, exp_others = expected[1]
        assert [bits(v) for v in first] == exp_first, context
        assert [[bits(v) for v in col] for col in others] == exp_others, context
    # The generator must reach every outcome, or the comparison proves little.
    assert all(outcomes.values()), outcomes
    print(f"differential: {FILES} files agreed (seed {SEED}): {outcomes}")


def bits(value: float) -> int:
    assert isinstance(value, float)
    # Widened from binary32: narrowing back is exact, NaN payloads included.
    return struct.unpack("<I", struct.pack("<f", value))[0]
