"""The `korvant` command, run as `python -m korvant` in a child process over
generated plot files; every output is read back with its own library and
compared bit for bit with korvant.read."""

import csv
import fcntl
import json
import os
import pty
import select
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

from conftest import child_env, distribution, korvant_text

korvant = pytest.importorskip("korvant")

# Field texts with awkward float32 values: the smallest subnormal, a negative
# zero, an infinity, the largest finite value, ones whose shortest text differs
# from the file's, a NaN with its sign bit set.
SPECIAL = ["1.40130E-45", "-0.00000E+00", "inf", "3.40282E+38", "1.00000E-01", "-9.99999E-05", "-nan"]


def run(*args, env=None, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "korvant", *map(str, args)], env=child_env(**(env or {})),
                          stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=120)


def make_columns(rand, params, steps):
    # Nine significant digits, as width-15 files hold, so that no text shorter
    # than the shortest one reads back to the same float32.
    columns = [[f"{rand.uniform(-1, 1) * 10.0 ** rand.randint(-8, 8):.8E}" for _ in range(steps)]
               for _ in range(params)]
    for k, text in enumerate(SPECIAL):
        columns[k % params][k % steps] = text
    return columns


@pytest.fixture
def plot_path(plot_file, rand):
    # Twelve parameters, so a block spans two data lines; a repeated name and
    # a name with a slash, which HDF5 cannot take as dataset names.
    names = ["A", "B/C", "A"] + [f"P{i}" for i in range(3, 12)]
    return plot_file(korvant_text(make_columns(rand, 12, 7), width=15, names=names), "run.plt")


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def read_back(fmt, out):
    """(names, time, values) of a converted file, read with its own library."""
    if fmt == "csv":
        with open(out, newline="") as f:
            header, *rows = list(csv.reader(f))
        table = np.array([[float(x) for x in row] for row in rows])
        assert header[:4] == ["time", "A", "B_C#1", "A#2"]
        return None, table[:, 0], table[:, 1:].astype(np.float32)  # no names as given
    if fmt == "parquet":
        import pyarrow.parquet as pq
        table = pq.read_table(out)
        columns = [c.to_numpy() for c in table.columns]
        assert all(c.dtype == np.float32 for c in columns[1:])
        assert table.column_names[:4] == ["time", "A", "B_C#1", "A#2"]
        names = json.loads(table.schema.metadata[b"korvant.names"])
        return names, columns[0], np.column_stack(columns[1:])
    if fmt == "hdf5":
        import h5py
        with h5py.File(out) as f:
            # One dataset, chunked a parameter at a time.
            values = f["values"]
            assert values.dtype == np.float32 and values.chunks == (len(values), 1)
            assert f["parameters"][:].tolist() == list(range(12))
            return [n.decode() for n in f["names"][:]], f["time"][:], values[:]
    with np.load(out) as f:
        return list(f["names"]), f["time"], f["values"]


@pytest.mark.parametrize("fmt, suffix", [("csv", ".csv"), ("parquet", ".parquet"), ("hdf5", ".h5"), ("npz", ".npz")])
def test_convert_writes_the_float32_values_exactly(plot_path, tmp_path, fmt, suffix):
    out = tmp_path / "out" / f"converted{suffix}"
    result = run("convert", plot_path, "-o", out)
    assert result.returncode == 0, result.stderr
    plot = korvant.read(plot_path)
    names, time, values = read_back(fmt, out)
    assert fmt == "csv" or names == plot.names
    assert time.tolist() == plot.time.tolist()
    assert np.array_equal(bits(values), bits(plot.values))
    assert os.listdir(out.parent) == [out.name]  # no temporary file left
    if fmt == "csv":  # the shortest texts: SPECIAL[0] at row 0, column 0, SPECIAL[4] at row 4, column 4
        rows = out.read_text().splitlines()
        assert (rows[1].split(",")[1], rows[5].split(",")[5]) == ("1e-45", "0.1")


# HDF5 also with only its last writes failing.
@pytest.mark.parametrize("suffix, fraction", [(".csv", 0.5), (".parquet", 0.5), (".npz", 0.5), (".h5", 0.5),
                                              (".h5", 0.99)])
def test_convert_onto_a_full_disk_fails_cleanly(plot_path, tmp_path, suffix, fraction):
    out = tmp_path / f"out{suffix}"
    assert run("convert", plot_path, "-o", out).returncode == 0
    before = out.read_bytes()
    # A file size limit stands for the full disk: the interpreter ignores
    # SIGXFSZ, so a write past the limit fails with EFBIG.
    limit = int(len(before) * fraction)
    code = (f"import resource, runpy; resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit})); "
            "runpy.run_module('korvant', run_name='__main__')")
    result = subprocess.run([sys.executable, "-c", code, "convert", plot_path, "-o", str(out)], env=child_env(),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [result.stderr.strip()]
    assert result.stderr.startswith(f"korvant: {plot_path}: ") and "File too large" in result.stderr
    assert sorted(os.listdir(tmp_path)) == sorted(["run.plt", out.name]) and out.read_bytes() == before


@pytest.mark.parametrize("fmt", ["csv", "parquet", "hdf5", "npz"])
def test_convert_of_a_batch_with_a_file_without_timesteps(plot_path, plot_file, tmp_path, fmt):
    plot_file("NPARAM 2\nNAME a\nNAME b\n", "empty.plt")
    result = run("convert", tmp_path, "-o", tmp_path / "out", "--to", fmt, "-q")
    assert result.returncode == 0 and result.stderr == ""
    suffix = {"hdf5": ".h5"}.get(fmt, f".{fmt}")
    assert sorted(os.listdir(tmp_path / "out")) == [f"empty{suffix}", f"run{suffix}"]
    if fmt == "hdf5":
        import h5py
        with h5py.File(tmp_path / "out" / "empty.h5") as f, h5py.File(tmp_path / "out" / "run.h5") as g:
            assert "width" not in f.attrs and g.attrs["width"] == 15
            assert [n.decode() for n in f["names"][:]] == ["a", "b"] and f["values"].shape == (0, 2)


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_convert_columns_beside_time_are_unique(plot_file, tmp_path, suffix):
    path = plot_file(korvant_text([["1.0", "2.0"]] * 3, names=["time", "x", "time"]))
    out = tmp_path / f"out{suffix}"
    assert run("convert", path, "-o", out).returncode == 0
    if suffix == ".csv":
        header = out.read_text().splitlines()[0].split(",")
    else:
        import pyarrow.parquet as pq
        header = pq.read_schema(out).names
    assert header == ["time", "time#0", "x", "time#2"]


@pytest.mark.parametrize("fmt", ["csv", "parquet", "hdf5", "npz"])
def test_convert_of_a_file_whose_name_is_not_utf8(tmp_path, fmt):
    path = tmp_path / os.fsdecode(b"\xffrun.plt")
    path.write_text(korvant_text([["1.0", "2.0"]] * 3))
    # -q: the line naming the files is not UTF-8 either.
    result = run("convert", path, "-o", f"{tmp_path / 'out'}{os.sep}", "--to", fmt, "-q")
    assert result.returncode == 0 and result.stderr == ""
    [out] = os.listdir(tmp_path / "out")
    assert os.fsencode(out).startswith(b"\xffrun.")
    if fmt == "parquet":
        import pyarrow.parquet as pq
        with open(tmp_path / "out" / out, "rb") as f:
            assert pq.read_schema(f).metadata[b"korvant.source"] == os.fsencode(path)
    if fmt == "hdf5":
        import h5py
        with h5py.File(tmp_path / "out" / out) as f:
            assert os.fsencode(f.attrs["source"]) == os.fsencode(path)


def test_convert_chooses_parameters_by_name_and_index(plot_path, tmp_path):
    out = tmp_path / "some.npz"
    assert run("convert", plot_path, "-o", out, "--params", "P7,1", "--params", "4").returncode == 0
    expected = korvant.read(plot_path, params=["P7", "B/C", "P4"])
    with np.load(out) as f:
        assert list(f["names"]) == ["P7", "B/C", "P4"]
        assert np.array_equal(bits(f["values"]), bits(expected.values))


def test_convert_of_a_folder_goes_on_past_a_bad_file(plot_file, rand, tmp_path):
    good = [plot_file(korvant_text(make_columns(rand, 3, 4), width=15), f"{stem}.plt") for stem in ("a", "c")]
    bad = plot_file(korvant_text([["1.0", "1.5D+02"]]), "b.plt")
    result = run("convert", tmp_path, "-o", tmp_path / "out", "--to", "npz", "-j", "2")
    assert result.returncode == 1
    assert result.stderr.splitlines() == [result.stderr.strip()]
    assert result.stderr.startswith(f"korvant: {bad}") and "1.5D+02" in result.stderr
    assert sorted(os.listdir(tmp_path / "out")) == ["a.npz", "c.npz"]
    for path in good:
        with np.load(tmp_path / "out" / (os.path.basename(path)[0] + ".npz")) as f:
            assert np.array_equal(bits(f["values"]), bits(korvant.read(path).values))


def test_info_reports_each_file_and_each_failure_on_one_line(plot_path, plot_file, tmp_path):
    text = korvant_text([["1.0"] * 3] * 12)
    cut = plot_file(text[: text.rstrip("\n").rindex("\n") + 1])  # last data line missing
    bad = plot_file(korvant_text([["1.0", "x"]]))
    missing = tmp_path / "missing.plt"
    result = run("info", "--json", "--names", plot_path, bad, missing, cut)
    assert result.returncode == 1
    errors = result.stderr.splitlines()
    assert len(errors) == 2 and "Traceback" not in result.stderr
    assert errors[0].startswith(f"korvant: {bad}:") and errors[1].startswith(f"korvant: {missing}: ")
    records = json.loads(result.stdout)
    plot = korvant.read(plot_path)
    assert records[0] | {"size": 0} == {
        "path": plot_path, "parameters": 12, "timesteps": 7, "width": 15, "time_range": [0.0, 6.0],
        "size": 0, "complete": True, "names": plot.names}
    assert records[0]["size"] == os.path.getsize(plot_path)
    assert (records[1]["path"], records[1]["timesteps"], records[1]["complete"]) == (cut, 2, False)


def test_show_prints_the_ends_and_the_statistics(plot_path):
    result = run("show", plot_path, "P5", "0", "-n", "2", env={"COLUMNS": "200"})
    assert result.returncode == 0, result.stderr
    rows = [line.split() for line in result.stdout.splitlines()[2:] if line.strip()]
    assert rows[0] == ["step", "time", "P5", "A"]
    columns = korvant.read(plot_path, params=["P5", 0]).values
    assert [r[0] for r in rows[1:6]] == ["0", "1", "...", "5", "6"]
    for row, step in zip(rows[1:6], [0, 1, None, 5, 6]):
        if step is not None:
            assert [np.float32(x) for x in row[2:]] == list(columns[step])
    assert [r[0] for r in rows[6:]] == ["min", "t(min)", "max", "t(max)", "mean"]
    assert [np.float32(x) for x in rows[6][1:]] == list(columns.min(axis=0))
    assert [np.float32(x) for x in rows[8][1:]] == list(columns.max(axis=0))
    # The time of each extreme: this file's times are its timestep numbers.
    assert [int(x) for x in rows[7][1:] + rows[9][1:]] == [*columns.argmin(axis=0), *columns.argmax(axis=0)]
    assert [float(x) for x in rows[10][1:]] == pytest.approx(columns.astype(float).mean(axis=0), rel=1e-6)


def test_plot_overlays_files(plot_path, plot_file, rand, tmp_path):
    other = plot_file(korvant_text(make_columns(rand, 12, 9), width=15))
    out = tmp_path / "curves.png"
    result = run("plot", plot_path, "P3", "1", "--overlay", other, "-o", out)
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    result = run("plot", plot_path, "NOPE", "-o", out)
    assert result.returncode == 1 and "'NOPE'" in result.stderr and len(result.stderr.splitlines()) == 1


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["convert", "a.plt", "-o", "out.txt"], ["convert", "a.plt", "b.plt", "-o", "out"],
    ["show", "a.plt", "--steps", "x:y"], ["info", "-j", "0", "a.plt"], ["plot", "a.plt", "-o", "x.png"],
])
def test_usage_errors_exit_2(args):
    result = run(*args)
    assert result.returncode == 2 and "usage: korvant" in result.stderr


@pytest.mark.parametrize("inputs, output, options", [
    (["run.plt"], "run.plt", ["--to", "csv"]),
    (["run.plt"], "run.plt", ["--to", "parquet"]),
    (["x.csv"], "x.csv", []),
    # A folder, spelled another way, that would put x.csv onto itself.
    (["a.plt", "x.csv"], "sub/..", ["--to", "csv"]),
])
def test_convert_refuses_to_write_over_an_input(tmp_path, inputs, output, options):
    (tmp_path / "sub").mkdir()
    text = korvant_text([["1.0", "2.0"]] * 3)
    for name in inputs:
        (tmp_path / name).write_text(text)
    listing = sorted(os.listdir(tmp_path))
    result = run("convert", *(tmp_path / name for name in inputs), "-o", tmp_path / output, *options)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [result.stderr.strip()] and str(tmp_path / inputs[-1]) in result.stderr
    assert sorted(os.listdir(tmp_path)) == listing
    assert all((tmp_path / name).read_text() == text for name in inputs)
    # An existing output that is no input is replaced.
    other = tmp_path / "sub" / "other.csv"
    other.write_text("old")
    assert run("convert", tmp_path / inputs[0], "-o", other, *options).returncode == 0
    assert other.read_bytes() != b"old"


@pytest.mark.parametrize("command", ["info", "show", "convert", "plot"])
def test_help(command):
    result = run(command, "--help")
    assert result.returncode == 0 and result.stdout.startswith(f"usage: korvant {command}")


@pytest.mark.parametrize("module, command, extra", [
    ("pyarrow", ["convert", "-o", "x.parquet"], "parquet"),
    ("h5py", ["convert", "-o", "x.h5"], "hdf5"),
    ("matplotlib", ["plot", "P1", "-o", "x.png"], "plot"),
])
def test_a_missing_library_names_what_to_install(plot_path, tmp_path, module, command, extra):
    (tmp_path / f"{module}.py").write_text("raise ImportError('not installed')\n")
    path_list = os.pathsep.join(filter(None, [str(tmp_path), child_env().get("PYTHONPATH")]))
    options = [str(tmp_path / arg) if arg.startswith("x.") else arg for arg in command[1:]]
    result = run(command[0], plot_path, *options, env={"PYTHONPATH": path_list})
    assert result.returncode == 1 and not list(tmp_path.glob("x.*"))
    assert result.stderr.count("\n") == 1
    assert f"python3-{module}" in result.stderr and f"`pip install {distribution()}[{extra}]`" in result.stderr


def test_progress_bar_only_on_a_terminal(plot_path):
    main, terminal = pty.openpty()
    try:
        # A new pty has no size, and tqdm draws nothing in zero columns.
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
        result = run("info", plot_path, plot_path, plot_path, stderr=terminal)
        shown = b""
        while select.select([main], [], [], 0.2)[0]:
            shown += os.read(main, 65536)
    finally:
        os.close(main)
        os.close(terminal)
    assert result.returncode == 0 and "3/3 files" in shown.decode()
    assert run("info", plot_path, plot_path).stderr == ""


def test_a_parameter_word_is_a_name_before_an_index(plot_file, tmp_path):
    path = plot_file(korvant_text([["1.0", "2.0"]] * 3, names=["1", "x", "y"]))
    out = tmp_path / "some.npz"
    assert run("convert", path, "-o", out, "--params", "1,2,y").returncode == 0
    with np.load(out) as f:
        assert list(f["names"]) == ["1", "y", "y"] and list(f["parameters"]) == [0, 2, 2]
    result = run("show", path, "7")
    assert result.returncode == 1
    assert result.stderr == f"korvant: {path}: parameter 7 is out of range for the 3 parameters of {path}\n"


def test_version():
    from importlib.metadata import PackageNotFoundError, version

    try:
        expected = version(distribution())
    except PackageNotFoundError:
        expected = korvant.__version__
    result = run("--version")
    assert (result.returncode, result.stdout) == (0, f"korvant {expected}\n")
