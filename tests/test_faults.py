"""Faults injected through the real system: closed and broken standard
streams, signals interrupting every blocking call, files that change while
they are read, odd paths.  Each case runs in a child interpreter, so the
process-wide state (descriptors 1 and 2, signal handlers) is its own."""

import errno
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import child_env, korvant_text

COLUMNS = [[1.5, 2.5, 3.5], [4.5, 5.5, 6.5]]
GOOD = korvant_text(COLUMNS)
BAD_COUNT = "NPARAM x\nA\n"
COUNT_LINE = "Error: 'x' is not a valid number of parameters!\n"
COUNT_MESSAGE = "The first line should end with the number of parameters:\n'NPARAM x'"


def os_error(context, code, kind):
    return f'{context}: Os {{ code: {code}, kind: {kind}, message: "{os.strerror(code)}" }}'


def outcome_code(path, width=12):
    """Child code that calls the reader on `path` and writes one line to
    descriptor 3, which survives whatever happens to 1 and 2: the outcome
    (repr of the result, or type and args of the exception), a tab, and
    whether the open descriptors after the call are those before it."""
    return f"""
        import os, tavrel
        before = sorted(os.listdir("/proc/self/fd"))
        try:
            outcome = repr(tavrel.rust_read_korvant({path!r}, {width}))
        except BaseException as error:
            outcome = type(error).__name__ + " " + repr(error.args)
        released = sorted(os.listdir("/proc/self/fd")) == before
        os.write(3, (outcome + "\\t" + str(released) + "\\n").encode())
    """


def run_child(code, *, stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec=None, meanwhile=None):
    """Runs `code` in a child interpreter with a pipe on descriptor 3; returns
    the lines written there, and the child's standard output and error.
    `meanwhile(process)` runs while the child does."""
    read_end, write_end = os.pipe()

    def setup():
        os.dup2(write_end, 3)
        if preexec:
            preexec()

    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=child_env(),
                               stdout=stdout, stderr=stderr, close_fds=False, preexec_fn=setup)
    os.close(write_end)
    if meanwhile:
        meanwhile(process)
    with os.fdopen(read_end, "rb") as report:
        lines = report.read().decode().splitlines()
    out, err = process.communicate(timeout=120)
    return lines, out or b"", err or b""


def outcomes(lines):
    """The outcomes of `outcome_code` lines, checking each released its descriptors."""
    assert all(line.endswith("\tTrue") for line in lines), lines
    return [line.rpartition("\t")[0] for line in lines]


def test_standard_streams_closed_or_broken(plot_file):
    good, bad = plot_file(GOOD), plot_file(BAD_COUNT)
    count_failure = "PanicException " + repr((COUNT_MESSAGE,))
    read_good = repr((COLUMNS[0], COLUMNS[1:]))

    # Descriptor 1 closed: the count-error line is dropped silently, the
    # failure is the usual one.
    lines, _, err = run_child(outcome_code(bad) + outcome_code(good), stdout=None, preexec=lambda: os.close(1))
    assert outcomes(lines) == [count_failure, read_good]
    assert err.count(b"panicked at") == 1

    # Descriptor 2 closed: the report is lost, the exception is not.
    lines, out, _ = run_child(outcome_code(bad) + outcome_code(good), stderr=None, preexec=lambda: os.close(2))
    assert outcomes(lines) == [count_failure, read_good]
    assert out.decode() == COUNT_LINE

    # Standard output a pipe whose reader has gone (the interpreter ignores
    # SIGPIPE): the print fails with EPIPE, and that failure ends the call.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        lines, _, err = run_child(outcome_code(bad) + outcome_code(good), stdout=write_end)
    finally:
        os.close(write_end)
    message = f"failed printing to stdout: {os.strerror(errno.EPIPE)} (os error {errno.EPIPE})"
    assert outcomes(lines) == ["PanicException " + repr((message,)), read_good]
    assert f"\n{message}\n".encode() in err


def test_reading_a_fifo_under_a_storm_of_signals(tmp_path):
    # The child blocks in open() until the writer comes, then in read() between
    # the writer's chunks, while a timer interrupts it every 200 microseconds:
    # every EINTR must be retried with nothing lost.  One good file, then one
    # whose count is bad (the count-error print and the report are written
    # under the same storm).  The wakeup descriptor receives one byte per
    # signal delivered, which counts them.
    fifo = tmp_path / "plot.fifo"
    os.mkfifo(fifo)
    columns = [[float(i) + 0.5 for i in range(300)], [float(-i) for i in range(300)]]
    contents = [korvant_text(columns).encode(), BAD_COUNT.encode()]
    code = outcome_code(str(fifo)) * 2
    storm = f"""
        import fcntl, os, signal
        wake_read, wake_write = os.pipe2(os.O_NONBLOCK)
        fcntl.fcntl(wake_write, fcntl.F_SETPIPE_SZ, 1 << 20)
        signal.set_wakeup_fd(wake_write)
        signal.signal(signal.SIGALRM, lambda signum, frame: None)
        signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
    """
    count = """
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        os.write(3, (str(len(os.read(wake_read, 1 << 20))) + "\\n").encode())
    """

    def writer():
        for content in contents:
            time.sleep(0.1)  # the child is blocked in open() meanwhile
            with open(fifo, "wb", buffering=0) as f:
                for start in range(0, len(content), 997):
                    f.write(content[start : start + 997])
                    time.sleep(0.002)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        lines, out, err = run_child(textwrap.dedent(storm) + textwrap.dedent(code) + textwrap.dedent(count))
    finally:
        thread.join()
    assert outcomes(lines[:2]) == [repr((columns[0], columns[1:])), "PanicException " + repr((COUNT_MESSAGE,))]
    # Signals delivered while the calls blocked: some 1,700 on a quiet
    # machine, under 500 when other work shares the processors; a hundred
    # already interrupts every blocking call many times over.
    assert int(lines[2]) > 100, lines[2]
    assert out.decode() == COUNT_LINE
    assert err.count(b"panicked at") == 1


def when_reading(path, action):
    """A `meanwhile` that runs `action` as soon as the child has read past the
    start of `path` (its descriptor's offset, seen in /proc, is above 0)."""

    def watch(process):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and process.poll() is None:
            try:
                for fd in os.listdir(f"/proc/{process.pid}/fd"):
                    if os.readlink(f"/proc/{process.pid}/fd/{fd}") != str(path):
                        continue
                    with open(f"/proc/{process.pid}/fdinfo/{fd}") as info:
                        if int(info.readline().split()[1]) > 0:
                            action()
                            return
            except OSError:
                pass  # a descriptor closed under our feet
        action()

    return watch


@pytest.mark.parametrize("change", ["replace", "truncate"])
def test_file_changed_while_it_is_read(tmp_path, change):
    # The file is replaced or truncated once the child has begun reading it.
    # A replaced file is read as it was when opened; a truncated one gives
    # either the blocks before the cut or a failure of the format, never a
    # wrong value; the descriptor is closed either way.
    n, blocks = 3, 100_000
    values = f"[[float(b % 1000) + c / 8 for b in range({blocks})] for c in range({n})]"
    text = korvant_text(eval(values))
    path, other = tmp_path / "plot.txt", tmp_path / "other.txt"
    seen = []
    for attempt in range(4):
        path.write_text(text)
        if change == "replace":
            other.write_text(korvant_text([[9.0], [9.0], [9.0]]))
            action = lambda: os.replace(other, path)  # noqa: E731
        else:
            action = lambda: os.truncate(path, len(text) * (attempt + 1) // 5)  # noqa: E731
        code = f"""
            import os, tavrel
            columns = {values}
            before = sorted(os.listdir("/proc/self/fd"))
            try:
                first, others = tavrel.rust_read_korvant({str(path)!r}, 12)
                length = len(first)
                outcome = ("ok", length, [first] + others == [column[:length] for column in columns])
            except BaseException as error:
                outcome = (type(error).__name__, error.args)
            released = sorted(os.listdir("/proc/self/fd")) == before
            os.write(3, (repr(outcome) + "\\t" + str(released)).encode())
        """
        (line,), _, _ = run_child(code, meanwhile=when_reading(path, action))
        (outcome,) = outcomes([line])
        kind, *rest = eval(outcome)
        if kind == "ok":
            length, prefix = rest
            assert prefix  # every value read is the one in the file
            assert length == blocks or change == "truncate"
            seen.append("prefix" if length < blocks else "whole")
        else:
            assert change == "truncate" and kind == "PanicException", outcome
            ((message,),) = rest
            assert message == "Error reading line" or message.startswith("end byte index "), message
            seen.append("failure")
    if change == "truncate":
        assert "whole" not in seen, seen  # every cut landed inside a read


def path_of_length(tmp_path, length):
    """A plot file whose absolute path is exactly `length` bytes long."""
    directory = tmp_path / ("d" * 200)
    directory.mkdir(exist_ok=True)
    name_length = length - len(str(directory)) - 1
    assert 0 < name_length <= 255
    target = directory / ("p" * name_length)
    target.write_text(GOOD)
    return str(target)


@pytest.mark.parametrize(
    ("path", "expected"),
    [
        ("/", "PanicException " + repr((os_error("Failed to read line!", errno.EISDIR, "IsADirectory"),))),
        ("/dev/null", "PanicException " + repr(("Failed ot read line!",))),
        # 4096 bytes in short components: over the system's path limit.
        ("/" + "a/" * 2047 + "b",
         "PanicException " + repr((os_error("Plot file not found!", errno.ENAMETOOLONG, "InvalidFilename"),))),
        # The longest path copied on the stack, and the shortest copied to the heap.
        (383, repr((COLUMNS[0], COLUMNS[1:]))),
        (384, repr((COLUMNS[0], COLUMNS[1:]))),
    ],
    ids=["directory", "dev-null", "path-4096", "path-383", "path-384"],
)
def test_odd_paths(tmp_path, path, expected):
    if isinstance(path, int):
        path = path_of_length(tmp_path, path)
    assert len(path.encode()) in (1, 9, 383, 384, 4096)
    lines, _, _ = run_child(outcome_code(path))
    assert outcomes(lines) == [expected]
