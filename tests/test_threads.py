"""Many threads calling at once: 8 threads, 200 calls each, good files and
every kind of bad one.  Each call's outcome must equal the single-threaded
one, every PanicException must have the one type of the process, and the
panic reports on standard error must come whole, one after another."""

import re

from conftest import korvant_text

FILES = {
    "good": korvant_text([[0.1 * i for i in range(50)], [float(i) for i in range(50)], [-1.5] * 50]),
    "wide": korvant_text([[float(c + b) for b in range(5)] for c in range(23)], width=15),
    "empty": "",
    "names": "NPARAM 3\nA\n",
    "zero": "NPARAM 0\n",
    "count": "NPARAM three\nA\n",
    "block": korvant_text([[1.5], [2.5]]) + "TIME 1\n",
    "short": "NPARAM 2\nA\nB\nT\n" + "1.0".rjust(12) + "\n",
    "char": "NPARAM 2\nA\nB\nT\n" + "1.0".rjust(11) + "é" + "\n",
    "parse": "NPARAM 2\nA\nB\nT\n" + "1.0".rjust(12) + "1.5D+02".rjust(12) + "\n",
    "empty-field": "NPARAM 2\nA\nB\nT\n" + " " * 24 + "\n",
    "utf8": "NPARAM 2\nA\nB\nT\n".encode() + b"\xff\n",
}

REPORT = re.compile(r"thread '<unnamed>' \((\d+)\) panicked at src/[^\n]+:\d+:\d+:\n")


def test_concurrent_calls_agree_with_single_threaded(run_python, plot_file, tmp_path):
    paths = {name: plot_file(content) for name, content in FILES.items()}
    paths["missing"] = str(tmp_path / "missing.txt")
    paths["directory"] = str(tmp_path)
    code = f"""
        import sys, threading, tavrel
        sys.setswitchinterval(1e-6)  # threads take turns between, not after, calls
        paths = {paths!r}
        names = sorted(paths)

        def call(name):
            width = 15 if name == "wide" else 12
            try:
                return ("ok", tavrel.rust_read_korvant(paths[name], width))
            except BaseException as error:
                return (error.args, id(type(error)), type(error).__qualname__)

        expected = {{name: call(name) for name in names}}
        sys.stderr.write("=== threads\\n")
        sys.stderr.flush()
        results, ids, start = [None] * 8, [None] * 8, threading.Barrier(8)

        def worker(index):
            ids[index] = threading.get_native_id()
            start.wait()
            results[index] = [(name, call(name)) for k in range(200) for name in [names[(k * 5 + index) % len(names)]]]

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        mismatches = [(name, got) for result in results for name, got in result if got != expected[name]]
        panics = [sum(1 for name, got in result if got[0] != "ok") for result in results]
        print("=== result " + repr((len(mismatches), mismatches[:3], ids, panics, {{n: e[0] for n, e in expected.items() if e[0] != "ok"}})))
    """
    result = run_python(code)
    *count_lines, last = result.stdout.splitlines()
    mismatches, examples, ids, panics, messages = eval(last.removeprefix("=== result "))
    assert mismatches == 0, examples
    assert len(messages) == len(paths) - 2  # every file but the two good ones fails
    # One whole count-error line per call on the file with a bad count.
    assert set(count_lines) == {"Error: 'three' is not a valid number of parameters!"}
    count_index = sorted(paths).index("count")
    assert len(count_lines) == 1 + sum(1 for k in range(200) for i in range(8) if (k * 5 + i) % len(paths) == count_index)
    # The reports of the threaded calls: each whole, with a known message, and
    # as many from each thread as that thread had failing calls.
    err = result.stderr.split("=== threads\n", 1)[1]
    known = {message for (message,) in messages.values()}
    reports = err.split("\nthread '<unnamed>' (")
    assert reports[0] == ""
    per_thread = {}
    for chunk in reports[1:]:
        report = "thread '<unnamed>' (" + chunk
        head = REPORT.match(report)
        assert head, report
        assert report[head.end() :].rstrip("\n") in known, report
        tid = int(head.group(1))
        per_thread[tid] = per_thread.get(tid, 0) + 1
    assert per_thread == {tid: count for tid, count in zip(ids, panics)}
