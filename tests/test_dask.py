"""korvant.dask: plot files as Dask collections, computed on a local cluster
of two worker processes and on the threaded scheduler, against korvant.read
of each file."""

import os
import re

import numpy as np
import pytest

pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import korvant  # noqa: E402
import korvant.dask  # noqa: E402
from conftest import child_env, distribution, korvant_text  # noqa: E402

STEPS = 4
PARAMS = 12  # two data lines per block
# Each prints in at most 12 characters: a subnormal, a tie to even, the extremes.
VALUES = [0.1, -0.0, float("inf"), float("nan"), 1e-45, -3.4e38, 16777217.0, 0.3, -2.5e-07, 7.0, 2.5e20]


def columns(seed, steps=STEPS):
    return [[VALUES[(3 * seed + 5 * p + s) % len(VALUES)] for s in range(steps)] for p in range(PARAMS)]


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """Three good files (their glob sorts them as listed) and one of each
    kind of defect."""
    folder = tmp_path_factory.mktemp("study")

    def write(name, text):
        path = folder / name
        path.write_bytes(text.encode())
        return str(path)

    good = [write(f"run{k}.plt", korvant_text(columns(k))) for k in range(3)]
    names = [f"P{i}" for i in range(PARAMS)]
    damaged = korvant_text(columns(5)).replace("inf".rjust(12), "1.5D+02".rjust(12), 1)
    bad = {
        "damaged": write("bad-damaged.txt", damaged),
        "renamed": write("bad-renamed.txt", korvant_text(columns(6), names=names[:7] + ["X"] + names[8:])),
        "fewer-names": write("bad-fewer.txt", korvant_text(columns(6)[:-1])),
        "shorter": write("bad-shorter.txt", korvant_text(columns(7, steps=STEPS - 1))),
    }
    return str(folder / "run*.plt"), good, bad


def bits(values):
    values = np.asarray(values)
    assert values.dtype == np.float32
    return values.view(np.uint32)


@pytest.mark.parametrize("params", [None, ["P11", 3, "P0"], "P1?", re.compile(r"P[05]")])
def test_frame_equals_read_of_each_file(study, compute, params):
    pattern, good, _ = study
    df = korvant.dask.read(pattern, params=params)
    assert df.npartitions == len(good)
    out = compute(df)
    assert out["file"].unique().tolist() == good
    for path in good:
        plot = korvant.read(path, params=params)
        part = out[out["file"] == path]
        assert part.columns.tolist() == ["file", "time", *plot.names]
        assert np.array_equal(bits(part[plot.names].to_numpy()), bits(plot.values))
        assert np.array_equal(part["time"].to_numpy(), plot.time)


def test_frame_reductions_and_narrowed_columns(study, compute):
    pattern, good, _ = study
    df = korvant.dask.read(pattern)
    maxima = compute(df.groupby("file")["P1"].max())
    assert maxima.to_dict() == {path: np.nanmax(korvant.read(path)["P1"]) for path in good}
    # Dask narrows each task's read to the columns asked for.
    out = compute(df[["P5", "file", "P2"]])
    assert out.columns.tolist() == ["P5", "file", "P2"]
    for name in ("P5", "P2"):
        assert np.array_equal(bits(out[name]), bits(np.concatenate([korvant.read(p)[name] for p in good])))
    # Computations of the file and time columns alone read no parameter.
    assert compute(df["time"].sum()) == sum(korvant.read(p).time.sum() for p in good)
    assert compute(df["file"].nunique()) == len(good)
    assert len(df) == STEPS * len(good)


@pytest.mark.parametrize("layer", ["blockwise", "plain graph"])
def test_array_equals_read_of_each_file(study, compute, monkeypatch, layer):
    if layer == "plain graph":  # a Dask without Blockwise values per chunk
        monkeypatch.setattr(korvant.dask, "ArrayValuesDep", None)
    pattern, good, _ = study
    array = korvant.dask.read_array(pattern, params=["P11", 0])
    assert array.shape == (len(good), STEPS, 2)
    assert array.chunks == ((1,) * len(good), (STEPS,), (2,))
    expected = np.stack([korvant.read(path, params=["P11", 0]).values for path in good])
    assert np.array_equal(bits(compute(array)), bits(expected))
    # The count of timesteps is known: slices along time and reductions
    # over files work as on a NumPy array.
    assert np.array_equal(bits(compute(array[:, -1])), bits(expected[:, -1]))
    assert np.array_equal(bits(compute(array[1:, ::-2, 1])), bits(expected[1:, ::-2, 1]))
    assert np.array_equal(compute(array.max(axis=0)), expected.max(axis=0), equal_nan=True)


@pytest.fixture
def native_reads(monkeypatch):
    """The native reads this process makes, as (path, kind): "header" (a
    read stopped after the header), "count" (timesteps without values) or
    "values"."""
    reads = []
    native = korvant._native.read

    def counting(source, width, select, *rest):
        path = os.fsdecode(source)
        if select is None:
            reads.append((path, "values"))
            return native(source, width, select, *rest)

        def watched(names):
            try:
                chosen = select(names)
            except BaseException:
                reads.append((path, "header"))
                raise
            reads.append((path, "values" if chosen else "count"))
            return chosen

        return native(source, width, watched, *rest)

    monkeypatch.setattr(korvant._native, "read", counting)
    return reads


@pytest.mark.parametrize("align", ["fill", "strict"])
@pytest.mark.parametrize("params", [None, ["P3"]])
def test_building_reads_headers_and_the_first_files_count_alone(study, native_reads, align, params):
    pattern, good, _ = study
    headers = [(path, "header") for path in (good if align == "fill" else good[:1])]
    korvant.dask.read(pattern, align=align, params=params)
    assert sorted(native_reads) == headers
    native_reads.clear()
    array = korvant.dask.read_array(pattern, align=align, params=params)
    assert sorted(native_reads) == sorted([*headers, (good[0], "count")])
    # Computing one file's part reads that file alone, once.
    for part in (korvant.dask.read(pattern, align=align, params=params).partitions[1], array[1]):
        native_reads.clear()
        part.compute(scheduler="sync")
        assert native_reads == [(good[1], "values")]


def test_parts_are_the_reads_own_values(study):
    # A copy would hold a file's values twice: the frame's parameter columns
    # and the array's chunk are views of the array the read returned.
    _, good, _ = study

    def owner(values):
        while isinstance(values, (np.ndarray, memoryview)):
            values = values.base if isinstance(values, np.ndarray) else values.obj
        return values

    frame = korvant.dask.read(good[0]).compute(scheduler="sync")
    chunk = korvant.dask.read_array(good[0]).compute(scheduler="sync")
    first, last = (owner(frame[name].to_numpy()) for name in ("P0", f"P{PARAMS - 1}"))
    assert first is last and type(first) is type(owner(chunk)) is korvant._native.Values


@pytest.mark.parametrize(("ending", "tail"), [
    ("\n", ""), ("\r\n", ""), ("\n", "\n \n\n\n"), ("\n", "\u00a0\n\u3000\n\u00a0\u3000\n"),
])
def test_array_shape_counts_the_first_files_timesteps(plot_file, ending, tail):
    array = korvant.dask.read_array(plot_file(korvant_text(columns(1, steps=7)).replace("\n", ending) + tail))
    assert array.shape == (1, 7, PARAMS)
    assert array.compute(scheduler="sync").shape == array.shape


@pytest.mark.parametrize(("form", "defect", "names_first"), [
    ("frame", "damaged", False), ("frame", "renamed", True), ("frame", "fewer-names", True),
    ("array", "damaged", False), ("array", "renamed", True), ("array", "shorter", True),
])
def test_bad_file_fails_its_own_part_on_the_client(study, client, form, defect, names_first):
    _, good, bad = study
    paths = [good[0], bad[defect], good[1]]
    collection = (korvant.dask.read if form == "frame" else korvant.dask.read_array)(paths, align="strict")
    parts = [collection.partitions[k] if form == "frame" else collection[k] for k in range(len(paths))]
    for k in (0, 2):
        assert len(client.compute(parts[k]).result()) == STEPS
    with pytest.raises(korvant.PlotFileError) as info:
        client.compute(parts[1]).result()
    assert info.value.path == bad[defect]
    assert bad[defect] in str(info.value)
    assert (good[0] in str(info.value)) == names_first


@pytest.mark.parametrize("build", [korvant.dask.read, korvant.dask.read_array])
def test_first_file_rewritten_after_building_fails(plot_file, build):
    paths = [plot_file(korvant_text(columns(k))) for k in range(2)]
    collection = build(paths, align="strict")
    renamed = [f"P{i}" for i in range(PARAMS - 1)] + ["X"]
    plot_file(korvant_text(columns(0), names=renamed), os.path.basename(paths[0]))
    with pytest.raises(korvant.dask.FileMismatchError) as info:
        collection.compute(scheduler="sync")
    assert info.value.path == paths[0] and "'X'" in str(info.value)


@pytest.mark.parametrize(("args", "error"), [
    (dict(params=["nope"]), KeyError),
    (dict(params=[PARAMS]), IndexError),
    (dict(params=["P1", 1]), ValueError),
    (dict(params=b"P1"), TypeError),
    (dict(params=[1.0]), TypeError),
    (dict(width=0), ValueError),
    (dict(paths="no-such-*.plt"), FileNotFoundError),
    (dict(paths=[]), ValueError),
])
def test_bad_arguments_fail_when_building(study, args, error):
    args = {"paths": study[0], **args}
    for build in (korvant.dask.read, korvant.dask.read_array):
        with pytest.raises(error):
            build(**args)


def test_korvant_does_not_import_dask_and_its_absence_is_explained(run_python):
    result = run_python("""
        import sys
        import korvant
        assert not {"dask", "distributed"} & {name.split(".")[0] for name in sys.modules}, sorted(sys.modules)
        sys.modules["dask"] = None
        try:
            import korvant.dask
        except ImportError as error:
            print(error)
    """)
    assert f"`pip install {distribution()}[dask]`" in result.stdout and "python3-dask" in result.stdout


def test_korvant_dask_prints_nothing(run_python, study):
    # Debian's Dask, which lacks dask-expr, warns about it whenever
    # dask.dataframe is first imported; korvant's own imports say nothing.
    _, good, _ = study
    result = run_python(f"""
        import korvant.dask
        frame = korvant.dask.read({good[0]!r})
        print(len(frame.compute(scheduler="sync")))
    """)
    assert (result.stdout, result.stderr) == (f"{STEPS}\n", "")


@pytest.mark.parametrize("build", [korvant.dask.read, korvant.dask.read_array])
def test_partial_reads_the_complete_timesteps_of_a_cut_file(plot_file, build):
    text = korvant_text(columns(2))
    paths = [plot_file(text), plot_file(text[:-20])]
    with pytest.raises(korvant.PlotFileError, match="partial=True"):
        build(paths).compute(scheduler="sync")
    if build is korvant.dask.read_array:
        paths = paths[::-1]  # the shape is the first file's: its complete timesteps
        with pytest.raises(korvant.dask.FileMismatchError, match=f"has {STEPS} timesteps where .* has {STEPS - 1}"):
            build(paths, partial=True).compute(scheduler="sync")
        return
    frame = build(paths, partial=True, params="P3").compute(scheduler="sync")
    assert frame.columns.tolist() == ["file", "time", "P3"]
    assert frame.groupby("file").size().to_dict() == {paths[0]: STEPS, paths[1]: STEPS - 1}


def test_frame_finds_each_files_names_where_they_stand(study, compute, plot_file):
    _, good, _ = study
    data = columns(4)
    order = list(range(PARAMS - 1, 0, -1))  # reversed, without P0, and a name of its own
    other = plot_file(korvant_text([data[i] for i in order] + [data[0]], names=[f"P{i}" for i in order] + ["Q"]))
    out = compute(korvant.dask.read([good[0], other], params=["P0", "P3", "Q"]))
    assert out.columns.tolist() == ["file", "time", "P0", "P3", "Q"]
    for path in (good[0], other):
        part, plot = out[out["file"] == path], korvant.read(path)
        for name in ("P0", "P3", "Q"):
            expected = plot[name] if name in plot.names else np.full(STEPS, np.nan, np.float32)
            assert np.array_equal(bits(part[name]), bits(expected))


@pytest.mark.parametrize("form", ["frame", "array"])
@pytest.mark.parametrize("errors", ["skip", "partial"])
def test_skip_keeps_the_good_files(study, compute, form, errors, plot_file, tmp_path):
    _, good, bad = study
    cut = plot_file(korvant_text(columns(8))[:-20])
    paths = [good[0], bad["damaged"], bad["shorter"], cut, good[1], str(tmp_path / "missing.plt")]
    build = korvant.dask.read if form == "frame" else korvant.dask.read_array
    with pytest.raises(FileNotFoundError):
        build(paths)  # a header that cannot be read fails at once
    out = compute(build(paths, errors=errors))
    steps = {good[0]: STEPS, bad["shorter"]: STEPS - 1, good[1]: STEPS}
    if errors == "partial":  # the complete timesteps of the cut file too
        steps[cut] = STEPS - 1
    if form == "frame":  # the damaged file gives no rows, the missing one no partition
        assert out.groupby("file").size().to_dict() == steps
        return
    assert out.shape == (5, STEPS, PARAMS)
    for k, path in enumerate(paths[:5]):  # a file that fails is NaN throughout, a shorter one padded with NaN
        values = korvant.read(path, partial=True).values if path in steps else np.empty((0, PARAMS), np.float32)
        assert np.array_equal(bits(out[k, : len(values)]), bits(values)) and np.isnan(out[k, len(values):]).all()
