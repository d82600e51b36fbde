"""Resources of a call: argument references, result ownership, the plot
file's descriptor, and running out of memory without losing the process."""

import os
import sys

import pytest

from conftest import korvant_text
from tavrel import rust_read_korvant


class Width:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def open_descriptors():
    return sorted(os.listdir("/proc/self/fd"))


def call_outcome(path, width):
    try:
        rust_read_korvant(path, width)
    except BaseException as error:  # PanicException is a BaseException
        return type(error).__name__
    return "ok"


@pytest.mark.parametrize(
    ("content", "width", "outcome"),
    [
        (korvant_text([[1.5, 2.5], [3.5, 4.5]]), 12, "ok"),
        (None, 12, "PanicException"),  # no such file
        ("NPARAM 2\nA\nB\nT\n" + "x".rjust(12) * 2 + "\n", 12, "PanicException"),
        ("NPARAM 2\nA\nB\nT\n" + "1".rjust(12) + "\n", 12, "PanicException"),
        (korvant_text([[1.5]]), -1, "OverflowError"),
        (korvant_text([[1.5]]), 2**32, "OverflowError"),
    ],
    ids=["success", "missing", "unparsable", "short-line", "negative", "too-wide"],
)
def test_arguments_and_descriptors_released(plot_file, capfd, content, width, outcome):
    # Fresh objects, so their counts are not shared with anything else.
    path = "".join([plot_file(content) if content is not None else "/nonexistent/x.txt"])
    width_object = Width(width)
    path_count, width_count = sys.getrefcount(path), sys.getrefcount(width_object)
    descriptors = open_descriptors()
    for _ in range(3):
        assert call_outcome(path, width_object) == outcome
    assert sys.getrefcount(path) == path_count
    assert sys.getrefcount(width_object) == width_count
    assert open_descriptors() == descriptors
    capfd.readouterr()


def test_result_is_owned_by_the_caller_alone(plot_file):
    path = plot_file(korvant_text([[0.1, 2.0], [3.0, 4.0], [5.0, 6.0]]))
    result = rust_read_korvant(path, 12)
    # A tuple built in Python, held the same way, is the baseline: the
    # interpreter's own borrowing differs between versions.
    baseline = ([float(1), float(2)], [[float(3)], [float(4)]])
    assert sys.getrefcount(result) == sys.getrefcount(baseline)
    first, others = result
    base_first, base_others = baseline
    assert first == [0.10000000149011612, 2.0]
    assert others == [[3.0, 4.0], [5.0, 6.0]]
    assert sys.getrefcount(first) == sys.getrefcount(base_first)
    assert sys.getrefcount(others) == sys.getrefcount(base_others)
    assert [sys.getrefcount(column) for column in others] == [sys.getrefcount(c) for c in base_others]
    assert [sys.getrefcount(value) for value in first] == [sys.getrefcount(v) for v in base_first]


@pytest.mark.skipif(sys.getallocatedblocks() == 0, reason="needs the interpreter's own allocator")
def test_no_objects_leak_over_repeated_calls(plot_file, capfd):
    good = plot_file(korvant_text([[1.5] * 20, [2.5] * 20, [3.5] * 20]))
    bad = plot_file("NPARAM 2\nA\nB\nT\n" + "x".rjust(24) + "\n")
    calls = [(good, 12), (bad, 12), (good, Width(12)), (b"x", 12), (good, 2**40), (good, "12"), ("/nonexistent", 12)]
    panic_type = type(pytest.raises(BaseException, rust_read_korvant, bad, 12).value)

    def round_of_calls():
        for args in calls:
            call_outcome(*args)

    round_of_calls()
    blocks, type_count = sys.getallocatedblocks(), sys.getrefcount(panic_type)
    for _ in range(200):
        round_of_calls()
    # 1400 calls: a leak of one object per call could not hide in the slack
    # left for the interpreter's caches.
    assert sys.getallocatedblocks() - blocks < 100
    assert sys.getrefcount(panic_type) == type_count
    capfd.readouterr()


@pytest.mark.skipif(bool(os.environ.get("TAVREL_ASAN")), reason="AddressSanitizer needs unlimited address space")
def test_memory_error_under_address_space_limit(run_python, tmp_path):
    # A first line of 1 GiB of NUL bytes (a sparse file: no disk used) cannot
    # be held under a limit of 256 MiB above the interpreter's current size.
    huge = tmp_path / "huge.txt"
    with open(huge, "wb") as f:
        f.truncate(1 << 30)
    small = tmp_path / "small.txt"
    small.write_text(korvant_text([[1.5], [2.5]]))
    code = f"""
        import os, re, resource, tavrel
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        limit = pages * os.sysconf("SC_PAGE_SIZE") + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        descriptors = sorted(os.listdir("/proc/self/fd"))
        try:
            tavrel.rust_read_korvant({str(huge)!r}, 12)
        except MemoryError as error:
            text = str(error)
            assert re.fullmatch(r"memory allocation of [0-9]+ bytes failed", text), text
            print("MemoryError")
        assert sorted(os.listdir("/proc/self/fd")) == descriptors
        print(tavrel.rust_read_korvant({str(small)!r}, 12))
    """
    result = run_python(code)
    assert result.stdout == "MemoryError\n([1.5], [[2.5]])\n"
    assert "panicked" not in result.stderr


def test_failed_object_creation_during_conversion(run_python, plot_file):
    # _testcapi makes the k-th allocation of the interpreter fail.  Whatever
    # allocation fails, the call ends in an orderly way and the interpreter
    # goes on; a failure while building the result is the Panic
    # "PyObject pointer is null" after the MemoryError is written as
    # unraisable.
    pytest.importorskip("_testcapi")
    path = plot_file(korvant_text([[1.5, 2.5, 3.5], [4.5, 5.5, 6.5], [7.5, 8.5, 9.5]]))
    code = f"""
        import _testcapi, tavrel
        outcomes = []
        for start in range(60):
            _testcapi.set_nomemory(start, start + 1)
            try:
                result = tavrel.rust_read_korvant({path!r}, 12)
                outcome = "ok" if result == ([1.5, 2.5, 3.5], [[4.5, 5.5, 6.5], [7.5, 8.5, 9.5]]) else "wrong"
            except BaseException as error:
                outcome = type(error).__name__ + ":" + str(error)
            finally:
                _testcapi.remove_mem_hooks()
            outcomes.append(outcome)
        print("\\n".join(outcomes))
    """
    result = run_python(code)
    outcomes = result.stdout.splitlines()
    assert set(outcomes) <= {"ok", "PanicException:PyObject pointer is null", "MemoryError:"}, outcomes
    assert "PanicException:PyObject pointer is null" in outcomes
    assert outcomes[-1] == "ok"
    assert "MemoryError" in result.stderr  # the unraisable report
    assert "\nPyObject pointer is null\n" in result.stderr  # the panic report


def test_failed_allocations_during_module_exec(run_python):
    # Every allocation of a module's execution failing in turn: each ends in
    # an exception, the failed append to __all__ in a PanicException naming
    # the interpreter's error, and the interpreter goes on.
    pytest.importorskip("_testcapi")
    code = """
        import importlib.util, _testcapi
        found = importlib.util.find_spec("tavrel")
        outcomes = []
        for start in range(40):
            module = importlib.util.module_from_spec(found)
            _testcapi.set_nomemory(start, start + 1)
            try:
                found.loader.exec_module(module)
                outcome = "ok" if module.__all__ == ["rust_read_korvant"] else "wrong"
            except BaseException as error:
                outcome = type(error).__name__ + ": " + str(error)
            finally:
                _testcapi.remove_mem_hooks()
            outcomes.append(outcome)
        print("\\n".join(outcomes))
    """
    outcomes = run_python(code).stdout.splitlines()
    append_failure = (
        "PanicException: could not append __name__ to __all__: "
        "PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }"
    )
    allowed = {"ok", "MemoryError: ", "PanicException: PyObject pointer is null", append_failure}
    assert set(outcomes) <= allowed, outcomes
    assert append_failure in outcomes
    assert outcomes[-1] == "ok"
