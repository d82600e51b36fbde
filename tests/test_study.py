"""Studies: parameters chosen by pattern, against korvant.read of each file."""

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
