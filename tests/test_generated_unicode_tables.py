"""The committed Unicode range tables are what the generator makes today."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
GENERATOR = ROOT / "tools" / "gen_unicode_tables.py"
COMMITTED = ROOT / "src" / "text" / "unicode_tables.inc"
UNICODE_DIR = pathlib.Path("/usr/share/unicode")


@pytest.mark.skipif(
    not (UNICODE_DIR / "UnicodeData.txt").exists(), reason="the unicode-data package is not installed"
)
def test_committed_tables_match_the_generator(tmp_path):
    output = tmp_path / "unicode_tables.inc"
    subprocess.run(
        [sys.executable, str(GENERATOR), "--unicode-dir", str(UNICODE_DIR), "--output", str(output)], check=True
    )
    assert output.read_bytes() == COMMITTED.read_bytes(), (
        "src/text/unicode_tables.inc is stale: rerun tools/gen_unicode_tables.py"
    )
