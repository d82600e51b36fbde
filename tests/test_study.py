"""Studies: parameters chosen by pattern, what a bad file does to a batch
(errors=), names matched across files (align=) and restart chains, through
korvant.read_many and korvant.read_chain, against korvant.read of each file."""

import gzip
import re

import numpy as np
import pytest

from conftest import korvant_text

korvant = pytest.importorskip("korvant")


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def plot_text(names, times, seed=0):
    """A plot file whose lead lines carry `times`, each value distinct."""
    lines = [f"NPARAM {len(names)}"] + [f"NAME {name}" for name in names]
    for step, time in enumerate(times):
        lines.append(f"TIME {time!r} STEP {step}")
        row = [f"{seed * 1000 + step * 10 + p + 0.25:.5E}".rjust(12) for p in range(len(names))]
        lines += ["".join(row[k:k + 10]) for k in range(0, len(row), 10)]
    return "\n".join(lines) + "\n"


# ------------------------------------------------------------------ patterns

NAMES = ["TEMP-0011", "TEMP-0025", "temp-0012", "VOL-P.1", "VOL-PX2", "TEMP-0040", "A[1]", "A1", "X", "X"]


@pytest.mark.parametrize("params, expected", [
    ("TEMP-00[1-3]?", [0, 1]),  # case-sensitive, fnmatch's ranges
    ("VOL-P.*", [3]),  # the dot is itself
    (re.compile(r"VOL-P.\d"), [3, 4]),  # a regular expression, matched whole
    (re.compile("TEMP-00[0-9]+"), [0, 1, 5]),
    (["VOL-P.*", "TEMP-0040", "TEMP-*"], [3, 5, 0, 1, 5]),  # keys in the order given, matches in the file's
    ("A[1]", [6]),  # a name of the file is that name, wildcards and all
    ("A?", [7]),
    ("X*", [8, 9]),  # a pattern takes a repeated name, which a name cannot
])
def test_patterns_select_in_the_files_order(plot_file, params, expected):
    path = plot_file(korvant_text([[1.5, 2.5]] * len(NAMES), names=NAMES))
    plot = korvant.read(path, params=params)
    assert plot.parameters == expected and plot.names == [NAMES[i] for i in expected]
    assert np.array_equal(bits(plot.values), bits(korvant.read(path).values[:, expected]))


def test_a_pattern_that_matches_nothing_names_itself(plot_file):
    path = plot_file(korvant_text([[1.5]] * 2, names=["A", "B"]))
    with pytest.raises(KeyError, match=r"no parameter name matches 'a\*' in "):
        korvant.read(path, params=["A", "a*"])
    with pytest.raises(KeyError, match="repeated"):
        korvant.read(plot_file(korvant_text([[1.5]] * 2, names=["X", "X"])), params="X")


def test_each_header_gets_its_own_selection(plot_file):
    """Files read one after another, some sharing a header: each is
    resolved against its own names, and a failure names its own file."""
    a = plot_file(plot_text(["X1", "Y", "X2"], [0.0, 1.0]), "a.plt")
    b = plot_file(plot_text(["Y", "X2", "X1"], [0.0, 1.0], seed=1), "b.plt")
    c = plot_file(plot_text(["X1", "Z"], [0.0, 1.0], seed=2), "c.plt")
    for path, expected in [(a, [1, 0, 2]), (b, [0, 1, 2]), (a, [1, 0, 2]), (b, [0, 1, 2])]:
        plot = korvant.read(path, params=["Y", "X*"])
        assert plot.parameters == expected
        assert np.array_equal(bits(plot.values), bits(korvant.read(path).values[:, expected]))
    with pytest.raises(KeyError, match="'Y'.* in .*c.plt"):
        korvant.read(c, params=["Y", "X*"])
    with pytest.raises(KeyError, match="'Y'.* in .*c.plt"):
        korvant.read(c, params=["Y", "X*"])


# -------------------------------------------------------------- bad files

@pytest.fixture
def batch(plot_file, tmp_path):
    """Files in the order read: good, cut inside its last timestep, a field
    that is no number, missing, good."""
    names = ["A", "B", "C"]
    cut = plot_text(names, [0.0, 1.0, 2.0], seed=1)
    damaged = plot_text(names, [0.0, 1.0], seed=2).replace("2.00025E+03", "    1.5D+02", 1)
    return [plot_file(plot_text(names, [0.0, 1.0, 2.0], seed=0), "a.plt"),
            plot_file(cut[:-8], "b.plt"), plot_file(damaged, "c.plt"), str(tmp_path / "d.plt"),
            plot_file(plot_text(names, [0.0, 1.0, 2.0, 3.0], seed=4), "e.plt")]


@pytest.mark.parametrize("params", [None, ["C", "A"]])
@pytest.mark.parametrize("errors, read, failed", [
    ("skip", [0, 4], [(1, korvant.PlotFileError), (2, korvant.PlotFileError), (3, FileNotFoundError)]),
    ("partial", [0, 1, 4], [(2, korvant.PlotFileError), (3, FileNotFoundError)]),
])
def test_read_many_keeps_every_good_file(batch, params, errors, read, failed):
    result = korvant.read_many(batch, params=params, errors=errors, threads=2)
    assert isinstance(result, list) and [plot.path for plot in result] == [batch[k] for k in read]
    assert [(path, type(error)) for path, error in result.failed] == [(batch[k], kind) for k, kind in failed]
    for plot in result:
        alone = korvant.read(plot.path, params=params, partial=True)
        assert plot.names == alone.names and np.array_equal(bits(plot.values), bits(alone.values))
    assert [plot.complete for plot in result] == [k != 1 for k in read]


@pytest.mark.parametrize("params", [None, ["C", "A"]])
def test_read_many_raises_the_first_failure_in_order(batch, params):
    with pytest.raises(korvant.PlotFileError, match="ends inside timestep 2") as raised:
        korvant.read_many(batch, params=params, errors="raise")
    assert raised.value.path == batch[1]
    with pytest.raises(FileNotFoundError):
        korvant.read_many([batch[0], batch[3], batch[1]], params=params)  # a header that fails, first


@pytest.mark.parametrize("options, error, message", [
    (dict(errors="ignore"), ValueError, "errors must be one of 'raise', 'skip', 'partial', not 'ignore'"),
    (dict(errors=True), TypeError, "errors must be one of 'raise', 'skip', 'partial', not bool"),
    (dict(align="outer"), ValueError, "align must be one of 'fill', 'require', 'strict', not 'outer'"),
])
def test_choices_are_checked(batch, options, error, message):
    for call in (korvant.read_many, korvant.read_chain):
        with pytest.raises(error, match=re.escape(message)):
            call(batch, **options)


# -------------------------------------------------------- names across files

@pytest.fixture
def mixed(plot_file):
    """Three runs whose decks write different parameters, in another order."""
    return [plot_file(plot_text(["A", "B", "C"], [0.0, 1.0], seed=0), "r0.plt"),
            plot_file(plot_text(["C", "X", "A"], [0.0, 1.0, 2.0], seed=1), "r1.plt"),
            plot_file(plot_text(["B", "A"], [0.0], seed=2), "r2.plt")]


@pytest.mark.parametrize("params, names", [
    (["A", "B", "X*"], ["A", "B", "X"]),
    ("*", ["A", "B", "C", "X"]),  # every name of the study, the first file's first: each file read whole
])
def test_names_are_found_by_name_and_missing_ones_are_nan(mixed, params, names):
    for plot in korvant.read_many(mixed, params=params):
        assert plot.names == names and plot.values.flags.f_contiguous
        own = korvant.read(plot.path)
        for column, name in enumerate(plot.names):
            if name in own.names:
                assert plot.parameters[column] == own.names.index(name)
                assert np.array_equal(bits(plot[name]), bits(own[name]))
            else:
                assert plot.parameters[column] == -1 and np.isnan(plot[name]).all()


def test_compressed_runs_are_surveyed_as_they_are_read(plot_file, tmp_path):
    # The names of a study come from each file's header, opened as its read
    # opens it: a compressed run's too.
    packed = tmp_path / "r1.plt.gz"
    packed.write_bytes(gzip.compress(plot_text(["B", "A"], [2.0, 3.0], seed=1).encode()))
    paths = [plot_file(plot_text(["A", "B"], [0.0, 1.0, 2.0], seed=0), "r0.plt"), str(packed)]
    for plot, path in zip(korvant.read_many(paths, params=["A", "B"]), paths):
        alone = korvant.read(path)
        assert np.array_equal(bits(plot.values), bits(alone.values[:, [alone.names.index(n) for n in "AB"]]))
    chain = korvant.read_chain(paths, params="[AB]")
    assert chain.time.tolist() == [0.0, 1.0, 2.0, 3.0] and chain.source.segment.tolist() == [0, 0, 1, 1]


@pytest.mark.parametrize("align, failed, error", [
    ("require", [1], KeyError),
    ("strict", [1, 2], korvant.FileMismatchError),
])
def test_align_require_and_strict_fail_the_differing_files(mixed, align, failed, error):
    result = korvant.read_many(mixed, params=["A", "B"], align=align, errors="skip")
    assert [path for path, _ in result.failed] == [mixed[k] for k in failed]
    assert all(isinstance(e, error) for _, e in result.failed)
    assert [p.path for p in result] == [path for k, path in enumerate(mixed) if k not in failed]
    if align == "strict":
        assert "r1.plt:2: parameter 1 is 'C', where " in str(result.failed[0][1])


# ------------------------------------------------------------ restart chains

def test_chain_later_file_wins_from_its_first_time(plot_file):
    segments = [plot_file(plot_text(["A", "B"], [0.0, 1.0, 2.0, 3.0, 4.0, 5.0], seed=0), "s0.plt"),
                plot_file(plot_text(["B", "X", "A"], [3.0, 4.0, 5.0, 6.0, 7.0, 8.0], seed=1), "s1.plt"),
                plot_file(plot_text(["A", "B"], [8.0, 9.0, 10.0], seed=2), "s2.plt")]
    chain = korvant.read_chain(segments)
    assert chain.names == ["A", "B", "X"] and chain.time.tolist() == [float(t) for t in range(11)]
    assert chain.source.paths == segments and chain.source.segment.tolist() == [0] * 3 + [1] * 5 + [2] * 3
    kept = [(0, 3), (1, 5), (2, 3)]
    for name in chain.names:
        parts = []
        for k, rows in kept:
            own = korvant.read(segments[k])
            parts.append(own[name][:rows] if name in own.names else np.full(rows, np.nan, np.float32))
        assert np.array_equal(bits(chain[name]), bits(np.concatenate(parts)))  # bit for bit, NaN where lacking
    assert chain.lead["STEP"].tolist() == [0, 1, 2, 0, 1, 2, 3, 4, 0, 1, 2]
    assert chain.values.flags.f_contiguous


def test_chain_overlap_before_an_earlier_start_and_a_cut_segment(plot_file):
    cut = plot_text(["A"], [0.0, 1.0, 2.0, 3.0], seed=0)
    segments = [plot_file(cut[:-5], "s0.plt"),  # a crash: its last timestep cut off
                plot_file(plot_text(["A"], [2.0, 3.0, 4.0], seed=1), "s1.plt"),
                plot_file(plot_text(["A"], [1.5, 2.5], seed=2), "s2.plt")]  # goes back before s1 began
    with pytest.raises(korvant.PlotFileError, match="partial=True"):
        korvant.read_chain(segments)
    chain = korvant.read_chain(segments, partial=True)
    assert chain.time.tolist() == [0.0, 1.0, 1.5, 2.5] and chain.source.segment.tolist() == [0, 0, 2, 2]


def test_chain_of_a_segment_whose_time_goes_back(plot_file):
    segments = [plot_file(plot_text(["A"], [0.0, 1.0], seed=0)),
                plot_file(plot_text(["A"], [2.0, 3.0, 2.5], seed=1)),
                plot_file(plot_text(["A"], [4.0], seed=2))]
    with pytest.raises(ValueError, match=r"the time does not increase at timestep 2 \(3, then 2.5\)"):
        korvant.read_chain(segments)
    chain = korvant.read_chain(segments, errors="skip")
    assert chain.time.tolist() == [0.0, 1.0, 4.0] and [p for p, _ in chain.source.failed] == [segments[1]]
