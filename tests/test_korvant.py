"""The korvant package: agreement with tavrel, failures, width detection,
selection, partial files, threads, interpreters, interruption and leaks."""

from __future__ import annotations

import os
import pickle
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import child_env, korvant_text
from test_differential import SEED, random_case

korvant = pytest.importorskip("korvant")
import tavrel  # noqa: E402

# Rust's White_Space: what the reader takes for blank.
WHITE_SPACE = set("\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000") | {
    chr(c) for c in range(0x2000, 0x200B)
}


def tavrel_values(path, width):
    first, others = tavrel.rust_read_korvant(str(path), width)
    return np.array([first, *others], dtype=np.float32).T


def without_blank_tail(data: bytes) -> bytes:
    lines = data.split(b"\n")
    while lines and all(c in WHITE_SPACE for c in lines[-1].decode("utf-8", "replace")):
        lines.pop()
    return b"\n".join(lines) + b"\n"


def test_agrees_with_tavrel_on_generated_files(tmp_path, capfd):
    # Valid and damaged files: the same values bit for bit, and the same
    # files fail, but for blank lines after the last block, which korvant
    # accepts.
    rng = random.Random(SEED)
    path, trimmed = tmp_path / "plot.txt", tmp_path / "trimmed.txt"
    agreed = {"read": 0, "failed": 0, "blank tail": 0}
    for i in range(300):
        data, width = random_case(rng)
        if width == 0:
            continue
        path.write_bytes(data)
        context = f"seed {SEED}, file {i}, width {width}, content {data[:200]!r}"
        try:
            expected = tavrel_values(path, width)
        except BaseException:  # noqa: BLE001  (PanicException)
            expected = None
        try:
            plot = korvant.read(path, width=width)
        except (korvant.PlotFileError, OSError):
            assert expected is None, context
            agreed["failed"] += 1
            continue
        if expected is None:
            trimmed.write_bytes(without_blank_tail(data))
            expected = tavrel_values(trimmed, width)
            agreed["blank tail"] += 1
        else:
            agreed["read"] += 1
        assert plot.values.shape == expected.shape, context
        assert np.array_equal(plot.values.view(np.uint32), expected.view(np.uint32)), context
        if plot.values.shape[1] > 1:
            pick = [rng.randrange(plot.values.shape[1]) for _ in range(3)]
            chosen = korvant.read(path, width=width, params=pick)
            assert np.array_equal(chosen.values.view(np.uint32), expected[:, pick].view(np.uint32)), context
    capfd.readouterr()
    assert agreed["read"] and agreed["failed"], agreed


def read_outcome(path, **options):
    """What a read gives: the values bit for bit, the lead lines and whether
    the file was complete; or the failure's type and message."""
    try:
        plot = korvant.read(path, **options)
    except Exception as error:  # noqa: BLE001  (any failure must be the same)
        return type(error).__name__, str(error)
    return plot.values.tobytes(), plot.values.shape, plot.lead_lines, plot.complete, plot.width


def test_threads_agree_with_one_read_on_generated_files(tmp_path):
    # Valid and damaged files, with blank tails and cuts anywhere, read with
    # and without a selection, partial or not, the width given or detected:
    # two to four threads give exactly what one gives.
    rng = random.Random(SEED + 1)
    path = tmp_path / "plot.txt"
    for i in range(200):
        data, width = random_case(rng)
        if width == 0:
            continue
        shape = rng.randrange(3)
        if shape == 1:
            data += rng.choice([b"\n", b"\n \n", "\u3000\n\n".encode()])
        elif shape == 2:
            data = data[: rng.randrange(len(data) + 1)]
        path.write_bytes(data)
        options = {"width": rng.choice([width, None]), "partial": rng.random() < 0.5}
        if rng.random() < 0.5:
            options["params"] = [rng.randrange(12) for _ in range(rng.randrange(4))]
        one = read_outcome(path, **options)
        for threads in (2, 3, 4):
            assert read_outcome(path, threads=threads, **options) == one, f"file {i}, {options}, {data[:300]!r}"


def test_plot_attributes_and_zero_copy(plot_file):
    text = korvant_text([[1.5, 2.5, 3.5], [0.25, 0.5, 0.75], [-1.0, -2.0, -3.0]], names=["A", "B", "A"])
    plot = korvant.read(plot_file(text))
    assert (plot.width, plot.names, plot.parameters, len(plot)) == (12, ["A", "B", "A"], [0, 1, 2], 3)
    assert plot.time.tolist() == [0.0, 1.0, 2.0] and plot.lead_lines == ["TIME 0", "TIME 1", "TIME 2"]
    assert plot.values.dtype == np.float32 and plot.values.flags.f_contiguous
    assert plot["B"].tolist() == [0.25, 0.5, 0.75] and plot[2].tolist() == [-1.0, -2.0, -3.0]
    with pytest.raises(KeyError, match=r"columns \[0, 2\]"):
        plot["A"]
    frame = plot.to_pandas()
    assert frame.index.name == "time" and list(frame.columns) == ["A", "B", "A"]
    assert np.shares_memory(frame.to_numpy(), plot.values)
    chosen = korvant.read(plot_file(text), params=["B", 0])
    assert chosen.names == ["B", "A"] and chosen.values.tolist() == [[0.25, 1.5], [0.5, 2.5], [0.75, 3.5]]


@pytest.mark.parametrize("threads", [1, 2])
def test_values_and_frame_are_the_callers_to_change(plot_file, threads):
    # Numpy's and pandas' readers hand out arrays the caller may assign to;
    # so does korvant, without a copy: the frame's columns are the values.
    plot = korvant.read(plot_file(korvant_text([[1.5] * 30, [2.5] * 30])), threads=threads)
    frame = plot.to_pandas()
    frame.iloc[0, 1] = 5
    plot["P0"][1] = -1
    plot.time[2] = 0.5
    assert plot.values[:3].tolist() == [[1.5, 5.0], [-1.0, 2.5], [1.5, 2.5]]
    assert frame.iloc[1, 0] == -1 and plot.time[:3].tolist() == [0.0, 1.0, 0.5]


def test_large_file_values_stay_in_the_readers_storage(plot_file):
    # Enough values for the column arena: the array views it at its stride.
    columns = [[float(b * 3 + k) for b in range(700)] for k in range(800)]
    path = plot_file(korvant_text(columns))
    plot = korvant.read(path)
    assert np.array_equal(plot.values, tavrel_values(path, 12))
    assert plot.values.strides[1] >= 700 * 4


@pytest.mark.parametrize(
    ("content", "width", "message", "attributes"),
    [
        (korvant_text([[1.5], [2.5]]).replace("         2.5", "     1.5D+02"), 12,
         r"plot\.txt:5: parameter 1 'P1' at timestep 0: '1\.5D\+02' is not a number",
         {"line": 5, "parameter": (1, "P1"), "timestep": 0, "text": "     1.5D+02"}),
        (korvant_text([[1.0] * 2] * 10, width=12), 15,
         r"plot\.txt:13: data line is 120 bytes; 10 fields of width 15 need 150 \(is the width 12\?\)",
         {"line": 13, "timestep": 0}),
        (korvant_text([[1.5, 2.5]] * 11)[:-13], 12,
         r"plot\.txt:18: the file ends inside timestep 1 \(partial=True", {"line": 18, "timestep": 1}),
        ("NPARAM x\n", 12, r"plot\.txt:1: the first line must end with the parameter count, not 'x'", {"line": 1}),
        ("NPARAM 3\nA\n", 12, r"plot\.txt:3: the file ends inside the parameter names", {"line": 3}),
        ("x" * 5000 + "\r" + "y" * 5000, 12, r"count, not 'y{77}\.\.\.'$", {"line": 1}),
        (b"NPARAM 2\nA\n\xc3\n", 12, r"plot\.txt:3: line is not valid UTF-8$", {"line": 3}),
    ],
    ids=["not-a-number", "wrong-width", "cut-short", "bad-count", "names-missing", "long-line-quoted", "not-utf8"],
)
def test_failures_name_file_line_and_field(plot_file, capfd, content, width, message, attributes):
    path = plot_file(content, name="plot.txt")
    with pytest.raises(korvant.PlotFileError, match=message) as caught:
        korvant.read(path, width=width)
    error = caught.value
    assert isinstance(error, ValueError) and error.path == path and len(str(error)) < len(path) + 150
    assert {key: getattr(error, key) for key in attributes} == attributes
    assert capfd.readouterr() == ("", "")
    # It crosses to another process whole (a process pool, a Dask worker).
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), str(copy), copy.__dict__) == (type(error), str(error), error.__dict__)


@pytest.mark.parametrize(
    ("content", "kind", "stage", "line"),
    [
        (b"NPARAM 2\nA\n\xc3\n", "utf8", "name_line", 3),
        (korvant_text([[1.5], [2.5]]).encode().replace(b"TIME 0", b"TIME \xed\xa0\x80"), "utf8", "lead_line", 4),
        (korvant_text([[1.5], [2.5]]).encode().replace(b"         1.5", b"        \xff1.5"), "utf8", "data_line", 5),
    ],
    ids=["name-line", "lead-line", "data-line"],
)
def test_native_failures_say_their_kind(plot_file, content, kind, stage, line):
    # The package tells failures apart by their kind, not by message words.
    with pytest.raises(korvant._native.ReadFailure) as caught:
        korvant._native.read(plot_file(content), 12, None, False, 1, True, 0)
    info = caught.value.args[0]
    assert (info["kind"], info["stage"], info["line"], info["errno"]) == (kind, stage, line, 0)


def test_os_errors_carry_errno_and_filename(tmp_path):
    for path, kind in [(tmp_path / "missing.plt", FileNotFoundError), (tmp_path, IsADirectoryError)]:
        with pytest.raises(kind) as caught:
            korvant.read(path)
        assert caught.value.filename == str(path) and caught.value.errno


@pytest.mark.parametrize(
    ("width", "detected"), [(12, 12), (15, 15), (7, 7)]
)
def test_width_detected_from_the_first_block(plot_file, width, detected):
    text = korvant_text([[1.5, 2.5]] * 13, width=width)
    assert korvant.read(plot_file(text)).width == detected


@pytest.mark.parametrize(
    "content",
    [
        korvant_text([[1.5, 2.5]] * 13, width=12).replace("TIME 0\n", "TIME 0\n ", 1),  # line 1 byte too long
        "N 1\nA\nT\n  1\n",  # one field of 3 bytes: widths 3 (and 1) cannot be told from the line
    ],
    ids=["no-width-fits", "ambiguous"],
)
def test_width_detection_never_guesses(plot_file, content):
    path = plot_file(content)
    try:
        plot = korvant.read(path)
    except korvant.PlotFileError as error:
        assert "width=" in str(error)
    else:
        # One width fits exactly: every field must then read as tavrel reads it.
        assert np.array_equal(plot.values, tavrel_values(path, plot.width))


def test_partial_files_and_blank_tails(plot_file):
    full = korvant_text([[1.5, 2.5, 3.5], [4.5, 5.5, 6.5]])
    cut = plot_file(full[:-9])  # the last data line cut inside a field
    with pytest.raises(korvant.PlotFileError):
        korvant.read(cut)
    plot = korvant.read(cut, partial=True)
    assert (plot.complete, plot.values.tolist()) == (False, [[1.5, 4.5], [2.5, 5.5]])
    assert plot.lead_lines == ["TIME 0", "TIME 1"] and plot.time.tolist() == [0.0, 1.0]
    damaged = plot_file(full[:-13] + "         x.5\n")  # a whole last line that is not a number
    with pytest.raises(korvant.PlotFileError):
        korvant.read(damaged, partial=True)
    whole = korvant.read(plot_file(full), partial=True)
    assert whole.complete and len(whole) == 3
    blank = korvant.read(plot_file(full + "\n  \n\n"))
    assert blank.complete and len(blank) == 3 and len(blank.lead_lines) == len(blank.time) == 3


def test_read_many_in_threads_equals_one_by_one(plot_file):
    paths = [plot_file(korvant_text([[float(i + b) for b in range(50)]] * 25)) for i in range(6)]
    together = korvant.read_many(paths, threads=3)
    assert [p.path for p in together] == paths
    for plot, path in zip(together, paths):
        assert np.array_equal(plot.values, korvant.read(path).values)
    # Threads reading the same files at once.
    results = {}
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, korvant.read(paths[i]))) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(results[i].values, together[i].values) for i in range(6))


def run_child(code, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(), capture_output=True,
                          text=True, timeout=120, **kwargs)


def test_isolated_interpreters_read_at_the_same_time(plot_file):
    pytest.importorskip("concurrent.interpreters")
    path = plot_file(korvant_text([[1.5, 2.5]] * 30))
    native = korvant._native.__file__
    # numpy does not load in isolated interpreters: they use the native
    # module alone, loaded from its file.
    script = "\n".join([
        "import importlib.util",
        f"found = importlib.util.spec_from_file_location('korvant._native', {native!r})",
        "native = importlib.util.module_from_spec(found)",
        "found.loader.exec_module(native)",
        "for _ in range(200):",
        f"    names, _, leads, values, time, complete, width, lead = native.read({path!r}, 0, None, False, 1, True, 0)",
        "    assert memoryview(values).shape == (2, 30) and complete and width == 12 and lead[0] == ['TIME']",
    ])
    code = f"""
        import threading
        from concurrent import interpreters
        workers = [interpreters.create() for _ in range(2)]
        failures = []
        def run(worker):
            try:
                worker.exec({script!r})
            except Exception as error:
                failures.append(error)
        threads = [threading.Thread(target=run, args=(w,)) for w in workers]
        for t in threads: t.start()
        for t in threads: t.join()
        print("read in", len(workers), "interpreters", failures)
    """
    result = run_child(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "read in 2 interpreters []\n"


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_read(tmp_path, threads):
    # Fields that take the exact decimal path: about a second of reading.
    field = "1.000000059604644775390625000000000001".rjust(40)
    path = tmp_path / "slow.plt"
    with open(path, "w") as f:
        f.write("N 10\n" + "".join(f"n P{i}\n" for i in range(10)) + ("T\n" + field * 10 + "\n") * 200_000)
    code = f"""
        import sys, time, korvant
        print("reading", flush=True)
        start = time.monotonic()
        try:
            korvant.read({str(path)!r}, width=40, threads={threads})
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - start, 2))
    """
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(),
                             stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "reading\n"
    time.sleep(0.2)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert out.startswith("interrupted after"), out
    assert time.monotonic() - sent < 0.5


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")
def test_no_references_leak(plot_file, tmp_path):
    # The native calls and the failure paths; numpy's own conversion of a
    # buffer drifts by one reference per array under the debug interpreter,
    # whatever the buffer, so arrays are left out.
    good = plot_file(korvant_text([[1.5, 2.5]] * 12))
    bad = plot_file(korvant_text([[1.5], [2.5]]).replace("2.5", "2.x"))

    class Broken:
        def readinto(self, buffer):
            raise ConnectionResetError("gone")

    def calls():
        memoryview(korvant._native.read(good, 12, lambda names: [3, 1], False, 1, True, 0)[3]).tolist()
        korvant._native.read(good, 0, None, True, 3, True, 0)
        with open(good, "rb") as f:
            korvant._native.read(f, 0, None, False, 1, True, 0)
        with pytest.raises(ConnectionResetError):
            korvant._native.read(Broken(), 0, None, False, 1, True, 0)
        with pytest.raises(IndexError):
            korvant._native.read(good, 0, lambda names: [len(names)], False, 2, True, 0)
        korvant.read_header(good)
        for path, kind in [(bad, korvant.PlotFileError), (tmp_path / "none", FileNotFoundError), (good, KeyError)]:
            with pytest.raises(kind):
                korvant.read(path, params=["nothing"] if path == good else None)

    for _ in range(5):
        calls()
    totals = []
    for _ in range(3):
        before = sys.gettotalrefcount()
        for _ in range(50):
            calls()
        totals.append(sys.gettotalrefcount() - before)
    # One reference is the measurement's own (the int it appends); a leak
    # of any call would show 50 or more.
    assert min(totals) <= 1, totals


@pytest.mark.parametrize("threads", [2, 3, 7])
def test_one_file_read_in_parts_equals_one_read(plot_file, threads):
    columns = [[float(b * 31 + k) for b in range(40)] for k in range(23)]
    text = korvant_text(columns)
    whole = korvant.read(plot_file(text))
    parts = korvant.read(plot_file(text), threads=threads)
    assert np.array_equal(parts.values, whole.values) and parts.values.strides[0] == 4
    assert parts.lead_lines == whole.lead_lines and np.array_equal(parts.time, whole.time)
    # A failure late in the file names the same line, timestep and parameter.
    damaged = plot_file(text.replace("      1183.0", "      1183.x"))
    with pytest.raises(korvant.PlotFileError) as one:
        korvant.read(damaged)
    with pytest.raises(korvant.PlotFileError) as many:
        korvant.read(damaged, threads=threads)
    assert str(many.value) == str(one.value) and one.value.timestep == 38
    cut = korvant.read(plot_file(text[:-20]), partial=True, threads=threads)
    assert not cut.complete and np.array_equal(cut.values, whole.values[:-1])


def leads_text(leads: list[str], n: int = 20) -> str:
    """A plot file with the given lead lines and n parameters of width 12."""
    lines = [f"NPARAM {n}"] + [f"NAME P{i}" for i in range(n)]
    for b, lead in enumerate(leads):
        lines.append(lead)
        lines += ["".join(f"{b * 100 + t:12.1f}" for t in range(j, min(j + 10, n))) for j in range(0, n, 10)]
    return "\n".join(lines) + "\n"


# Cuts are placed where blocks as long as the first would start: right for
# fixed-width lead lines; looking right but one line off after a lead line
# one data line longer (the part before the cut must catch it); and right,
# but with a last part of shorter blocks than its room was sized for.
@pytest.mark.parametrize("leads", [
    [f"TIME {b:6d}" for b in range(60)],
    ["L" * 120, "L" * 241] + ["L" * 120] * 58,
    ["T" * 200] * 60 + ["t" * 5] * 60,
], ids=["regular", "one-line-off", "outgrown"])
@pytest.mark.parametrize("threads", [2, 3])
def test_placed_cuts_give_the_one_read(plot_file, leads, threads):
    path = plot_file(leads_text(leads))
    whole, parts = korvant.read(path), korvant.read(path, threads=threads)
    assert np.array_equal(parts.values, whole.values) and parts.lead_lines == whole.lead_lines == leads



def lead_numbers(plot):
    """The lead columns as plain lists, NaN as None, for comparison."""
    return {name: [None if np.isnan(v) else v for v in column.tolist()] for name, column in plot.lead.items()}


@pytest.mark.parametrize(("leads", "expected"), [
    (["TIME 1.5E-03 DT= 1.0E-04 CYCLE= 12", "TIME 1.6E-03 DT= 1.0E-04 CYCLE= 13"],
     {"TIME": [1.5e-3, 1.6e-3], "DT": [1e-4, 1e-4], "CYCLE": [12.0, 13.0]}),
    ([" TIME =  0.00000E+00  STEP        1", " TIME =  5.00000E-02  STEP        2"],
     {"TIME": [0.0, 0.05], "STEP": [1.0, 2.0]}),
    # Numbers without a word before them are named by their position.
    (["  1.5  7  -2.5E+01", "  2.5  8  +3"], {"#0": [1.5, 2.5], "#1": [7.0, 8.0], "#2": [-25.0, 3.0]}),
    # A quantity missing from a line is NaN there; columns come in the
    # order the names first appear.
    (["TIME 0 DT=0.5", "TIME 1", "TIME 2 RESTART= 1 DT=-0.25"],
     {"TIME": [0.0, 1.0, 2.0], "DT": [0.5, None, -0.25], "RESTART": [None, None, 1.0]}),
], ids=["named-pairs", "spaced-equals", "positional", "missing"])
def test_lead_line_numbers(plot_file, leads, expected):
    plot = korvant.read(plot_file(leads_text(leads, n=3)))
    assert lead_numbers(plot) == expected
    assert all(column.dtype == np.float64 for column in plot.lead.values())
    frame = plot.to_pandas(lead=True)
    assert list(frame.columns) == [*expected, "P0", "P1", "P2"]
    assert all(np.array_equal(frame[name].to_numpy(), plot.lead[name], equal_nan=True) for name in expected)


def test_time_is_the_first_number_standing_alone(plot_file):
    # "T=0.5" is a number only once cut at "=": the time stays the first
    # whole word that is one, as ever; a line without such a word leaves no time.
    plot = korvant.read(plot_file(leads_text(["T=0.5 STEP 3", "T=0.75 STEP 4"], n=2)))
    assert plot.time.tolist() == [3.0, 4.0] and lead_numbers(plot) == {"T": [0.5, 0.75], "STEP": [3.0, 4.0]}
    assert korvant.read(plot_file(leads_text(["T=0.5 STEP 3", "T=0.75"], n=2))).time is None


def test_lead_numbers_agree_across_threads_and_parts(plot_file):
    # Names that first appear late in the file, and one that only the last,
    # incomplete timestep has (partial=True drops it with its timestep).
    leads = [f"TIME {b:5d} DT= {0.5 / (b + 1):.6E}" + (f" RESTART= {b}" if b % 17 == 5 else "") for b in range(59)]
    text = leads_text(leads + ["TIME 59 LAST= 1"], n=23)
    path = plot_file(text[:-20])
    whole = korvant.read(path, partial=True)
    assert list(whole.lead) == ["TIME", "DT", "RESTART"] and len(whole) == 59
    expected = lead_numbers(whole)
    assert expected["RESTART"][5] == 5.0 and expected["RESTART"][6] is None
    for plot in [korvant.read(path, partial=True, threads=2), korvant.read(path, partial=True, threads=3),
                 *korvant.read_many([path, path], threads=2, partial=True)]:
        assert lead_numbers(plot) == expected
