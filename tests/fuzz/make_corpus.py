"""Writes the seed corpora of the fuzz targets into DIR/reader and DIR/parse.

    python3.14 tests/fuzz/make_corpus.py DIR

Reader seeds are small generated plot files (realistic and distinct, widths
12 and 15, a few shapes), the sample file, and a handful of damaged ones; the
first byte of each selects the width.  Parse seeds are typical fields and
the hard cases of binary32 rounding.
"""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import korvant_gen  # noqa: E402

WIDTH_CODE = {12: 0, 15: 3}


def main() -> None:
    out = Path(sys.argv[1])
    reader, parse = out / "reader", out / "parse"
    reader.mkdir(parents=True, exist_ok=True)
    parse.mkdir(parents=True, exist_ok=True)
    tmp = out / "tmp.plt"
    count = 0
    for width in (12, 15):
        for params, blocks in ((1, 3), (10, 2), (11, 2), (23, 3)):
            for distinct in (False, True):
                korvant_gen.write_plot_file(tmp, params, blocks, width, distinct, seed=params)
                body = tmp.read_bytes()
                variants = [body, body.replace(b"\n", b"\r\n"), body[: len(body) // 2],
                            body.replace(b"E", b"D", 1), body + b"\n"]
                for v in variants:
                    (reader / f"seed{count:03d}").write_bytes(bytes([WIDTH_CODE[width]]) + v)
                    count += 1
    tmp.unlink()
    sample = (ROOT / "examples" / "sample.plt").read_bytes()
    (reader / "sample").write_bytes(bytes([0]) + sample[:4000])
    fields = ["1.23456E+02", "-4.56789E-05", "0.00000E+00", "1.23456789E-03", "16777217", "3.4028235e38",
              "3.4028236e38", "1e-45", "7.1e-46", "7e-46", "-0", ".5", "1.", "inf", "-nan",
              "1" + "0" * 60 + "1e-60", "0." + "0" * 45 + "7006492321624085354618647916449580656401309709382578858785341419448955413429303e-0"]
    for i, f in enumerate(fields):
        (parse / f"seed{i:03d}").write_text(f)


if __name__ == "__main__":
    main()
