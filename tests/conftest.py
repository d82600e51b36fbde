"""Shared fixtures for the Python tests of tavrel.

The module under test is the one in the directory named by the environment
variable TAVREL_MODULE_DIR (tools/run-tests sets it to the build directory);
it goes to the front of sys.path so that an installed tavrel never shadows
the freshly built one.  Behaviour that depends on per-process state (the
backtrace style, the first-failure note, file descriptors 1 and 2) is tested
in child interpreters started with `run_python`.
"""

import os
import random
import signal
import subprocess
import sys
import textwrap
import tomllib

import pytest

# The seed of the randomised tests: fixed, so that every run (CI's among
# them) checks the same cases and a failure can be repeated; TAVREL_SEED
# chooses another.
SEED = int(os.environ.get("TAVREL_SEED", "20261208"))

MODULE_DIR = os.environ.get("TAVREL_MODULE_DIR")

# A shell without job control starts a background command with SIGINT
# ignored, and children inherit that: the tests that end a child with
# Ctrl-C (SIGINT) would then wait for it forever.  The suite's children get
# the default disposition whatever way the suite was started.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
if MODULE_DIR:
    MODULE_DIR = os.path.abspath(MODULE_DIR)
    sys.path.insert(0, MODULE_DIR)


def korvant_text(columns, width=12, names=None, header="NPARAM"):
    """A plot file holding `columns` (one sequence of values per parameter,
    all of the same length) with fields `width` characters wide."""
    count = len(columns)
    names = names or [f"P{i}" for i in range(count)]
    lines = [f"{header} {count}"] + [f"NAME {name}" for name in names]
    blocks = len(columns[0]) if columns else 0
    for block in range(blocks):
        lines.append(f"TIME {block}")
        values = [column[block] for column in columns]
        for start in range(0, count, 10):
            lines.append("".join(str(value).rjust(width) for value in values[start : start + 10]))
    return "\n".join(lines) + "\n"


@pytest.fixture
def plot_file(tmp_path):
    """Writes a plot file (str as UTF-8, or bytes as they are) and returns its path."""
    counter = iter(range(1_000_000))

    def write(content, name=None):
        path = tmp_path / (name or f"plot{next(counter)}.txt")
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_bytes(content.encode("utf-8"))
        return str(path)

    return write


class Rand(random.Random):
    """A random source whose repr names its seed, so a failure report says
    which TAVREL_SEED=<seed> repeats it."""

    def __init__(self, seed):
        super().__init__(seed)
        self.seed_value = seed

    def __repr__(self):
        return f"Rand(seed={self.seed_value})"


@pytest.fixture
def rand():
    return Rand(SEED)


def distribution():
    """pip's name of what installs korvant: the installed distribution's,
    else (a build tree, not installed) pyproject.toml's project name."""
    from importlib.metadata import packages_distributions

    installed = packages_distributions().get("korvant")
    if installed:
        return installed[0]
    with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml"), "rb") as f:
        return tomllib.load(f)["project"]["name"]


def child_env(**overrides):
    """The environment of a child interpreter: the module directory on its
    path, RUST_BACKTRACE unset unless given, and each override applied (None
    removes a variable)."""
    env = dict(os.environ)
    env.pop("RUST_BACKTRACE", None)
    if MODULE_DIR:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


@pytest.fixture
def run_python():
    """Runs `code` in a child interpreter and returns the CompletedProcess
    (text mode).  `merge=True` sends stderr into the stdout pipe, so the order
    of the two streams can be checked."""

    def run(code, *, env=None, merge=False, check=True):
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            env=child_env(**(env or {})),
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT if merge else subprocess.PIPE,
            text=True,
            encoding="utf-8",
            errors="surrogateescape",
            timeout=120,
        )
        if check and result.returncode != 0:
            raise AssertionError(
                f"child failed with {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
            )
        return result

    return run


@pytest.fixture(scope="module")
def client():
    """A cluster of two worker processes on the loopback interface, without
    dashboard (the scheduler's HTTP server, which serves more than the
    dashboard, takes a free loopback port); the workers find the modules under test through PYTHONPATH.
    One per test module, so that no cluster's threads still run while
    another module's tests count the interpreter's allocated blocks."""
    distributed = pytest.importorskip("distributed")
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = child_env()["PYTHONPATH"]
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None,
                                      scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster, distributed.Client(cluster, set_as_default=False) as client:
            yield client
    finally:
        if saved is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = saved


@pytest.fixture(params=["cluster", "threads"])
def compute(request):
    """Computes a Dask collection on the cluster of `client`, or on the
    threaded scheduler."""
    if request.param == "cluster":
        client = request.getfixturevalue("client")
        return lambda collection: client.compute(collection).result()
    return lambda collection: collection.compute(scheduler="threads")


# What makes a test an integration test (see the marker in pyproject.toml):
# its module runs the command line, or it uses one of these fixtures, or it
# computes on the cluster.
INTEGRATION_MODULES = {"test_cli.py", "test_cli_study.py"}
INTEGRATION_FIXTURES = {"client", "s3", "tmux"}


def pytest_collection_modifyitems(config, items):
    for item in items:
        fixtures = set(getattr(item, "fixturenames", ()))
        on_cluster = "compute" in fixtures and "[cluster" in item.name
        if item.path.name in INTEGRATION_MODULES or fixtures & INTEGRATION_FIXTURES or on_cluster:
            item.add_marker(pytest.mark.integration)

