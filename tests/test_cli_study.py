"""The `korvant` command on a study: a folder of runs with different
parameter lists, one cut off and one damaged, shown, summed up, plotted and
converted (per file, as a chain, as one Parquet dataset), against
korvant.read of each file by name."""

import os

import numpy as np
import pytest

from test_cli import run
from test_study import bits, plot_text

korvant = pytest.importorskip("korvant")


@pytest.fixture
def study(tmp_path):
    """runs/: r0 and r2 write TEMP-1, TEMP-2 and PRES; r1 lacks TEMP-2 and
    has them in another order; r3 is cut off inside its last timestep; r4
    has a field that is no number in its second timestep."""
    folder = tmp_path / "runs"
    folder.mkdir()
    names = ["TEMP-1", "TEMP-2", "PRES"]
    texts = {"r0": plot_text(names, [0.0, 0.5, 1.0], seed=0),
             "r1": plot_text(["PRES", "TEMP-1"], [0.0, 0.5, 1.0, 1.5], seed=1),
             "r2": plot_text(names, [0.0, 0.5], seed=2),
             "r3": plot_text(names, [0.0, 0.5, 1.0], seed=3)[:-6],
             "r4": plot_text(names, [0.0, 0.5], seed=4).replace("4.01025E+03", "    1.5D+02")}
    for stem, text in texts.items():
        (folder / f"{stem}.plt").write_text(text)
    return folder


def expected(folder, stem, name):
    plot = korvant.read(folder / f"{stem}.plt", partial=True)
    return plot[name] if name in plot.names else np.full(len(plot), np.nan, np.float32)


def test_show_gives_each_runs_extremes_and_their_times(study):
    result = run("show", study, "TEMP-*")
    assert result.returncode == 1
    failed = [line.split(":")[1].strip() for line in result.stderr.splitlines()]
    assert failed == [str(study / "r3.plt"), str(study / "r4.plt")]
    header, *rows = [line.split() for line in result.stdout.splitlines()[2:]]
    assert header == ["run", "parameter", "timesteps", "min", "t(min)", "max", "t(max)", "mean"]
    assert [row[:3] for row in rows] == [["r0", "TEMP-1", "3"], ["r0", "TEMP-2", "3"], ["r1", "TEMP-1", "4"],
                                         ["r1", "TEMP-2", "4"], ["r2", "TEMP-1", "2"], ["r2", "TEMP-2", "2"]]
    for row in rows:
        values = expected(study, row[0], row[1])
        time = korvant.read(study / f"{row[0]}.plt").time
        if np.isnan(values).all():
            assert row[3:] == ["-"] * 5
        else:
            assert [np.float32(row[3]), np.float32(row[5])] == [values.min(), values.max()]
            assert [float(row[4]), float(row[6])] == [time[values.argmin()], time[values.argmax()]]


def test_info_sums_up_the_study(study):
    result = run("info", "--summary", "--errors", "partial", study / "r*.plt")
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and "r4.plt" in result.stderr
    assert result.stdout.splitlines() == [
        "study: 5 files, 4 read, 1 failed", "  complete    3 of 4 (1 cut off)",
        "  parameters  2 in every run, 1 in some only", "  timesteps   2 to 4", "  time        0 to 1.5"]


@pytest.mark.parametrize("options", [[], ["--band"], ["--errors", "partial", "--band"]])
def test_plot_draws_the_runs_of_a_folder(study, tmp_path, options):
    out = tmp_path / "study.png"
    result = run("plot", study, "TEMP-*", "PRES", "-o", out, *options)
    assert result.returncode == 1 and out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    runs = 4 if "partial" in options else 3
    assert result.stdout == f"{out}: 3 panels from {runs} files\n"


def test_convert_writes_one_parquet_dataset_of_the_study(study, tmp_path):
    pd = pytest.importorskip("pandas")
    dataset = pytest.importorskip("pyarrow.dataset")
    out = tmp_path / "dataset"
    result = run("convert", study, "--dataset", out, "--params", "TEMP-*,PRES", "--errors", "partial", "-q")
    assert result.returncode == 1 and "r4.plt" in result.stderr and "r3.plt" not in result.stderr
    frame = pd.read_parquet(out)
    table = dataset.dataset(out, partitioning="hive").to_table().to_pandas()
    for read in (frame, table):
        assert sorted(read["run"].unique()) == ["r0", "r1", "r2", "r3"]
        assert [c for c in read.columns if c != "run"] == ["time", "TEMP-1", "TEMP-2", "PRES"]
        for stem, part in read.groupby("run", observed=True):
            assert part["time"].tolist() == korvant.read(study / f"{stem}.plt", partial=True).time.tolist()
            for name in ("TEMP-1", "TEMP-2", "PRES"):
                assert np.array_equal(bits(part[name]), bits(expected(study, stem, name)))


def test_convert_raise_stops_at_the_first_bad_file(study, tmp_path):
    result = run("convert", study, "-o", tmp_path / "out", "--to", "npz", "--errors", "raise", "-j", "1", "-q")
    assert result.returncode == 1 and result.stderr.count("\n") == 1 and "r3.plt" in result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["r0.npz", "r1.npz", "r2.npz"]


def test_chain_is_plotted_and_converted_as_one_run(tmp_path):
    segments = [tmp_path / "seg0.plt", tmp_path / "seg1.plt"]
    segments[0].write_text(plot_text(["A", "B"], [0.0, 1.0, 2.0, 3.0], seed=0))
    segments[1].write_text(plot_text(["B", "A"], [2.0, 3.0, 4.0], seed=1))
    out = tmp_path / "chain.npz"
    result = run("convert", *segments, "--chain", "-o", out)
    assert result.returncode == 0 and result.stdout == f"2 files -> {out} (2 parameters, 5 timesteps)\n"
    chain = korvant.read_chain(segments)
    with np.load(out) as f:
        assert list(f["names"]) == ["A", "B"] and f["time"].tolist() == [0, 1, 2, 3, 4]
        assert np.array_equal(bits(f["values"]), bits(chain.values))
    image = tmp_path / "chain.png"
    result = run("plot", segments[0], "A", "--overlay", segments[1], "--chain", "-o", image)
    assert result.returncode == 0 and result.stdout == f"{image}: 1 panel from 1 file\n"
