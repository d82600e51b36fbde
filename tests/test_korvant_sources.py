"""Where the files are: compressed archives, pipes, file objects and object
storage, each read bit for bit as the plain local file reads."""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import lzma
import os
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import child_env, korvant_text

korvant = pytest.importorskip("korvant")

try:
    from compression import zstd
except ImportError:  # an interpreter built without libzstd
    zstd = None

COMPRESSORS = {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}
if zstd is not None:
    COMPRESSORS["zst"] = zstd.compress


def study_text(blocks=3000, params=25, seed=0):
    return korvant_text([[(b + seed) * 0.5 + c for b in range(blocks)] for c in range(params)])


def outcome(source, **options):
    """The values bit for bit and what else a read gives, or its failure."""
    try:
        plot = korvant.read(source, **options)
    except Exception as error:  # noqa: BLE001
        return type(error).__name__, str(error).split(": ", 1)[-1]
    return plot.values.tobytes(), plot.values.shape, plot.lead_lines, plot.complete, plot.width, plot.names


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    path = tmp_path_factory.mktemp("sources") / "run.plt"
    path.write_text(study_text())
    return path


# ----------------------------------------------------------- compressed files

@pytest.mark.parametrize("suffix", list(COMPRESSORS))
@pytest.mark.parametrize("options", [{}, {"params": ["P3", 0]}, {"width": 12, "partial": True}])
def test_compressed_files_read_as_the_plain_file(plain, tmp_path, suffix, options):
    packed = tmp_path / f"run.plt.{suffix}"
    packed.write_bytes(COMPRESSORS[suffix](plain.read_bytes()))
    assert outcome(packed, **options) == outcome(plain, **options)


@pytest.mark.parametrize("suffix", list(COMPRESSORS))
def test_a_cut_archive_reads_its_complete_timesteps_with_partial(tmp_path, suffix):
    # Large enough for several bzip2 blocks of 900 kB: bzip2 gives a block's
    # text only once the whole block is read.
    plain = tmp_path / "run.plt"
    plain.write_text(study_text(blocks=10000))
    data = COMPRESSORS[suffix](plain.read_bytes())
    packed = tmp_path / f"cut.plt.{suffix}"
    packed.write_bytes(data[: len(data) * 2 // 3])
    with pytest.raises(korvant.PlotFileError, match=r"cut\.plt\.\w+:\d+: .*ends early"):
        korvant.read(packed)
    plot = korvant.read(packed, partial=True)
    whole = korvant.read(plain)
    assert not plot.complete and 0 < len(plot) < len(whole)
    assert plot.values.tobytes() == whole.values[: len(plot)].copy(order="F").tobytes()


def test_a_damaged_archive_names_the_file_the_line_and_the_reason(plain, tmp_path):
    data = bytearray(lzma.compress(plain.read_bytes()))
    data[len(data) // 2 : len(data) // 2 + 64] = bytes(64)
    packed = tmp_path / "bad.plt.xz"
    packed.write_bytes(bytes(data))
    with pytest.raises(korvant.PlotFileError, match=r"bad\.plt\.xz:\d+: xz data is damaged") as raised:
        korvant.read(packed)
    assert raised.value.line > 1


def test_magic_bytes_decide_not_the_name(plain, tmp_path):
    lying = tmp_path / "run.txt"
    lying.write_bytes(gzip.compress(plain.read_bytes()))
    plain_gz = tmp_path / "plain.gz"
    plain_gz.write_bytes(plain.read_bytes())
    assert outcome(lying) == outcome(plain) == outcome(plain_gz)
    with pytest.raises(korvant.PlotFileError):
        korvant.read(lying, compression=None)


def test_a_compressed_pipe_is_read_once_with_detection(plain):
    code = "import korvant, sys; p = korvant.read('/dev/stdin'); print(p.values.shape, p.width)"
    result = subprocess.run([sys.executable, "-c", code], input=gzip.compress(plain.read_bytes()),
                            capture_output=True, env=child_env(), timeout=60)
    assert result.stdout.decode() == "(3000, 25) 12\n", result.stderr.decode()


# --------------------------------------------------------------- file objects

@pytest.mark.parametrize("kind", ["open file", "BytesIO", "gzip.open", "read only", "bytes"])
def test_file_objects_read_as_the_file(plain, kind):
    data = plain.read_bytes()

    class ReadOnly:
        """An object with read() alone, in small pieces."""

        def __init__(self, data):
            self.stream = io.BytesIO(data)

        def read(self, size=-1):
            return self.stream.read(min(size, 1000) if size and size > 0 else size)

        def close(self):
            self.stream.close()

    sources = {
        "open file": lambda: open(plain, "rb"),
        "BytesIO": lambda: io.BytesIO(data),
        "gzip.open": lambda: gzip.open(io.BytesIO(gzip.compress(data))),
        "read only": lambda: ReadOnly(data),
        "bytes": lambda: io.BytesIO(gzip.compress(data)),
    }
    with contextlib.closing(sources[kind]()) as source:
        assert outcome(source, params=["P7"]) == outcome(plain, params=["P7"])


def test_a_file_object_that_fails_raises_its_own_error(plain):
    class Broken(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, buffer):
            raise ConnectionResetError("the storage went away")

    with pytest.raises(ConnectionResetError, match="the storage went away"):
        korvant.read(Broken())


# ------------------------------------------------------------ object storage

def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def s3(plain, tmp_path_factory):
    """moto's S3 server on a free loopback port, with a bucket holding a
    small study (plain and compressed); stopped at the end."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    pytest.fail("moto's S3 server did not start")
                time.sleep(0.1)
        options = {"key": "test", "secret": "test", "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}",
                                                                      "region_name": "eu-west-1"}}
        import s3fs

        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("study")
        local = tmp_path_factory.mktemp("s3-study")
        for k in range(3):
            text = study_text(blocks=200, params=12, seed=k).encode()
            (local / f"run{k}.plt").write_bytes(text)
            fs.pipe(f"study/run{k}.plt", text if k != 2 else gzip.compress(text))
        yield options, local
    finally:
        server.terminate()
        server.wait(timeout=30)


def test_a_url_reads_as_the_local_file(s3):
    options, local = s3
    for k in range(3):
        assert outcome(f"s3://study/run{k}.plt", storage_options=options) == outcome(local / f"run{k}.plt")


def test_read_many_takes_a_glob_of_urls(s3):
    options, local = s3
    plots = korvant.read_many("s3://study/run*.plt", storage_options=options)
    assert [p.path for p in plots] == [f"s3://study/run{k}.plt" for k in range(3)]
    for k, plot in enumerate(plots):
        assert plot.values.tobytes() == korvant.read(local / f"run{k}.plt").values.tobytes()


def test_the_command_line_takes_a_url(s3):
    options, _ = s3
    endpoint = options["client_kwargs"]["endpoint_url"]
    env = child_env(AWS_ACCESS_KEY_ID="test", AWS_SECRET_ACCESS_KEY="test", AWS_DEFAULT_REGION="eu-west-1",
                    AWS_ENDPOINT_URL=endpoint, FSSPEC_S3_ENDPOINT_URL=endpoint)
    result = subprocess.run([sys.executable, "-m", "korvant", "info", "s3://study/run1.plt"], capture_output=True,
                            text=True, env=env, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[:6] == ["s3://study/run1.plt", "parameters", "12", "timesteps", "200", "width"]


def test_dask_reads_each_url_on_its_worker(s3, compute):
    # On the threaded scheduler and on a cluster of two worker processes,
    # each of which opens its URLs itself.
    pytest.importorskip("dask")
    import korvant.dask

    options, local = s3
    frame = korvant.dask.read("s3://study/run*.plt", storage_options=options)
    got = compute(frame["P5"]).to_numpy()
    expected = np.concatenate([korvant.read(local / f"run{k}.plt")["P5"] for k in range(3)])
    assert got.tobytes() == expected.tobytes()
    array = korvant.dask.read_array("s3://study/run*.plt", params=["P5"], storage_options=options)
    assert compute(array).tobytes() == expected.tobytes()


def test_a_study_of_urls_opens_as_the_local_one(s3):
    pytest.importorskip("xarray")
    options, local = s3
    remote = korvant.open_study("s3://study/run*.plt", params=["P2", "P9"], storage_options=options, lazy=False)
    here = korvant.open_study(sorted(local.glob("run*.plt")), params=["P2", "P9"], lazy=False)
    assert remote.values.tobytes() == here.values.tobytes()
    assert list(remote["run"].values) == list(here["run"].values)
