"""A study as one xarray object: Plot.to_xarray, korvant.open_study (lazy
through Dask on the threaded scheduler and a two-process cluster, and
eager) and the xarray backend through xr.open_dataset and open_mfdataset,
against korvant.read of each file."""

import numpy as np
import pytest

from test_study import bits, plot_text

xr = pytest.importorskip("xarray")
korvant = pytest.importorskip("korvant")
from korvant.xarray import KorvantBackendEntrypoint  # noqa: E402


def test_plot_to_xarray_shares_the_values(plot_file):
    plot = korvant.read(plot_file(plot_text(["A", "B"], [0.5, 1.5, 2.5])), partial=True)
    array = plot.to_xarray()
    assert array.dims == ("time", "parameter") and np.shares_memory(array.values, plot.values)
    assert array.sel(parameter="B").values.tolist() == plot["B"].tolist()
    assert array.time.values.tolist() == [0.5, 1.5, 2.5]
    assert array.attrs == {"path": plot.path, "n_parameters": 2, "complete": 1, "width": 12}


def test_plot_to_xarray_of_a_chain_gives_each_timesteps_file(plot_file):
    paths = [plot_file(plot_text(["A"], [0.0, 1.0, 2.0])), plot_file(plot_text(["A"], [1.0, 2.0], seed=1))]
    array = korvant.read_chain(paths).to_xarray()
    assert array.segment.values.tolist() == [0, 1, 1] and array.attrs["sources"] == paths


def test_plot_html_names_what_the_file_holds(plot_file):
    text = plot_text([f"N{i}" for i in range(12)], [0.5, 1.5, 2.5])
    plot = korvant.read(plot_file(text[:-10], "<b>.plt"), partial=True, params=list(range(11)))
    page = plot._repr_html_()
    for cell in ("&lt;b&gt;.plt", ">2<", ">11 of 12<", ">0.5 to 1.5<", ">12<", "no: the last timestep is cut off",
                 "N0, N1, N2, N3, N4, N5, N6, N7, ...<"):
        assert cell in page
    assert "<b>" not in page


# ----------------------------------------------------------------- open_study

@pytest.fixture
def runs(plot_file, tmp_path):
    """Runs of different lengths and names, and one of each failure."""
    good = [plot_file(plot_text(["A", "B", "C"], [0.0, 1.0, 2.0], seed=0), "r0.plt"),
            plot_file(plot_text(["C", "A"], [0.0, 1.0], seed=1), "r1.plt"),
            plot_file(plot_text(["A", "B", "C"], [0.0, 1.0, 2.0, 3.0], seed=2), "r2.plt")]
    cut = plot_text(["A", "B", "C"], [0.0, 1.0, 2.0], seed=3)[:-6]
    damaged = plot_text(["A", "B", "C"], [0.0, 1.0], seed=4).replace("4.01025E+03", "    1.5D+02")
    bad = [plot_file(cut, "r3.plt"), plot_file(damaged, "r4.plt"), str(tmp_path / "r5.plt")]
    return good, bad


def expected(path, names, length):
    """The run at `path` read alone, its columns by name, NaN padded."""
    plot = korvant.read(path, partial=True)
    out = np.full((length, len(names)), np.nan, np.float32)
    for j, name in enumerate(names):
        if name in plot.names:
            out[: len(plot), j] = plot[name]
    return out


# A parameter that a run lacks is NaN throughout it, and numpy says so of its maximum.
@pytest.mark.filterwarnings("ignore:All-NaN slice encountered:RuntimeWarning")
@pytest.mark.parametrize("lazy", [True, False])
def test_open_study_pads_runs_and_finds_names(runs, compute, lazy):
    good, _ = runs
    study = korvant.open_study(good, lazy=lazy)
    assert study.dims == ("run", "time", "parameter") and study.dtype == np.float32
    assert (hasattr(study.data, "dask")) == lazy
    assert study.run.values.tolist() == ["r0", "r1", "r2"] and study.path.values.tolist() == good
    assert study.parameter.values.tolist() == ["A", "B", "C"] and study.time.values.tolist() == [0, 1, 2, 3]
    assert study.timesteps.values.tolist() == [3, 2, 4] and "error" not in study.coords
    values = compute(study).values if lazy else study.values
    for k, path in enumerate(good):
        assert np.array_equal(bits(values[k]), bits(expected(path, ["A", "B", "C"], 4)))
    maxima = compute(study.max("time")) if lazy else study.max("time")
    assert np.array_equal(maxima.values, np.nanmax(values, axis=1), equal_nan=True)


@pytest.mark.filterwarnings("ignore:All-NaN slice encountered:RuntimeWarning")
def test_open_study_keeps_good_runs_and_says_why_others_failed(runs, compute):
    good, bad = runs
    paths = good + bad
    with pytest.raises(korvant.PlotFileError, match="ends inside"):
        korvant.open_study(paths, params="[AC]")
    study = korvant.open_study(paths, params="[AC]", errors="skip")
    assert study.run.values.tolist() == ["r0", "r1", "r2", "r4"]  # the damage of r4 shows only in its values
    assert [line.split(":")[0] for line in study.attrs["failed"]] == [bad[0], bad[2]]
    result = compute(study.max("time"))  # the error coordinate is computed along
    assert result.error.values.tolist()[:3] == ["", "", ""] and "'1.5D+02' is not a number" in result.error.values[3]
    assert np.isnan(result.values[3]).all() and not np.isnan(result.values[:3, 0]).any()
    partial = compute(korvant.open_study(paths, errors="partial"))
    assert partial.run.values.tolist() == ["r0", "r1", "r2", "r3", "r4"]
    assert partial.complete.values.tolist() == [True, True, True, False, True]
    assert np.array_equal(bits(partial.values[3]), bits(expected(bad[0], ["A", "B", "C"], 4)))


@pytest.mark.parametrize("later, changed", [
    ([0.0, 1.0, 2.0, 3.0], False),  # a run still going: grown, its first timesteps as they were
    ([0.0, 1.5, 2.0], True),  # replaced, or restarted over itself: other times
    ([0.0, 1.0], True),  # cut back
])
def test_a_run_that_changed_after_opening_fails_in_its_values(plot_file, compute, later, changed):
    paths = [plot_file(plot_text(["A"], [0.0, 1.0, 2.0], seed=k), f"r{k}.plt") for k in range(2)]
    skipping, raising = (korvant.open_study(paths, errors=errors) for errors in ("skip", "raise"))
    with open(paths[1], "w") as f:
        f.write(plot_text(["A"], later, seed=5))
    result = compute(skipping)
    assert result.error.values[0] == ""
    assert np.array_equal(bits(result.values[0, :, 0]), bits(korvant.read(paths[0])["A"]))
    if changed:
        assert "study was opened" in result.error.values[1] and np.isnan(result.values[1]).all()
        with pytest.raises(ValueError, match="study was opened"):
            compute(raising)
    else:
        assert result.error.values[1] == ""
        assert np.array_equal(bits(result.values[1, :, 0]), bits(korvant.read(paths[1])["A"][:3]))


@pytest.mark.parametrize("times, axis", [
    ([[0.0, 1.0, 2.0], [0.5, 1.0, 3.0]], [0.0, 0.5, 1.0, 2.0, 3.0]),  # the union, each run at its times
    ([[0.0, 1.0, 2.0], [0.0, 2.0, 1.0]], None),  # a time that goes back: the axis counts timesteps
])
def test_open_study_time_axis(plot_file, times, axis):
    paths = [plot_file(plot_text(["A"], t, seed=k)) for k, t in enumerate(times)]
    study = korvant.open_study(paths).compute()
    assert (study.time.values.tolist() if "time" in study.coords else None) == axis
    for k, path in enumerate(paths):
        plot = korvant.read(path)
        where = [axis.index(t) for t in plot.time] if axis else list(range(len(plot)))
        assert np.array_equal(bits(study.values[k, where, 0]), bits(plot["A"]))
        assert np.isnan(np.delete(study.values[k, :, 0], where)).all()


# ------------------------------------------------------------------- backend

def test_backend_reads_only_the_columns_indexed(plot_file):
    text = plot_text(["A", "B", "C"], [0.0, 1.0], seed=5).replace("5.01125E+03", "    1.5D+02")
    path = plot_file(text, "run7.plt")
    dataset = xr.open_dataset(path, engine=KorvantBackendEntrypoint)
    assert dataset["values"].dims == ("run", "time", "parameter") and dataset.run.values.tolist() == ["run7"]
    assert dataset.attrs == {"n_parameters": 3, "complete": 1, "width": 12}
    plot = korvant.read(path, params=["A", "C"])
    assert np.array_equal(bits(dataset["values"].sel(parameter=["A", "C"]).values[0]), bits(plot.values))
    assert dataset["values"][0, 1, 2].item() == plot["C"][1]
    assert dataset["values"].isel(run=0, time=[1, 0], parameter=2).values.tolist() == plot["C"][[1, 0]].tolist()
    with pytest.raises(korvant.PlotFileError, match="1.5D"):
        dataset["values"].sel(parameter="B").values


def test_backend_entry_point_as_xarray_calls_it(runs):
    good, _ = runs
    backend = KorvantBackendEntrypoint()
    assert backend.guess_can_open(good[0]) and backend.guess_can_open("x.plt.gz")
    assert not backend.guess_can_open("x.nc") and not backend.guess_can_open(object())
    dataset = backend.open_dataset(good[0], params="[BC]", drop_variables=["path"])
    assert dataset.parameter.values.tolist() == ["B", "C"] and "path" not in dataset.coords


@pytest.mark.parametrize("join", [None, "outer"])
def test_open_mfdataset_joins_runs_along_run(runs, compute, join):
    good, _ = runs
    paths = good if join else [good[0], good[0].replace("r0", "r0b")]
    if not join:
        with open(good[0]) as f, open(paths[1], "w") as g:
            g.write(f.read())
    options = {"join": join} if join else {}
    dataset = xr.open_mfdataset(paths, engine=KorvantBackendEntrypoint, combine="nested", concat_dim="run",
                                **options)
    study = korvant.open_study(paths)
    assert dataset.run.values.tolist() == study.run.values.tolist()
    assert dataset.path.values.tolist() == paths
    aligned = compute(dataset["values"]).sel(parameter=study.parameter.values, time=study.time.values)
    assert np.array_equal(bits(aligned.values), bits(compute(study).values))
