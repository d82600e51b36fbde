"""korvant.read on hostile and unusual input: one opening per read (file
descriptors, renames, pipes), the rules a selection and the width detection
must keep, the hints of a failure, argument checks and memory."""

from __future__ import annotations

import errno
import os
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import child_env, korvant_text

korvant = pytest.importorskip("korvant")


def varied_leads(blocks: int, params: int = 3, value=lambda b, c: b + c / 8) -> str:
    """A plot file whose every timestep is longer than the first (their lead
    lines differ), so a read in parts finds its cuts by counting line feeds."""
    columns = [[value(b, c) for b in range(blocks)] for c in range(params)]
    lines = korvant_text(columns).split("\n")
    per_block = 1 + (params + 9) // 10
    out = lines[: params + 1]
    for b in range(blocks):
        start = params + 1 + b * per_block
        out.append(f"TIME {b}" + " x" * (b and 1 + b % 7))
        out.extend(lines[start + 1 : start + per_block])
    return "\n".join(out) + "\n"


def run_child(code: str, timeout: float = 60) -> str:
    result = subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True, text=True,
                            timeout=timeout)
    assert result.returncode == 0, result.stderr
    return result.stdout


# --------------------------------------------------------------- one opening

@pytest.mark.skipif(bool(os.environ.get("TAVREL_ASAN")),
                    reason="AddressSanitizer's runtime needs descriptors of its own to start a thread")
@pytest.mark.parametrize("free", [1, 2, 3])
def test_threads_with_few_descriptors_left_read_every_row(plot_file, free):
    path = plot_file(varied_leads(4000))
    code = f"""
import os, resource, korvant
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
held = []
try:
    while True:
        held.append(os.open("/dev/null", os.O_RDONLY))
except OSError:
    for _ in range({free}):
        os.close(held.pop())
for _ in range(5):
    try:
        plot = korvant.read({path!r}, threads=2)
        print(len(plot), plot.complete)
    except OSError as error:
        print("OSError", error.errno)
"""
    assert run_child(code).split() == ["4000", "True"] * 5


def test_threads_under_failing_allocations_give_every_row_or_memory_error(plot_file):
    import ctypes

    try:
        hook = ctypes.CDLL(korvant._native.__file__).tavrel_fail_nth_allocation
    except AttributeError:
        pytest.skip("the module was built without the allocation hook")
    hook.argtypes, hook.restype = [ctypes.c_long], ctypes.c_long
    path = plot_file(varied_leads(4000))
    expected = korvant.read(path).values.copy()
    outcomes = set()
    for n in range(1, 120):
        hook(n)
        try:
            plot = korvant.read(path, threads=2)
        except MemoryError:
            outcomes.add("MemoryError")
            continue
        finally:
            hook(0)
        np.testing.assert_array_equal(plot.values, expected, err_msg=f"allocation {n} failing")
        outcomes.add("read")
    assert outcomes == {"read", "MemoryError"}


def test_a_file_replaced_while_it_is_read_is_read_whole_as_opened(tmp_path):
    # A writer replaces the path by a rename, again and again, with a file of
    # other values; every read gives one file's rows, never a mix.
    path = tmp_path / "run.plt"
    texts = [varied_leads(3000, value=lambda b, c, v=v: v) for v in (1.0, 2.0)]
    path.write_text(texts[0])
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            i += 1
            spare = tmp_path / f"new{i % 2}.plt"
            spare.write_text(texts[i % 2])
            os.replace(spare, path)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for _ in range(60):
            values = korvant.read(path, threads=2).values
            assert len(values) == 3000
            assert values.min() == values.max(), "rows of two files mixed"
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("args", [{}, {"width": 12, "params": ["P1"]}, {"threads": 2}])
def test_a_pipe_is_read_once(tmp_path, args):
    text = korvant_text([[1.5, 2.5, 3.5], [4.5, 5.5, 6.5]])
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    code = f"""
import korvant
plot = korvant.read({str(fifo)!r}, **{args!r})
print(plot.values[:, -1].tolist(), plot.width)
"""
    child = subprocess.Popen([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        # Written once the child has the pipe open for reading.
        deadline = time.monotonic() + 30
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:
                if error.errno != errno.ENXIO or time.monotonic() > deadline or child.poll() is not None:
                    raise
                time.sleep(0.01)
        os.set_blocking(fd, True)
        with os.fdopen(fd, "w") as f:
            f.write(text)
        out, err = child.communicate(timeout=30)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    assert out.split("]")[0] == "[4.5, 5.5, 6.5"
    assert out.split()[-1] == "12"


def test_the_command_line_reads_standard_input_once(tmp_path):
    text = korvant_text([[1.5, 2.5, 3.5]])
    result = subprocess.run([sys.executable, "-m", "korvant", "info", "/dev/stdin"], input=text, text=True,
                            capture_output=True, env=child_env(), timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[:6] == ["/dev/stdin", "parameters", "1", "timesteps", "3", "width"]


# --------------------------------------------------- selection and detection

def blank_tail_cases():
    text = korvant_text([[float(b + c) for b in range(5)] for c in range(30)])
    cut = text[: text.rindex("\n", 0, len(text) - 1) + 25]  # into the last block's last data line
    return {
        "blank tail": text + "\n" * 3,
        "blank tail of other white space": text + "\u00a0\n\u3000\n\n",
        "cut in an unselected last line": cut,
        "cut in an unselected line": text[: text.rindex("TIME") + 20 + 130],
    }


@pytest.mark.parametrize("case", list(blank_tail_cases()))
@pytest.mark.parametrize("partial", [False, True])
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("params", [[25], [0], [0, 25]])
def test_a_selection_keeps_the_rules_of_the_whole_read(plot_file, case, partial, threads, params):
    path = plot_file(blank_tail_cases()[case])

    def outcome(**select):
        try:
            plot = korvant.read(path, partial=partial, threads=threads, **select)
        except korvant.PlotFileError as error:
            return "failed", str(error)
        return len(plot), plot.complete, plot[f"P{params[0]}"].tolist()

    assert outcome(params=params) == outcome()


@pytest.mark.parametrize("text", [
    "NPARAM 1\nN A\nTIME 0\n",                               # a lead line alone
    "NPARAM 1\nN A\nTIME 0\n 1.23456E+0",                    # a data line still being written
    "NPARAM 30\n" + "N A\n" * 30 + "TIME 0\n" + "1.0".rjust(12) * 10 + "\n" + "1.0".rjust(12) * 3,
])
def test_a_run_that_has_only_begun_reads_as_no_timestep(plot_file, text):
    plot = korvant.read(plot_file(text), partial=True)
    assert (len(plot), plot.complete, plot.width) == (0, False, None)
    assert plot.values.shape == (0, len(plot.names))
    assert korvant.read(plot_file(text), partial=True, params=[0, 0]).values.shape == (0, 2)


def test_a_run_that_has_only_begun_is_cut_without_partial(plot_file):
    path = plot_file("NPARAM 30\n" + "N A\n" * 30 + "TIME 0\n" + "1.0".rjust(12) * 10 + "\n" + "1.0".rjust(12) * 3)
    with pytest.raises(korvant.PlotFileError, match="the file ends inside timestep 0"):
        korvant.read(path)
    info = subprocess.run([sys.executable, "-m", "korvant", "info", path], capture_output=True, text=True,
                          env=child_env(), timeout=60)
    assert info.returncode == 0, info.stderr


@pytest.mark.parametrize("select", [{}, {"params": [3]}, {"width": 12}])
def test_a_file_cut_inside_a_timestep_says_so_in_every_call(plot_file, select):
    text = korvant_text([[float(b + c) for b in range(4)] for c in range(10)])
    path = plot_file(text[:-64])
    with pytest.raises(korvant.PlotFileError, match=r":19: the file ends inside timestep 3 \(partial=True"):
        korvant.read(path, **select)


@pytest.mark.parametrize("width", [None, 12])
def test_a_count_one_too_high_is_named(plot_file, width):
    text = korvant_text([[float(b + c) for b in range(4)] for c in range(30)])
    path = plot_file(text.replace("NPARAM 30", "NPARAM 31", 1))
    with pytest.raises(korvant.PlotFileError, match=r"gives 31 parameters.*\(is the count 30\?\)"):
        korvant.read(path, width=width)


def test_a_wrong_width_names_the_one_that_fits(plot_file):
    path = plot_file(korvant_text([[0.1 * b + c for b in range(4)] for c in range(10)], width=15))
    with pytest.raises(korvant.PlotFileError, match=r"\(is the width 15\?\)$"):
        korvant.read(path, width=12)


def test_an_empty_selection_reads_no_column(plot_file):
    plot = korvant.read(plot_file(korvant_text([[1.5, 2.5, 3.5]] * 12)), params=[])
    assert plot.values.shape == (3, 0) and plot.names == [] and plot.time.tolist() == [0, 1, 2]


# ------------------------------------------------------------------ arguments

@pytest.mark.parametrize("args, error, words", [
    ({"width": 0}, ValueError, "width must be a positive int, not 0"),
    ({"width": -1}, ValueError, "width must be a positive int, not -1"),
    ({"width": 12.0}, TypeError, "width must be a positive int, not float"),
    ({"width": True}, TypeError, "not bool"),
    ({"threads": 0}, ValueError, "threads must be a positive int"),
    ({"params": [1.7]}, TypeError, "params holds '1.7' (float)"),
    ({"params": [True]}, TypeError, "(bool)"),
    ({"params": [b"3"]}, TypeError, "(bytes)"),
    ({"params": b"P0"}, TypeError, "not bytes"),
])
def test_wrong_arguments_are_refused_in_one_sentence(plot_file, args, error, words):
    path = plot_file(korvant_text([[1.5, 2.5]] * 3))
    with pytest.raises(error) as raised:
        korvant.read(path, **args)
    assert words in str(raised.value)


def test_a_str_selection_is_one_name(plot_file):
    path = plot_file(korvant_text([[1.5, 2.5]] * 3, names=["TIME", "T", "I"]))
    assert korvant.read(path, params="TIME").names == ["TIME"]
    assert korvant.read(path, params=np.int64(2)).names == ["I"]


@pytest.mark.parametrize("path", ["x" * 5000, b"NPARAM 1\n" * 2_000_000, "a\0b"], ids=["long", "content", "nul"])
def test_a_path_that_is_no_file_name_is_quoted_briefly(path):
    with pytest.raises(ValueError) as raised:
        korvant.read(path)
    assert len(str(raised.value)) < 160


# --------------------------------------------------------------------- memory

@pytest.mark.parametrize("threads", [1, 2])
def test_peak_memory_follows_the_values_for_any_threads(tmp_path, threads):
    # Width 1 and 2000 parameters: 8 kB of values per timestep.  The first
    # timestep is 2.2 kB long, the later ones 22 kB (trailing blanks, which a
    # given width ignores), so the file's length foretells ten times the rows.
    path = tmp_path / "blanks.plt"
    params, blocks = 2000, 2500
    with open(path, "w") as f:
        f.write(f"NPARAM {params}\n" + "".join(f"N P{i}\n" for i in range(params)))
        for b in range(blocks):
            f.write(f"T {b}\n" + ("1" * 10 + (" " * 100 if b else "") + "\n") * (params // 10))
    values = params * blocks * 4
    code = f"""
import resource, korvant
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
plot = korvant.read({str(path)!r}, width=1, threads={threads})
assert plot.values.shape == ({blocks}, {params})
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024)
"""
    assert int(run_child(code)) <= 1.1 * values + (40 << 20)


@pytest.mark.skipif(not shutil.which("strace"), reason="needs strace")
def test_a_read_opens_its_file_once(plot_file, tmp_path):
    # The header, the names a selection resolves, the width detection and
    # both parts of a threaded read: one opening, seen by the system.
    path = plot_file(varied_leads(3000, params=25))
    log = tmp_path / "strace.log"
    code = f"import korvant; print(korvant.read({path!r}, params=['P3', 7], threads=2).values.shape)"
    result = subprocess.run(["strace", "-f", "-e", "trace=open,openat", "-o", str(log), sys.executable, "-c", code],
                            env=child_env(), capture_output=True, text=True, timeout=60)
    assert result.stdout == "(3000, 2)\n", result.stderr
    assert len([line for line in log.read_text().splitlines() if path in line]) == 1
