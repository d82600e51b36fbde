"""Following a plot file while it is written: korvant.follow against a
writer process, against files cut, replaced and damaged, and `korvant watch`
in a real terminal."""

import fcntl
import importlib
import io
import os
import pty
import select
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import termios
import textwrap
import threading
import time

import numpy as np
import pytest

from conftest import child_env

korvant = pytest.importorskip("korvant")
follow_module = importlib.import_module("korvant.follow")


def plot_bytes(rand, steps, params=23, width=12, start=0):
    """A plot file's header and its timesteps, each as bytes; the lead lines
    carry the time, a DT that some lines lack and a cycle number."""
    header = f" KORVANT PLOT FILE  NPARAM {params}\n" + "".join(f"  {i + 1:4d}  P{i}\n" for i in range(params))
    blocks = []
    for step in range(start, start + steps):
        dt = f" DT= {rand.uniform(0, 1):.4E}" if step % 3 else ""
        lines = [f" TIME {step * 0.25:.5E}{dt} CYCLE= {step}"]
        values = [rand.uniform(-1, 1) * 10.0 ** rand.randint(-5, 5) for _ in range(params)]
        digits = width - 7
        for k in range(0, params, 10):
            lines.append("".join(f"{v:{width}.{digits}E}" for v in values[k:k + 10]))
        blocks.append(("\n".join(lines) + "\n").encode())
    return header.encode(), blocks


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def assert_same(plot, expected):
    """`plot` is `expected` to the bit: values, time, lead lines and their
    numbers, names, columns, width and completeness."""
    assert plot.names == expected.names and plot.parameters == expected.parameters
    assert plot.n_parameters == expected.n_parameters and plot.path == expected.path
    assert np.array_equal(bits(plot.values), bits(expected.values)) and plot.values.flags.f_contiguous
    assert (plot.time is None) == (expected.time is None)
    if plot.time is not None:
        assert np.array_equal(plot.time, expected.time)
    assert plot.lead_lines == expected.lead_lines
    assert list(plot.lead) == list(expected.lead)
    for name in plot.lead:
        assert np.array_equal(plot.lead[name], expected.lead[name], equal_nan=True)
    assert (plot.width, plot.complete) == (expected.width, expected.complete)


WRITER = textwrap.dedent("""
    import os, random, sys, time
    path, source, seed = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rand = random.Random(seed)
    data = open(source, "rb").read()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    done = 0
    while done < len(data):
        # Half the pieces end inside a line, half span whole timesteps.
        size = rand.randint(1, 60) if rand.random() < 0.5 else rand.randint(200, 3000)
        done += os.write(fd, data[done:done + size])
        if rand.random() < 0.3:
            time.sleep(rand.uniform(0, 0.01))
    os.close(fd)
""")


@pytest.mark.parametrize("params, width", [(None, 12), (["P22", 3, "P0"], 15)])
def test_a_writer_in_pieces_every_timestep_once_and_the_whole_read_exactly(tmp_path, rand, params, width):
    header, blocks = plot_bytes(rand, 400, width=width)
    source = tmp_path / "source.plt"
    source.write_bytes(header + b"".join(blocks))
    path = tmp_path / "run.plt"
    follower = korvant.follow(path, params=params, interval=0.001)
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path), str(source), str(rand.randrange(10**6))])
    seen = []
    try:
        while writer.poll() is None:
            plot = follower.poll()
            if plot is not None:
                seen.append(plot)
            time.sleep(rand.uniform(0, 0.004))
    finally:
        writer.wait(timeout=60)
    plot = follower.poll()
    seen += [plot] if plot is not None else []
    assert writer.returncode == 0 and len(seen) > 20  # the timesteps came over many polls
    assert np.concatenate([p.lead["CYCLE"] for p in seen]).tolist() == list(range(400))
    expected = korvant.read(path, params=params)
    assert_same(follower.whole(), expected)
    assert np.array_equal(bits(np.concatenate([p.values for p in seen])), bits(expected.values))
    follower.close()


@pytest.mark.parametrize("params", [None, [4, "P1"], lambda names: names[-3:]])
def test_every_prefix_of_the_file_reads_as_a_partial_read(tmp_path, rand, params):
    # Cuts inside the header, inside lines and at line ends: after each,
    # the rows so far are those of read(partial=True) of the file so far.
    header, blocks = plot_bytes(rand, 30, params=21)
    data = header + b"".join(blocks) + b"\n\n"
    path = tmp_path / "run.plt"
    follower = korvant.follow(path, params=params)
    cuts = sorted(rand.sample(range(1, len(data)), 60)) + [len(data) - 2, len(data)]
    with open(path, "wb", buffering=0) as out:
        for cut in cuts:
            out.write(data[out.tell():cut])
            follower.poll()
            if follower.names is None:
                assert cut < len(header)
                continue
            # A timestep counts once the line feed of its last line is
            # there: the file so far is read up to its last line feed.
            lines = data[:data.rindex(b"\n", 0, cut) + 1]
            source = io.BytesIO(lines)
            source.name = str(path)
            expected = korvant.read(source, partial=True, params=follower.names if callable(params) else params)
            expected.complete = expected.complete and not data[len(lines):cut].strip()
            assert_same(follower.whole(), expected)
            assert follower.timesteps == len(expected)


def test_a_long_file_is_caught_up_in_chunks(tmp_path, rand, monkeypatch):
    header, blocks = plot_bytes(rand, 200, width=15)
    path = tmp_path / "run.plt"
    path.write_bytes(header + b"".join(blocks))
    monkeypatch.setattr(follow_module, "CHUNK_BYTES", 1000)  # less than a timestep
    monkeypatch.setattr(follow_module, "BLOCK_BYTES", 2000)
    with korvant.follow(path) as follower:
        first = follower.poll()
        assert follower.poll() is None
        expected = korvant.read(path)
        assert_same(first, expected)
        assert_same(follower.whole(), expected)
        first.values[:] = 0  # the caller's copy: the kept rows stay
        assert_same(follower.whole(), expected)


def test_a_file_that_appears_late_is_waited_for(tmp_path, rand):
    header, blocks = plot_bytes(rand, 5)
    path = tmp_path / "late.plt"
    follower = korvant.follow(path, interval=0.005)
    assert follower.poll() is None and "waiting for the file" in repr(follower)

    def write():
        time.sleep(0.1)
        path.write_bytes(header + b"".join(blocks))

    writer = threading.Thread(target=write)
    writer.start()
    plot = next(iter(follower))
    writer.join()
    assert_same(plot, korvant.read(path))


def write_then(path, data, change):
    """Writes `data`, lets a follower read it, then changes the file."""
    path.write_bytes(data)
    follower = korvant.follow(path)
    assert follower.poll() is not None
    change()
    return follower


@pytest.mark.parametrize("how, error", [
    ("cut", korvant.FileTruncatedError),
    ("rename another over it", korvant.FileReplacedError),
    ("remove, then write another", korvant.FileReplacedError),
    ("write anew in place", korvant.FileReplacedError),
])
def test_a_file_cut_or_replaced_ends_the_follow(tmp_path, rand, how, error):
    header, blocks = plot_bytes(rand, 8)
    _, other = plot_bytes(rand, 12, start=100)
    path = tmp_path / "run.plt"
    new = tmp_path / "new.plt"
    data = header + b"".join(blocks)

    def change():
        if how == "cut":
            os.truncate(path, len(data) - 5)
        elif how == "rename another over it":
            new.write_bytes(header + b"".join(other))
            os.replace(new, path)
        elif how == "remove, then write another":
            path.unlink()
            path.write_bytes(header + b"".join(other))
        else:
            path.write_bytes(header + b"".join(other))

    follower = write_then(path, data, change)
    for _ in range(2):  # it stays failed
        with pytest.raises(error, match=str(path)) as caught:
            follower.poll()
        assert isinstance(caught.value, korvant.FollowError) and caught.value.path == str(path)
    assert follower.whole().lead["CYCLE"].tolist() == list(range(8))  # no row of the new run


def test_the_last_rows_of_a_replaced_file_come_before_the_error(tmp_path, rand):
    header, blocks = plot_bytes(rand, 6)
    path = tmp_path / "run.plt"
    path.write_bytes(header + b"".join(blocks[:4]))
    follower = korvant.follow(path)
    assert len(follower.poll()) == 4
    with open(path, "ab") as old:
        old.write(b"".join(blocks[4:]))
    (tmp_path / "new.plt").write_bytes(header + blocks[0])
    os.replace(tmp_path / "new.plt", path)
    assert follower.poll().lead["CYCLE"].tolist() == [4, 5]
    with pytest.raises(korvant.FileReplacedError, match="another file now has this name"):
        follower.poll()


@pytest.mark.parametrize("damage", ["field", "short line", "short last line", "first timestep", "count"])
def test_a_damaged_timestep_names_its_place_in_the_whole_file(tmp_path, rand, damage):
    header, blocks = plot_bytes(rand, 40)
    early = damage in ("first timestep", "count")
    step = 0 if early else 33
    lines = blocks[step].split(b"\n")
    if damage == "short line":
        lines[1] = lines[1][:-5]
    elif damage == "short last line":
        # Followed only by the next lead line: no cut at the file's end, but
        # a fault, in a timestep that the follower takes last.
        lines[3] = lines[3][:-5]
        blocks[step + 1:] = [blocks[step + 1].split(b"\n")[0] + b"\n"]
    elif damage == "count":
        header = header.replace(b"NPARAM 23", b"NPARAM 0")
    else:
        lines[2] = lines[2][:12] + b"   1.5D+02  " + lines[2][24:]
    blocks[step] = b"\n".join(lines)
    data = header + b"".join(blocks)
    path = tmp_path / "run.plt"
    follower = korvant.follow(path)
    with open(path, "wb", buffering=0) as out:
        out.write(data[:len(header) + sum(map(len, blocks[:20])) + 7])
        if not early:
            assert len(follower.poll()) == 20
        out.write(data[out.tell():])
    with pytest.raises(korvant.PlotFileError) as caught:
        follower.poll()
    with pytest.raises(korvant.PlotFileError) as whole:
        korvant.read(path, partial=True)
    error, expected = caught.value, whole.value
    assert str(error) == str(expected)
    assert (error.line, error.timestep, error.parameter, error.text) == (
        expected.line, expected.timestep, expected.parameter, expected.text)
    with pytest.raises(korvant.PlotFileError) as again:  # it stays failed
        follower.poll()
    assert str(again.value) == str(expected)


def test_without_keep_the_rows_are_handed_out_only(tmp_path, rand):
    header, blocks = plot_bytes(rand, 3)
    path = tmp_path / "run.plt"
    path.write_bytes(header + b"".join(blocks))
    follower = korvant.follow(path, keep=False)
    assert_same(follower.poll(), korvant.read(path))
    with pytest.raises(ValueError, match="keeps no rows"):
        follower.whole()
    follower.close()
    with pytest.raises(ValueError, match="closed"):
        follower.poll()


# ------------------------------------------------------------ the commands

def korvant_command(*args):
    return [sys.executable, "-m", "korvant", *map(str, args)]


def test_info_says_when_the_last_timestep_is_incomplete(tmp_path, rand):
    header, blocks = plot_bytes(rand, 4)
    path = tmp_path / "run.plt"
    path.write_bytes(header + b"".join(blocks) + blocks[0][:50])
    result = subprocess.run(korvant_command("info", "--partial", path), env=child_env(), capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "  timesteps   4\n" in result.stdout
    assert "  complete    no: timestep 4 is incomplete (a run still writing, or a file cut short)" in result.stdout


def start_writer(tmp_path, rand, steps, path):
    """A writer process that appends `steps` timesteps to `path` in pieces,
    after a pause; returns it and the file's whole content."""
    header, blocks = plot_bytes(rand, steps)
    source = tmp_path / "source.plt"
    source.write_bytes(header + b"".join(blocks))
    script = "import time; time.sleep(0.5)\n" + WRITER
    return subprocess.Popen([sys.executable, "-c", script, str(path), str(source), str(rand.randrange(10**6))])


def last_values(path, params):
    """The latest value, min and max of each parameter, as watch writes them,
    and the last time."""
    from korvant.export import float32_text

    plot = korvant.read(path, params=params)
    values = plot.values
    return ({name: [float32_text(values[-1, j]), float32_text(values[:, j].min()), float32_text(values[:, j].max())]
             for j, name in enumerate(plot.names)}, f"{plot.time[-1]:.7g}")


def test_watch_without_a_terminal_a_line_per_refresh_and_ctrl_c_ends_it_with_0(tmp_path, rand):
    path = tmp_path / "late.plt"
    with subprocess.Popen(korvant_command("watch", path, "P2", "P1?", "--interval", "0.05"), env=child_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as watch:
        try:
            first = watch.stdout.readline()
            writer = start_writer(tmp_path, rand, 60, path)
            assert writer.wait(timeout=60) == 0
            values, last_time = last_values(path, ["P2"] + [f"P1{i}" for i in range(10)])
            expected = f"{path}: time {last_time}, timesteps 60"
            while not (line := watch.stdout.readline()).startswith(expected):
                assert line, "watch ended early"
        finally:
            watch.send_signal(signal.SIGINT)
            status = watch.wait(timeout=30)
        errors = watch.stderr.read()
    assert first == f"{path}: waiting for the file to appear\n"
    assert status == 0 and errors == ""
    shown = dict(part.split(" ", 1) for part in line.rstrip("\n").split(", ")[2:])
    assert list(shown) == list(values)  # P2, then the names that P1? matches, in file order
    assert shown == {name: f"{v[0]} [{v[1]} .. {v[2]}]" for name, v in values.items()}


@pytest.mark.parametrize("content, words, message", [
    (None, ["Q*"], "no parameter name matches 'Q*'"),
    (b"NPARAM 0\n", [], ":1: the first line gives no parameters"),
])
def test_watch_reports_a_failure_on_one_line(tmp_path, rand, content, words, message):
    path = tmp_path / "run.plt"
    header, blocks = plot_bytes(rand, 2)
    path.write_bytes(content or header + b"".join(blocks))
    result = subprocess.run(korvant_command("watch", path, *words, "--interval", "0.05"), env=child_env(),
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and message in result.stderr and len(result.stderr.splitlines()) == 1


@pytest.fixture
def tmux(tmp_path):
    """Runs a command in a tmux session of its own (a private server, a
    120 x 40 terminal, panes kept after their command ends); yields a
    function that runs tmux commands against that server."""
    if not shutil.which("tmux"):
        pytest.skip("tmux is not installed")
    config = tmp_path / "tmux.conf"
    config.write_text("set -g remain-on-exit on\n")
    server = ["tmux", "-L", f"korvant-test-{os.getpid()}", "-f", str(config)]

    def run(*args):
        return subprocess.run([*server, *args], capture_output=True, text=True, timeout=30, check=True).stdout

    yield run
    subprocess.run([*server, "kill-server"], capture_output=True, timeout=30)


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)
    return result


def test_watch_in_a_terminal_shows_the_latest_time_and_values_and_draws_the_png(tmp_path, rand, tmux):
    path, png = tmp_path / "run.plt", tmp_path / "out" / "live.png"
    env = " ".join(f"{key}={shlex.quote(value)}" for key, value in child_env().items() if key == "PYTHONPATH")
    command = shlex.join(korvant_command("watch", path, "P7", "P20", "--interval", "0.1", "--plot", png))
    tmux("new-session", "-d", "-s", "watch", "-x", "120", "-y", "40", f"env {env} {command}")
    writer = start_writer(tmp_path, rand, 80, path)
    assert writer.wait(timeout=60) == 0
    written = time.time()
    values, last_time = last_values(path, ["P7", "P20"])

    def screen():
        text = tmux("capture-pane", "-p", "-t", "watch")
        return text if "timesteps  80" in text else None

    rows = {line.split()[0]: line.split()[1:] for line in wait_for(screen).splitlines() if line.strip()}
    assert rows["time"] == [last_time]
    assert rows["P7"] == values["P7"] and rows["P20"] == values["P20"]
    # The image is drawn anew after the last timesteps came; Ctrl-C ends
    # the view with status 0 and leaves no temporary file, even when it
    # came in the middle of a drawing.
    wait_for(lambda: png.exists() and png.stat().st_mtime > written)
    tmux("send-keys", "-t", "watch", "C-c")
    wait_for(lambda: tmux("display", "-p", "-t", "watch", "#{pane_dead}").strip() == "1")
    assert tmux("display", "-p", "-t", "watch", "#{pane_dead_status}").strip() == "0"
    from matplotlib.image import imread

    assert imread(png).shape[2] == 4 and os.listdir(png.parent) == ["live.png"]


def test_watch_without_rich_says_so_and_draws_plain_text_on_a_terminal(tmp_path, rand):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "rich.py").write_text("raise ImportError('not installed')\n")
    header, blocks = plot_bytes(rand, 3)
    path = tmp_path / "run.plt"
    path.write_bytes(header + b"".join(blocks))
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(fake), env.get("PYTHONPATH")]))
    values, last_time = last_values(path, ["P1"])
    main, terminal = pty.openpty()
    try:
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))
        with subprocess.Popen(korvant_command("watch", path, "P1", "--interval", "0.05"), env=env,
                              stdout=terminal, stderr=subprocess.PIPE, text=True) as watch:
            shown = b""
            while b"P1 " not in shown:
                assert select.select([main], [], [], 30)[0], "nothing shown"
                shown += os.read(main, 65536)
            watch.send_signal(signal.SIGINT)
            assert watch.wait(timeout=30) == 0
            errors = watch.stderr.read()
    finally:
        os.close(main)
        os.close(terminal)
    assert errors.count("\n") == 1 and "python3-rich" in errors and "[watch]`" in errors
    lines = shown.decode().replace("\x1b[K", "").replace("\x1b[J", "").replace("\x1b[H", "").splitlines()
    assert f"  time       {last_time}" in lines and "  timesteps  3" in lines
    assert ["P1", *values["P1"]] in [line.split() for line in lines]
