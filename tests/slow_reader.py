"""An independent, deliberately plain reader of KORVANT plot files.

Written from the rules of the format, not from the module's code, so that
the two can be compared value for value and message for message.  It is slow
on purpose: every number goes through Python's exact decimal parsing, every
line through a strict UTF-8 decode.

`read(path_bytes, width)` returns ("ok", (first, others)) with the values as
binary32 bit patterns, or ("panic", message), or ("stdout+panic", line,
message) when a count-error line is printed first.
"""

from __future__ import annotations

import errno
import os
import re
import struct
import unicodedata
from fractions import Fraction

WHITESPACE = frozenset(
    [chr(c) for c in range(0x09, 0x0E)] + [" ", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)

KIND_NAMES = {
    errno.ENOENT: "NotFound", errno.EACCES: "PermissionDenied", errno.EPERM: "PermissionDenied",
    errno.EISDIR: "IsADirectory", errno.ENOTDIR: "NotADirectory", errno.ELOOP: "FilesystemLoop",
    errno.ENAMETOOLONG: "InvalidFilename", errno.EMFILE: "TooManyOpenFiles", errno.ENFILE: "TooManyOpenFiles",
    errno.ENOMEM: "OutOfMemory", errno.EINVAL: "InvalidInput",
}

UTF8_ERROR = 'Error { kind: InvalidData, message: "stream did not contain valid UTF-8" }'
NUL_ERROR = 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'

DECIMAL = re.compile(rb"(\d*)(?:\.(\d*))?(?:[eE]([+-]?)(\d+))?\Z")
MASK32 = 0xFFFFFFFF


class Panic(Exception):
    pass


def os_description(code: int) -> str:
    return f'Os {{ code: {code}, kind: {KIND_NAMES.get(code, "Uncategorized")}, message: "{os.strerror(code)}" }}'


# --- numbers -------------------------------------------------------------------

F32_MAX_BITS = 0x7F7FFFFF


def f32_bits_of_fraction(x: Fraction) -> int:
    """Round a non-negative exact value to binary32, ties to even."""
    if x == 0:
        return 0
    # Candidates around x: find the largest binary32 value not above x.
    lo, hi = 0, 0x7F800000  # bit patterns, monotone in value for non-negatives
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if bits_value(mid) <= x:
            lo = mid
        else:
            hi = mid
    below = bits_value(lo)
    if below == x:
        return lo
    # `hi` is the next pattern up; 0x7F800000 stands for 2^128 here.
    above = bits_value(hi) if hi < 0x7F800000 else Fraction(2) ** 128
    mid = (below + above) / 2
    if x < mid or (x == mid and lo % 2 == 0):
        return lo
    return hi


def bits_value(bits: int) -> Fraction:
    exponent = bits >> 23
    fraction = bits & 0x7FFFFF
    if exponent == 0:
        return Fraction(fraction, 2 ** 149)
    return Fraction(fraction | 0x800000, 1) * Fraction(2) ** (exponent - 150)


OVERFLOW_EDGE = 2.0 ** 128 - 2.0 ** 103  # halfway between the largest finite and 2^128


def decimal_to_f32_bits(digits: bytes, exponent: int) -> int:
    """binary32 bits of digits * 10^exponent (non-negative), exactly rounded.

    The double nearest the value rounds to the right binary32 unless it sits
    exactly on a binary32 halfway point (double rounding); only then is the
    slow exact path taken."""
    if digits == b"0":
        return 0
    scale = exponent + len(digits)
    if scale > 40:
        return 0x7F800000
    if scale < -50:
        return 0
    d = float(digits + b"e" + str(exponent).encode())
    if d > OVERFLOW_EDGE:
        return 0x7F800000
    if d != OVERFLOW_EDGE:
        bits = struct.unpack("<I", struct.pack("<f", d))[0]
        v = struct.unpack("<f", struct.pack("<I", bits))[0]
        if v == d:
            return bits
        other = bits + 1 if d > v else bits - 1
        w = struct.unpack("<f", struct.pack("<I", other))[0] if other < 0x7F800000 else 2.0 ** 128
        if d != (v + w) / 2:
            return bits
    return f32_bits_of_fraction(Fraction(int(digits)) * Fraction(10) ** exponent)


def parse_f32(text: bytes):
    """The bit pattern, or "Empty" / "Invalid"."""
    if not text:
        return "Empty"
    negative = text[:1] == b"-"
    if text[:1] in (b"+", b"-"):
        text = text[1:]
        if not text:
            return "Invalid"
    m = DECIMAL.match(text)
    if m and (m.group(1) or m.group(2)):
        digits = m.group(1) + (m.group(2) or b"")
        exponent = 0
        if m.group(4) is not None:
            for d in m.group(4):
                if exponent < 65536:
                    exponent = exponent * 10 + (d - 48)
            if m.group(3) == b"-":
                exponent = -exponent
        exponent -= len(m.group(2) or b"")
        bits = decimal_to_f32_bits(digits.lstrip(b"0") or b"0", exponent)
    elif text.lower() in (b"inf", b"infinity"):
        bits = 0x7F800000
    elif text.lower() == b"nan":
        bits = 0x7FC00000
    else:
        return "Invalid"
    return bits | 0x80000000 if negative else bits


# --- text ------------------------------------------------------------------------

def split_words(text: str) -> list[str]:
    words, current = [], []
    for c in text:
        if c in WHITESPACE:
            if current:
                words.append("".join(current))
                current = []
        else:
            current.append(c)
    if current:
        words.append("".join(current))
    return words


def trim(text: str) -> str:
    start, end = 0, len(text)
    while start < end and text[start] in WHITESPACE:
        start += 1
    while end > start and text[end - 1] in WHITESPACE:
        end -= 1
    return text[start:end]


def shown(c: str) -> str:
    category = unicodedata.category(c)
    hidden = category in ("Mn", "Me", "Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs") and c != " "
    return f"\\u{{{ord(c):x}}}" if hidden else c


def lines_of(data: bytes):
    """The lines as the module's line source gives them (bytes or UTF8_ERROR)."""
    pos = 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            raw, pos = data[pos:], len(data)
        else:
            raw, pos = data[pos:end + 1], end + 1
        try:
            raw.decode("utf-8")
        except UnicodeDecodeError:
            yield None
            continue
        if raw.endswith(b"\n"):
            raw = raw[:-1]
            if raw.endswith(b"\r"):
                raw = raw[:-1]
        yield raw


def take_field(line: bytes, k: int, width: int) -> bytes:
    start, end = (k * width) & MASK32, ((k + 1) * width) & MASK32
    n = len(line)

    def boundary(i):
        return i == 0 or i == n or (line[i] & 0xC0) != 0x80

    def inside(i):
        b = i
        while (line[b] & 0xC0) == 0x80:
            b -= 1
        e = b + 1
        while e < n and (line[e] & 0xC0) == 0x80:
            e += 1
        return f"'{shown(line[b:e].decode())}' (bytes {b}..{e} of string)"

    if start <= end <= n and boundary(start) and boundary(end):
        return line[start:end]
    if start > n:
        raise Panic(f"start byte index {start} is out of bounds for string of length {n}")
    if end > n:
        raise Panic(f"end byte index {end} is out of bounds for string of length {n}")
    if start <= end and not boundary(start):
        raise Panic(f"start byte index {start} is not a char boundary; it is inside {inside(start)}")
    if start <= end and not boundary(end):
        raise Panic(f"end byte index {end} is not a char boundary; it is inside {inside(end)}")
    raise Panic(f"byte range starts at {start} but ends at {end}")


# --- the reader ------------------------------------------------------------------

def read(path: bytes, width: int):
    stdout = None
    try:
        if b"\0" in path:
            raise Panic("Plot file not found!: " + NUL_ERROR)
        try:
            with open(path, "rb") as f:
                data = f.read()
        except IsADirectoryError:
            raise Panic("Failed to read line!: " + os_description(errno.EISDIR))
        except OSError as e:
            raise Panic("Plot file not found!: " + os_description(e.errno))
        lines = lines_of(data)

        def next_line():
            line = next(lines, False)
            if line is None:
                raise Panic("Failed to read line!: " + UTF8_ERROR)
            return line

        first = next_line()
        if first is False:
            raise Panic("Failed ot read line!")
        words = split_words(first.decode())
        n = 0
        if words:
            word = words[-1]
            digits = word[1:] if word.startswith("+") else word
            valid = digits and all("0" <= c <= "9" for c in digits)
            # Leading zeros count for nothing; more than 10 digits always overflow.
            if not (valid and len(digits.lstrip("0")) <= 10 and int(digits.lstrip("0") or "0") <= MASK32):
                stdout = f"Error: '{word}' is not a valid number of parameters!\n"
                raise Panic(f"The first line should end with the number of parameters:\n'{first.decode()}'")
            n = int(digits)
        if n == 0:
            raise Panic("capacity overflow")
        for _ in range(n):
            if next_line() is False:
                raise Panic("Failed to read line!")
        if n - 1 > 178956970:
            raise Panic("capacity overflow")
        columns = [[] for _ in range(n)]
        while next_line() is not False:
            line = None
            for t in range(n):
                if t % 10 == 0:
                    line = next_line()
                    if line is False:
                        raise Panic("Error reading line")
                field = take_field(line, t % 10, width).decode()
                value = parse_f32(trim(field).encode())
                if isinstance(value, str):
                    raise Panic(f"Could not parse line: ParseFloatError {{ kind: {value} }}")
                columns[t].append(value)
        return ("ok", (columns[0], columns[1:]))
    except Panic as panic:
        if stdout is not None:
            return ("stdout+panic", stdout, str(panic))
        return ("panic", str(panic))


def float_bits(value: float) -> int:
    """The binary32 pattern of a float that holds a binary32 value exactly."""
    return struct.unpack("<I", struct.pack("<f", value))[0]
