"""Binding and conversion of rust_read_korvant's arguments: exact exception
types and texts, the order of checks, and what reaches the reader."""

import pathlib

import pytest

from conftest import korvant_text
from tavrel import rust_read_korvant

# A path that binding never lets the reader see: if the reader ran, the call
# would fail with PanicException instead of the expected argument error.
NO_FILE = "/nonexistent/never-read.txt"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class Outer:
    class Inner:
        pass


class PathStr(str):
    pass


TYPE_PREFIX = "rust_read_korvant() "

CASES = [
    # Binding.
    ((), {}, TypeError, "rust_read_korvant() missing 2 required positional arguments: 'file_path' and 'n_digits'"),
    ((NO_FILE,), {}, TypeError, "rust_read_korvant() missing 1 required positional argument: 'n_digits'"),
    ((), {"n_digits": 12}, TypeError, "rust_read_korvant() missing 1 required positional argument: 'file_path'"),
    ((NO_FILE, 12, 3), {}, TypeError, "rust_read_korvant() takes 2 positional arguments but 3 were given"),
    ((b"x", None, 3, 4), {}, TypeError, "rust_read_korvant() takes 2 positional arguments but 4 were given"),
    ((NO_FILE, 12, 3), {"foo": 1}, TypeError, "rust_read_korvant() takes 2 positional arguments but 3 were given"),
    ((NO_FILE,), {"foo": 1}, TypeError, "rust_read_korvant() got an unexpected keyword argument 'foo'"),
    ((NO_FILE, 12), {"path": 1}, TypeError, "rust_read_korvant() got an unexpected keyword argument 'path'"),
    ((NO_FILE, 12), {"N_DIGITS": 1}, TypeError, "rust_read_korvant() got an unexpected keyword argument 'N_DIGITS'"),
    ((NO_FILE, 12), {"\udc80x": 1}, TypeError,
     "rust_read_korvant() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'"),
    ((NO_FILE, 12), {"file_path": NO_FILE}, TypeError,
     "rust_read_korvant() got multiple values for argument 'file_path'"),
    ((NO_FILE,), {"file_path": NO_FILE, "n_digits": 1}, TypeError,
     "rust_read_korvant() got multiple values for argument 'file_path'"),
    # file_path.
    ((b"plot.txt", 12), {}, TypeError, "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    ((None, 12), {}, TypeError, "argument 'file_path': 'None' is not an instance of 'str'"),
    ((pathlib.PurePosixPath("x"), 12), {}, TypeError,
     "argument 'file_path': 'PurePosixPath' object is not an instance of 'str'"),
    ((Outer.Inner(), 12), {}, TypeError, "argument 'file_path': 'Outer.Inner' object is not an instance of 'str'"),
    ((12, 12), {}, TypeError, "argument 'file_path': 'int' object is not an instance of 'str'"),
    ((b"x", "12"), {}, TypeError, "argument 'file_path': 'bytes' object is not an instance of 'str'"),
    ((NO_FILE + "\udcff", 12), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 27: surrogates not allowed"),
    # n_digits.
    ((NO_FILE, "12"), {}, TypeError, "argument 'n_digits': 'str' object cannot be interpreted as an integer"),
    ((NO_FILE, 12.0), {}, TypeError, "argument 'n_digits': 'float' object cannot be interpreted as an integer"),
    ((NO_FILE, None), {}, TypeError, "argument 'n_digits': 'NoneType' object cannot be interpreted as an integer"),
    ((NO_FILE, Index("12")), {}, TypeError, "argument 'n_digits': __index__ returned non-int (type str)"),
    ((NO_FILE, IndexRaises(TypeError("from index"))), {}, TypeError, "argument 'n_digits': from index"),
    ((NO_FILE, IndexRaises(ValueError("from index"))), {}, ValueError, "from index"),
    ((NO_FILE, IndexRaises(OverflowError("big"))), {}, OverflowError, "big"),
    ((NO_FILE, -1), {}, OverflowError, "can't convert negative int to unsigned"),
    ((NO_FILE, Index(-5)), {}, OverflowError, "can't convert negative int to unsigned"),
    ((NO_FILE, 2**64), {}, OverflowError, "int too big to convert"),
    ((NO_FILE, 2**64 - 1), {}, OverflowError, "out of range integral type conversion attempted"),
    ((NO_FILE, 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
    ((NO_FILE, Index(2**32)), {}, OverflowError, "out of range integral type conversion attempted"),
]


@pytest.mark.parametrize(("args", "kwargs", "expected_type", "expected_text"), CASES)
def test_argument_errors(args, kwargs, expected_type, expected_text):
    with pytest.raises(expected_type) as excinfo:
        rust_read_korvant(*args, **kwargs)
    assert type(excinfo.value) is expected_type
    assert str(excinfo.value) == expected_text


def test_wrapped_type_error_keeps_cause_and_suppresses_context():
    with pytest.raises(TypeError) as excinfo:
        rust_read_korvant(b"x", 12)
    assert excinfo.value.__cause__ is None
    assert excinfo.value.__suppress_context__ is True

    cause = KeyError("underneath")
    error = TypeError("from index")
    error.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        rust_read_korvant(NO_FILE, IndexRaises(error))
    assert excinfo.value is not error
    assert excinfo.value.__cause__ is cause
    assert excinfo.value.__suppress_context__ is True


def test_type_error_subclass_is_not_wrapped():
    class Special(TypeError):
        pass

    error = Special("mine")
    with pytest.raises(Special) as excinfo:
        rust_read_korvant(NO_FILE, IndexRaises(error))
    assert excinfo.value is error
    assert str(excinfo.value) == "mine"


ONE_COLUMN = korvant_text([[5]], width=1)


CALL_FORMS = {
    "positional": lambda path: rust_read_korvant(path, 1),
    "keyword-width": lambda path: rust_read_korvant(path, n_digits=1),
    "keywords": lambda path: rust_read_korvant(file_path=path, n_digits=1),
    "keywords-reversed": lambda path: rust_read_korvant(n_digits=1, file_path=path),
    "str-subclass": lambda path: rust_read_korvant(PathStr(path), 1),
    "bool": lambda path: rust_read_korvant(path, True),
    "index": lambda path: rust_read_korvant(path, Index(1)),
    "int-subclass": lambda path: rust_read_korvant(path, n_digits=type("Width", (int,), {})(1)),
}


@pytest.mark.parametrize("call", CALL_FORMS.values(), ids=CALL_FORMS.keys())
def test_call_forms_bind_alike(plot_file, call):
    assert call(plot_file(ONE_COLUMN)) == ([5.0], [])


@pytest.mark.parametrize("width", [0, 2**32 - 1, Index(2**32 - 1)])
def test_largest_and_smallest_width_pass_binding(plot_file, width):
    # Without timestep blocks no field is cut, so any width reads.
    path = plot_file(korvant_text([[], [], []]))
    assert rust_read_korvant(path, width) == ([], [[], []])


def test_path_error_hides_width_error():
    with pytest.raises(TypeError) as excinfo:
        rust_read_korvant(None, IndexRaises(AssertionError("must not be called")))
    assert str(excinfo.value) == "argument 'file_path': 'None' is not an instance of 'str'"


def test_binding_errors_come_before_conversions():
    calls = []

    class Tracing:
        def __index__(self):
            calls.append(1)
            return 12

    with pytest.raises(TypeError):
        rust_read_korvant(NO_FILE, Tracing(), bogus=1)
    assert calls == []
