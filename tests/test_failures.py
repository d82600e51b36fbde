"""Failures of a call: the PanicException type, the panic report on standard
error and its per-process state, resumption of a PanicException taken from
Python, and a representative set of reader failures."""

import errno
import os
import re

import pytest

from conftest import korvant_text
import tavrel
from tavrel import rust_read_korvant

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
NOTE = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"
SHORT_CLOSING = "note: Some details are omitted, run with `RUST_BACKTRACE=full` for a verbose backtrace.\n"
NOT_FOUND = f'Plot file not found!: Os {{ code: {errno.ENOENT}, kind: NotFound, message: "{os.strerror(errno.ENOENT)}" }}'
MISSING = "/nonexistent/plot.txt"
REPORT_LINE = re.compile(r"\nthread '<unnamed>' \((\d+)\) panicked at (src/[^\n:]+\.cpp):(\d+):(\d+):\n")


def panic_of(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    return excinfo.value


def test_exception_type_properties():
    error = panic_of(lambda: rust_read_korvant(MISSING, 12))
    cls = type(error)
    assert cls.__name__ == cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert cls.__doc__ == PANIC_DOC and len(PANIC_DOC) == 235
    assert error.args == (NOT_FOUND,)
    assert str(error) == NOT_FOUND
    assert error.__cause__ is None
    # One type for the whole process.
    assert type(panic_of(lambda: rust_read_korvant(MISSING, 12))) is cls
    assert not hasattr(tavrel, "PanicException")
    with pytest.raises(ModuleNotFoundError):
        import pyo3_runtime  # noqa: F401


def test_except_exception_does_not_catch_it():
    caught_by = None
    try:
        try:
            rust_read_korvant(MISSING, 12)
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_report_goes_to_fd2_before_the_exception(capfd):
    panic_of(lambda: rust_read_korvant(MISSING, 12))
    out, err = capfd.readouterr()
    assert out == ""
    match = REPORT_LINE.match(err)
    assert match, err
    assert int(match.group(1)) > 0
    assert err[match.end() :].startswith(NOT_FOUND + "\n")


# The report, the note and the backtrace style are per process: each case
# runs in a fresh interpreter.
FAIL_TWICE = f"""
    import os, tavrel
    print(os.getpid(), flush=True)
    for _ in range(2):
        try:
            tavrel.rust_read_korvant({MISSING!r}, 12)
        except BaseException as error:
            assert str(error) == {NOT_FOUND!r}, error
"""


def split_reports(stderr):
    """The text after each report line, keyed by nothing: a list of
    (thread number, tail) pairs."""
    parts = REPORT_LINE.split(stderr)
    assert parts[0] == "", stderr
    reports = []
    for i in range(1, len(parts), 5):
        thread, _file, _line, _column, tail = parts[i : i + 5]
        reports.append((int(thread), tail))
    return reports


def test_report_and_note_once(run_python):
    result = run_python(FAIL_TWICE)
    pid = int(result.stdout)
    reports = split_reports(result.stderr)
    assert reports == [(pid, NOT_FOUND + "\n" + NOTE), (pid, NOT_FOUND + "\n")]


@pytest.mark.parametrize(
    ("value", "style"),
    [(None, "off"), ("0", "off"), ("1", "short"), ("", "short"), ("FULL", "short"), ("yes", "short"),
     ("full", "full")],
)
def test_backtrace_styles(run_python, value, style):
    result = run_python(FAIL_TWICE, env={"RUST_BACKTRACE": value})
    reports = split_reports(result.stderr)
    assert len(reports) == 2
    for index, (_, tail) in enumerate(reports):
        assert tail.startswith(NOT_FOUND + "\n")
        after = tail[len(NOT_FOUND) + 1 :]
        if style == "off":
            assert after == (NOTE if index == 0 else "")
        else:
            assert after.startswith("stack backtrace:\n")
            assert NOTE not in after
            assert after.endswith(SHORT_CLOSING) == (style == "short")
            frames = after.splitlines()[1:]
            assert frames and all(re.match(r" *\d+: ", frame) for frame in frames[: -1 if style == "short" else None])


@pytest.mark.parametrize(("first", "later"), [(None, "full"), ("full", "0"), ("0", "1")])
def test_environment_change_after_first_panic_is_ignored(run_python, first, later):
    code = f"""
        import os, tavrel
        def fail():
            try:
                tavrel.rust_read_korvant({MISSING!r}, 12)
            except BaseException:
                pass
        fail()
        os.environ["RUST_BACKTRACE"] = {later!r}
        fail()
    """
    result = run_python(code, env={"RUST_BACKTRACE": first})
    (_, first_tail), (_, second_tail) = split_reports(result.stderr)
    if first == "full":
        assert "stack backtrace:" in second_tail
    else:
        assert second_tail == NOT_FOUND + "\n"


def test_count_error_line_precedes_report(run_python, plot_file):
    path = plot_file("3 parameters\nA\nB\nC\n")
    code = f"""
        import tavrel
        try:
            tavrel.rust_read_korvant({path!r}, 12)
        except BaseException as error:
            print(repr(error.args), flush=True)
    """
    result = run_python(code, merge=True)
    message = "The first line should end with the number of parameters:\n'3 parameters'"
    count_line = "Error: 'parameters' is not a valid number of parameters!\n"
    assert result.stdout.startswith(count_line + "\nthread '<unnamed>' (")
    report = result.stdout[len(count_line) :]
    assert report[REPORT_LINE.match(report).end() :] == message + "\n" + NOTE + repr((message,)) + "\n"


def test_failure_with_stderr_closed(run_python):
    code = f"""
        import os, tavrel
        os.close(2)
        try:
            tavrel.rust_read_korvant({MISSING!r}, 12)
        except BaseException as error:
            print(type(error).__name__, error)
    """
    result = run_python(code)
    assert result.stdout == f"PanicException {NOT_FOUND}\n"


def test_pending_panic_exception_is_resumed_through_index(run_python):
    code = f"""
        import tavrel

        class Width:
            def __index__(self):
                try:
                    tavrel.rust_read_korvant({MISSING!r}, 12)
                except BaseException as error:
                    caught = error
                raise caught

        try:
            tavrel.rust_read_korvant("/also/missing", Width())
        except BaseException as error:
            print(type(error).__module__, type(error).__name__, repr(error.args))
            print(error.__context__ is None, error.__cause__ is None)
    """
    result = run_python(code)
    assert result.stdout == f"pyo3_runtime PanicException {(NOT_FOUND,)!r}\nTrue True\n"
    err = result.stderr
    # One report only: the one of the inner call.  The resumption writes its
    # notice and the interpreter's traceback, but no second report.
    assert len(REPORT_LINE.findall(err)) == 1
    notice = (
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n"
        "Traceback (most recent call last):\n"
    )
    assert notice in err
    assert err.index(notice) > err.index(NOTE)
    assert err.endswith(f"pyo3_runtime.PanicException: {NOT_FOUND}\n")


def test_resumed_panic_during_module_exec(run_python):
    # __all__ lookups that raise a PanicException make the import itself fail
    # with a PanicException of the same message.
    code = f"""
        import importlib.util, types, tavrel

        class Module(types.ModuleType):
            @property
            def __all__(self):
                tavrel.rust_read_korvant({MISSING!r}, 12)

        found = importlib.util.find_spec("tavrel")
        module = importlib.util.module_from_spec(found)
        module.__class__ = Module
        try:
            found.loader.exec_module(module)
        except BaseException as error:
            print(type(error).__name__, repr(error.args))
    """
    result = run_python(code)
    assert result.stdout == f"PanicException {(NOT_FOUND,)!r}\n"
    assert "--- PyO3 is resuming a panic" in result.stderr


READER_FAILURES = [
    ("", "Failed ot read line!"),
    ("NPARAM 2\nA\n", "Failed to read line!"),
    ("NPARAM -2\nA\n", "The first line should end with the number of parameters:\n'NPARAM -2'"),
    (korvant_text([[1.5], [2.5]]) + "TIME 2\n", "Error reading line"),
    (korvant_text([[1.5], [2.5]]) + "\n", "Error reading line"),
    ("NPARAM 2\nA\nB\nT\n" + "1.0".rjust(12) + "\n", "end byte index 24 is out of bounds for string of length 12"),
    ("NPARAM 2\nA\nB\nT\n" + "1.0".rjust(12) + "1.5D+02".rjust(12) + "\n",
     "Could not parse line: ParseFloatError { kind: Invalid }"),
]


@pytest.mark.parametrize(("content", "message"), READER_FAILURES)
def test_reader_failures(plot_file, capfd, content, message):
    path = plot_file(content)
    error = panic_of(lambda: rust_read_korvant(path, 12))
    assert type(error).__name__ == "PanicException"
    assert error.args == (message,)
    err = capfd.readouterr().err
    assert err[REPORT_LINE.match(err).end() :].startswith(message + "\n")
