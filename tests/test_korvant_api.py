"""The one way in: the names korvant exports, the options every reader
shares (the same selection and the same paths through korvant.read,
read_many, korvant.dask) and the former keyword workers=."""

import os
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
    assert public == exported == str(sorted(["Plot", "PlotFileError", "read", "read_header", "read_many"]))
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

    return {
        "read": lambda paths, **options: [(p.names, p.values) for p in (korvant.read(q, **options) for q in paths)],
        "read_many": lambda paths, **options: [(p.names, p.values) for p in korvant.read_many(paths, **options)],
        "dask.read": dask_frame,
        "dask.read_array": dask_array,
    }


@pytest.fixture
def two_files(plot_file):
    names = ["A", "B", "C", "D"]
    return [plot_file(korvant_text([[float(10 * k + p + s) for s in range(3)] for p in range(4)], names=names))
            for k in range(2)]


@pytest.mark.parametrize("door", list(readers()))
@pytest.mark.parametrize("params, columns", [
    ("C", [2]), (1, [1]), (np.int64(-1), [3]), (["D", 0, -3], [3, 0, 1]), ([], []), (None, [0, 1, 2, 3]),
])
def test_every_reader_selects_alike(two_files, door, params, columns):
    if door.startswith("dask"):
        pytest.importorskip("dask.dataframe")
    for (names, values), path in zip(readers()[door](two_files, params=params), two_files):
        whole = korvant.read(path)
        assert names is None or names == [whole.names[i] for i in columns]
        assert np.array_equal(values, whole.values[:, columns])


@pytest.mark.parametrize("door", list(readers()))
@pytest.mark.parametrize("params, error, message", [
    (1.5, TypeError, "params must be a name, an index or a list of them, not float"),
    (b"A", TypeError, "not bytes"),
    ([True], TypeError, "params holds 'True' (bool): a parameter is a name (str) or an index (int)"),
    (["E"], KeyError, "no parameter named 'E' in "),
    ([4], IndexError, "parameter 4 is out of range for the 4 parameters of "),
])
def test_every_reader_refuses_alike(two_files, door, params, error, message):
    if door.startswith("dask"):
        pytest.importorskip("dask.dataframe")
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
