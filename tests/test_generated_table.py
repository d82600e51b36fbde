"""The committed powers-of-five table is exactly what its generator writes."""

import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
GENERATOR = ROOT / "tools" / "gen_pow5_table.py"
COMMITTED = ROOT / "src" / "text" / "pow5_table.inc"


def test_generator_reproduces_committed_table(tmp_path):
    out = tmp_path / "pow5_table.inc"
    subprocess.run([sys.executable, str(GENERATOR), str(out)], check=True)
    assert out.read_bytes() == COMMITTED.read_bytes()

