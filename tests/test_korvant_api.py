"""The one way in: the names korvant exports, the options every reader
shares (the same selection and the same paths through korvant.read,
read_many, korvant.dask), the former keyword workers=, and korvant.export."""

import os
import re
import tomllib

import numpy as np
import pytest

from conftest import korvant_text

korvant = pytest.importorskip("korvant")

ROOT = os.path.join(os.path.dirname(__file__), "..")


def test_the_package_exports_its_public_names_only(run_python):
    result = run_python("""
        import korvant
        print(sorted(name for name in dir(korvant) if not name.startswith("_")))
        print(sorted(korvant.__all__))
        print(korvant.__version__)
    """)
    public, exported, version = result.stdout.splitlines()
    assert public == exported == str(sorted([
        "Batch", "FileMismatchError", "Plot", "PlotFileError", "export", "open_study", "read", "read_chain",
        "read_header", "read_many", "follow", "Follower", "FollowError", "FileTruncatedError", "FileReplacedError"]))
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        assert version == tomllib.load(f)["project"]["version"]


# ------------------------------------------------------------- one selection

def readers():
    """Each front door, as a function of (paths, **options) giving a list of
    (names, values) per file."""
    def dask_frame(paths, **options):
        import korvant.dask

        frame = korvant.dask.read(paths, **options).compute(scheduler="sync")
        names = [c for c in frame.columns if c not in ("file", "time")]
        return [(names, frame[frame["file"] == p][names].to_numpy()) for p in paths]

    def dask_array(paths, **options):
        import korvant.dask

        values = korvant.dask.read_array(paths, **options).compute(scheduler="sync")
        return [(None, v) for v in values]

    def study(paths, **options):
        array = korvant.open_study(paths, **options).compute()
        return [(array.parameter.values.tolist(), run) for run in array.values]

    def backend(paths, **options):
        import xarray as xr
        from korvant.xarray import KorvantBackendEntrypoint

        datasets = [xr.open_dataset(path, engine=KorvantBackendEntrypoint, **options) for path in paths]
        return [(ds.parameter.values.tolist(), ds["values"].values[0]) for ds in datasets]

    return {
        "read": lambda paths, **options: [(p.names, p.values) for p in (korvant.read(q, **options) for q in paths)],
        "read_many": lambda paths, **options: [(p.names, p.values) for p in korvant.read_many(paths, **options)],
        "dask.read": dask_frame,
        "dask.read_array": dask_array,
        "open_study": study,
        "xarray backend": backend,
    }


def needs(door):
    """Skips a door whose optional library is missing."""
    if door.startswith("dask"):
        pytest.importorskip("dask.dataframe")
    if door in ("open_study", "xarray backend"):
        pytest.importorskip("xarray")


@pytest.fixture
def two_files(plot_file):
    names = ["A", "B", "C", "D"]
    return [plot_file(korvant_text([[float(10 * k + p + s) for s in range(3)] for p in range(4)], names=names))
            for k in range(2)]


@pytest.mark.parametrize("door", list(readers()))
@pytest.mark.parametrize("params, columns", [
    ("C", [2]), (1, [1]), (np.int64(-1), [3]), (["D", 0, -3], [3, 0, 1]), ([], []), (None, [0, 1, 2, 3]),
    ("[BD]", [1, 3]), (re.compile("[A-C]"), [0, 1, 2]), (["D", "[!D]"], [3, 0, 1, 2]),
])
def test_every_reader_selects_alike(two_files, door, params, columns):
    needs(door)
    for (names, values), path in zip(readers()[door](two_files, params=params), two_files):
        whole = korvant.read(path)
        assert names is None or names == [whole.names[i] for i in columns]
        assert np.array_equal(values, whole.values[:, columns])


@pytest.mark.parametrize("door", list(readers()))
@pytest.mark.parametrize("params, error, message", [
    (1.5, TypeError, "params must be a name, a pattern, an index or a list of them, not float"),
    (b"A", TypeError, "not bytes"),
    ([True], TypeError, "params holds 'True' (bool): a parameter is a name or a pattern (str, re.Pattern of str) "
                        "or an index (int)"),
    (["E"], KeyError, "no parameter named 'E' in "),
    ([4], IndexError, "parameter 4 is out of range for the 4 parameters of "),
    (["A", "E*"], KeyError, "no parameter name matches 'E*' in "),
    (re.compile("a"), KeyError, "no parameter name matches the pattern 'a' in "),
    ([re.compile(b"A")], TypeError, "(Pattern): a parameter is a name or a pattern (str, re.Pattern of str)"),
])
def test_every_reader_refuses_alike(two_files, door, params, error, message):
    needs(door)
    with pytest.raises(error) as raised:
        readers()[door](two_files, params=params)
    assert message in str(raised.value)


# ----------------------------------------------------------------- one paths

def test_folders_and_patterns_expand_sorted_and_a_miss_is_kept(tmp_path):
    text = korvant_text([[1.5, 2.5]])
    for name in ("b.plt", "a.plt", "c.txt", "[x].plt"):
        (tmp_path / name).write_text(text)
    (tmp_path / "sub.plt").mkdir()  # a folder is no plot file
    folder = [str(tmp_path / n) for n in ("[x].plt", "a.plt", "b.plt")]
    assert [p.path for p in korvant.read_many(tmp_path)] == folder
    assert [p.path for p in korvant.read_many(os.fsencode(tmp_path))] == folder
    # A pattern; a name that is itself a file, pattern characters and all.
    assert [p.path for p in korvant.read_many([str(tmp_path / "?.*"), tmp_path / "[x].plt"])] == [
        str(tmp_path / n) for n in ("a.plt", "b.plt", "c.txt", "[x].plt")]
    with pytest.raises(FileNotFoundError) as raised:
        korvant.read_many([tmp_path / "a.plt", str(tmp_path / "none*.plt")])
    assert raised.value.filename == str(tmp_path / "none*.plt")
    (tmp_path / "empty").mkdir()
    with pytest.raises(IsADirectoryError):
        korvant.read_many(tmp_path / "empty")


# ------------------------------------------------------------------- threads

@pytest.mark.parametrize("call", ["read", "read_many"])
def test_workers_is_the_former_name_of_threads(plot_file, call):
    path = plot_file(korvant_text([[1.5] * 40, [2.5] * 40]))
    function = getattr(korvant, call)
    with pytest.warns(DeprecationWarning, match="workers= is now threads=") as warned:
        old = function(path, workers=2)
    assert warned[0].filename == __file__  # the caller's line
    new = function(path, threads=2)

    def values(result):
        return [plot.values for plot in (result if isinstance(result, list) else [result])]

    assert len(values(old)) == 1 and all(map(np.array_equal, values(old), values(new)))
    with pytest.raises(TypeError, match="give threads= alone"):
        function(path, threads=2, workers=2)
    with pytest.raises(TypeError, match="takes 1 positional argument"):
        function(path, 12)


# -------------------------------------------------------------------- export

# A NaN with its sign bit set, the smallest subnormal, -0.0 and a value
# whose shortest text differs from the file's.
FIELDS = ["-nan", "1.40130E-45", "-0.00000E+00", "1.00000E-01", "nan", "inf"]


def read_back(fmt, path):
    """(names, time, values) of a written file, read with its own library."""
    if fmt == "csv":
        with open(path) as f:
            header, *rows = [line.rstrip("\n").split(",") for line in f]
        table = [[float(x) for x in row] for row in rows]
        return header[1:], np.array([r[0] for r in table]), np.array([r[1:] for r in table], dtype=np.float32)
    if fmt == "parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        return table.column_names[1:], table["time"].to_numpy(), np.column_stack(
            [c.to_numpy() for c in table.columns[1:]])
    if fmt == "hdf5":
        import h5py

        with h5py.File(path) as f:
            return [n.decode() for n in f["names"][:]], f["time"][:], f["values"][:]
    with np.load(path) as f:
        return list(f["names"]), f["time"], f["values"]


@pytest.mark.parametrize("fmt, suffix, library", [
    ("csv", ".csv", None), ("parquet", ".pq", "pyarrow"), ("hdf5", ".hdf5", "h5py"), ("npz", ".npz", None),
])
def test_plot_writes_every_format_exactly(plot_file, tmp_path, fmt, suffix, library):
    if library:
        pytest.importorskip(library)
    plot = korvant.read(plot_file(korvant_text([FIELDS, FIELDS[::-1]], names=["x", "y"])))
    by_method, by_suffix = tmp_path / f"method{suffix}", tmp_path / "new" / f"suffix{suffix}"
    getattr(plot, f"to_{fmt}")(by_method)
    korvant.export.write(plot, by_suffix)
    for path in (by_method, by_suffix):
        names, time, values = read_back(fmt, path)
        assert names == ["x", "y"] and time.tolist() == plot.time.tolist()
        assert np.array_equal(values.view(np.uint32), plot.values.view(np.uint32))  # NaN signs too
    assert sorted(os.listdir(by_suffix.parent)) == [by_suffix.name]


def test_hdf5_chunks_hold_one_parameter(plot_file, tmp_path, monkeypatch):
    h5py = pytest.importorskip("h5py")
    monkeypatch.setattr(korvant.export, "HDF5_CHUNK_ROWS", 4)
    plot = korvant.read(plot_file(korvant_text([[float(s * 3 + p) for s in range(10)] for p in range(3)])),
                        params=[2, 0])
    plot.to_hdf5(tmp_path / "out.h5")
    with h5py.File(tmp_path / "out.h5") as f:
        assert f["values"].chunks == (4, 1) and f["parameters"][:].tolist() == [2, 0]
        assert np.array_equal(f["values"][:, 1], plot["P0"]) and np.array_equal(f["values"][:], plot.values)
        assert dict(f.attrs) == {"source": plot.path, "width": 12, "n_parameters": 3, "complete": True}


@pytest.mark.parametrize("target, options, message", [
    ("out.txt", {}, "cannot tell the format from"),
    ("out.csv", {"format": "xlsx"}, "format must be one of csv, parquet, hdf5, npz, not 'xlsx'"),
])
def test_export_refuses_an_unknown_format(plot_file, tmp_path, target, options, message):
    plot = korvant.read(plot_file(korvant_text([[1.5]])))
    with pytest.raises(ValueError, match=message):
        korvant.export.write(plot, tmp_path / target, **options)
    assert os.listdir(tmp_path) == [os.path.basename(plot.path)]


def test_export_format_overrides_the_suffix(plot_file, tmp_path):
    plot = korvant.read(plot_file(korvant_text([[1.5, 2.5]])))
    korvant.export.write(plot, tmp_path / "out.csv", format="npz")
    with np.load(tmp_path / "out.csv") as f:
        assert np.array_equal(f["values"], plot.values)
