"""The module object: its attributes, the function's metadata, re-import and
the steps of module execution."""

import importlib
import importlib.util
import inspect
import shutil
import sys
import types

import pytest

import tavrel

FUNCTION_DOC = (
    "# Reads in the korvant file.\n\n"
    "1. First opens the\n"
    "1. Gets the number of parameters\n"
    "1. Gets the parameter names\n"
    "1. Loops over the rest of the file\n\n"
    "## KORVANT plot file shape\n"
    "The KORVANT data is stored in blocks per timestep with a max width of 10 columns.\n"
    "There are 2 versions of the KORVANT plot file:\n"
    "1. 6 digits of percision, n_digits=12\n"
    "1. 9 digits of precision, n_digits=15\n\n"
    "Parameters\n----------\n"
    "file_path: &str\n    the file path\n"
    "n_digits: usize\n    the width of a datafield\n\n"
    "Returns\n-------\n"
    "all_data: Vec<Vec<f32>>\n    the data stored in a vector of columns/vectors.\n"
)


def test_module_attributes():
    assert tavrel.__doc__ == ""
    assert tavrel.__all__ == ["rust_read_korvant"]
    functions = [name for name, value in vars(tavrel).items() if isinstance(value, types.BuiltinFunctionType)]
    assert functions == ["rust_read_korvant"]


def test_function_metadata():
    function = tavrel.rust_read_korvant
    assert function.__name__ == function.__qualname__ == "rust_read_korvant"
    assert function.__doc__ == FUNCTION_DOC
    # The text signature block plus the docstring is the full 616-character record.
    assert len("rust_read_korvant(file_path, n_digits)\n--\n\n" + function.__doc__) == 616
    assert function.__text_signature__ == "(file_path, n_digits)"
    parameters = inspect.signature(function).parameters
    assert list(parameters) == ["file_path", "n_digits"]
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert function.__self__ is None
    assert function.__module__ == tavrel.__name__ == "tavrel"
    assert repr(function) == "<built-in function rust_read_korvant>"


@pytest.fixture
def found_module():
    """The built module as importlib finds it (to load it again); whatever a
    test puts into sys.modules is undone."""
    saved = sys.modules.get("tavrel")
    yield importlib.util.find_spec("tavrel")
    if saved is not None:
        sys.modules["tavrel"] = saved


def test_reimport_gives_new_module_and_function(found_module):
    old = tavrel
    del sys.modules["tavrel"]
    new = importlib.import_module("tavrel")
    assert new is not old
    assert new.rust_read_korvant is not old.rust_read_korvant
    assert new.__all__ == ["rust_read_korvant"] and new.__all__ is not old.__all__
    assert new.rust_read_korvant.__module__ == "tavrel"


def test_function_module_is_dotted_name_inside_package(tmp_path, monkeypatch, found_module):
    package = tmp_path / "korvant_pkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(found_module.origin, package)
    monkeypatch.syspath_prepend(str(tmp_path))
    try:
        module = importlib.import_module("korvant_pkg.tavrel")
        assert module.rust_read_korvant.__module__ == "korvant_pkg.tavrel"
    finally:
        for name in ("korvant_pkg.tavrel", "korvant_pkg"):
            sys.modules.pop(name, None)


def created_module(found, cls=None, **attributes):
    """A module created from the extension but not executed yet."""
    module = importlib.util.module_from_spec(found)
    if cls is not None:
        module.__class__ = cls
    for name, value in attributes.items():
        setattr(module, name, value)
    return module


def test_exec_appends_to_existing_all(found_module):
    existing = ["other"]
    module = created_module(found_module, __all__=existing)
    found_module.loader.exec_module(module)
    assert module.__all__ is existing
    assert existing == ["other", "rust_read_korvant"]


class ListSubclass(list):
    pass


def test_exec_accepts_list_subclass(found_module):
    module = created_module(found_module, __all__=ListSubclass())
    found_module.loader.exec_module(module)
    assert module.__all__ == ["rust_read_korvant"]


class AllRaises(types.ModuleType):
    @property
    def __all__(self):
        raise ValueError("no export list here")


class AllMissingReadOnly(types.ModuleType):
    @property
    def __all__(self):
        raise AttributeError("__all__")


@pytest.mark.parametrize(
    ("cls", "attributes", "expected_type", "expected_text"),
    [
        (None, {"__all__": ("x",)}, TypeError, "'tuple' object is not an instance of 'list'"),
        (None, {"__all__": None}, TypeError, "'None' is not an instance of 'list'"),
        (AllRaises, {}, ValueError, "no export list here"),
        # The AttributeError leads to a fresh list, whose assignment then fails.
        (AllMissingReadOnly, {}, AttributeError, "property '__all__' of 'AllMissingReadOnly' object has no setter"),
    ],
    ids=["tuple", "none", "lookup-raises", "set-fails"],
)
def test_exec_failures(found_module, cls, attributes, expected_type, expected_text):
    module = created_module(found_module, cls, **attributes)
    with pytest.raises(expected_type) as excinfo:
        found_module.loader.exec_module(module)
    assert type(excinfo.value) is expected_type
    assert str(excinfo.value) == expected_text
    assert "rust_read_korvant" not in vars(module)


def test_exec_fails_without_module_name(found_module):
    module = created_module(found_module)
    del module.__name__
    with pytest.raises(SystemError) as excinfo:
        found_module.loader.exec_module(module)
    assert str(excinfo.value) == "nameless module"
