"""The floors bench/bench_floors.py times korvant against: the .npy, .h5 and
.parquet files it makes must hold exactly the values korvant.read returns,
in the same layout, and the byte floor must read every byte of the file."""

import os
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import MODULE_DIR

korvant = pytest.importorskip("korvant")
h5py = pytest.importorskip("h5py")
pq = pytest.importorskip("pyarrow.parquet")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import bench_floors  # noqa: E402
import bench_read  # noqa: E402
import readers  # noqa: E402


@pytest.mark.parametrize("width", [12, 15])
def test_floor_files_hold_the_values_korvant_reads(tmp_path, width):
    env = dict(os.environ)
    if MODULE_DIR:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    # 2 MB: more than one 1 MiB buffer, and not a whole number of them.
    plot = bench_read.prepare(tmp_path, "realistic", width, 2, env)
    files = bench_floors.floor_files(plot, env)
    expected = korvant.read(plot.path, width=width)
    path = str(plot.path)

    npy = readers.read_npy(path, width, None)
    h5 = readers.read_h5(path, width, None)
    table = readers.read_parquet(path, width, None)
    assert set(files) == {"npy", "h5", "parquet"}
    for values in (npy, h5):
        assert values.dtype == np.float32
        np.testing.assert_array_equal(values, expected.values)
    assert table.column_names == expected.names
    assert all(str(t) == "float" for t in table.schema.types)
    np.testing.assert_array_equal(np.column_stack([c.to_numpy() for c in table.columns]), expected.values)
    for result in (npy, h5, table):
        assert readers.count_values(result) == expected.values.size

    assert readers.read_bytes_reused(path, width, None) == plot.path.stat().st_size > 1 << 20
