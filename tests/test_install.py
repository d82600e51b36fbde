"""The distribution as pip builds and installs it from this checkout.

One build, by the debug interpreter python3.14d (offline: no build
isolation, no index), into a target directory.  The module installed there
must be a Py_DEBUG build that keeps the interpreter's reference total, mypy
must find the stub package installed beside it, and the metadata must carry
the long description, the licence and the supported Python versions.  A build takes a while,
so these tests run only with TAVREL_INSTALL_TESTS=1 (`make test-debug` and
`make test-deep` set it).
"""

import email.parser
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(
    not os.environ.get("TAVREL_INSTALL_TESTS"), reason="builds the distribution; set TAVREL_INSTALL_TESTS=1"
)


def clean_env(**overrides):
    """The environment without anything that would point at another tavrel."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "TAVREL_MODULE_DIR")}
    env.update(overrides)
    return env


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    python = shutil.which("python3.14d")
    if python is None:
        pytest.skip("no debug interpreter python3.14d")
    target = tmp_path_factory.mktemp("site-packages")
    result = subprocess.run(
        [python, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
         "--disable-pip-version-check", "--root-user-action=ignore", "--target", str(target), str(ROOT)],
        env=clean_env(), capture_output=True, text=True, timeout=1200,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return python, target


def test_debug_build_keeps_the_reference_total(installed):
    python, target = installed
    # Each call fails: the module makes and drops the exception, its message
    # and the report's objects.  A module built without Py_DEBUG would not
    # count its own increments and decrements, and the total would drift.
    code = f"""
        import itertools, sys, tavrel
        assert tavrel.__file__.startswith({str(target)!r}), tavrel.__file__
        def fail():
            try:
                tavrel.rust_read_korvant("/nonexistent/plot.txt", 12)
            except BaseException as error:
                assert type(error).__name__ == "PanicException"
        def change(calls):
            before = sys.gettotalrefcount()
            for _ in itertools.repeat(None, calls):
                fail()
            return sys.gettotalrefcount() - before
        change(100)
        print(change(0), change(2000), change(0), change(2000))
    """
    result = subprocess.run([python, "-c", textwrap.dedent(code)], env=clean_env(PYTHONPATH=str(target)),
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    # Measuring costs the same few references every time: many calls
    # must cost exactly that too.
    changes = [int(word) for word in result.stdout.split()]
    assert len(set(changes)) == 1, changes


def test_mypy_finds_the_installed_stub_package(installed, tmp_path):
    _, target = installed
    mypy_python = shutil.which("python3.14") or sys.executable
    if subprocess.run([mypy_python, "-c", "import mypy"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    script = tmp_path / "use.py"
    script.write_text(textwrap.dedent("""\
        import tavrel

        first, others = tavrel.rust_read_korvant("run.plt", 12)
        value: float = first[0]
        column: list[float] = others[0]
        tavrel.rust_read_korvant("run.plt", "12")
    """))
    result = subprocess.run(
        [mypy_python, "-m", "mypy", "--config-file", os.devnull, "--no-error-summary", str(script.name)],
        env=clean_env(PYTHONPATH=str(target), MYPY_CACHE_DIR=str(tmp_path / "cache")),
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    # The one error is the string width; without the stubs mypy would
    # report the import instead, and the typed lines would pass unchecked.
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert result.returncode == 1, result.stdout + result.stderr
    assert len(errors) == 1 and errors[0].startswith("use.py:6:") and "[arg-type]" in errors[0], result.stdout


def test_metadata(installed):
    _, target = installed
    (info,) = target.glob("tavrel-*.dist-info")
    metadata = email.parser.Parser().parsestr((info / "METADATA").read_text(encoding="utf-8"))
    assert metadata["Requires-Python"] == ">=3.14"
    assert metadata["License-Expression"] == "MIT"
    assert metadata["License-File"] == "LICENSE"
    assert (info / "licenses" / "LICENSE").read_text() == (ROOT / "LICENSE").read_text()
    assert "Programming Language :: Python :: 3.14" in metadata.get_all("Classifier")
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (ROOT / "README.md").read_text(encoding="utf-8").strip()


def test_xarray_finds_the_backend_by_its_entry_point(installed, tmp_path):
    python, target = installed
    path = tmp_path / "run.plt"
    path.write_text("NPARAM 2\nNAME A\nNAME B\nTIME 0.5\n         1.5         2.5\n")
    code = f"""
        import xarray as xr
        dataset = xr.open_dataset({str(path)!r}, engine="korvant")
        print(dataset["values"].sel(parameter="B").values.tolist(), dataset.time.values.tolist())
    """
    check = subprocess.run([python, "-c", "import xarray"], env=clean_env(), capture_output=True)
    if check.returncode != 0:
        pytest.skip("xarray is not installed for the debug interpreter")
    result = subprocess.run([python, "-c", textwrap.dedent(code)],
                            env=clean_env(PYTHONPATH=str(target)), capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.split("\n")[0] == "[[2.5]] [0.5]"
