"""log_init and the JSON-lines logger.

A process holds one logger for its whole life, so every case runs in its own
interpreter started with /usr/bin/python3.
"""
import errno
import json
import os
import pathlib
import re
import subprocess
import textwrap

import pytest

import py_quillmere

PYTHON = "/usr/bin/python3"
WARNING = ("Warning: Logger already initialized: attempted to set a logger after the "
           "logging system was already initialized")
DURATION = re.compile(r"^\d+(\.\d+)?(ns|µs|ms|s)$")

PRELUDE = textwrap.dedent("""
    import json, os, sys, threading, time
    import numpy as np
    import py_quillmere as pq

    def tiny_index(buffer=4):
        return (pq.QuillmereBuilder().input_shape(4).buffer_size(buffer).bucket_size(4)
                .arity(2).train_epochs(1).build())

    def rows(n, seed=0):
        return np.random.default_rng(seed).standard_normal((n, 4)).astype(np.float32)

    def now_ms():
        return time.time_ns() // 1_000_000
""")


def run(body, timeout=300):
    """Runs `body` after PRELUDE in a fresh interpreter; returns the finished process."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(pathlib.Path(py_quillmere.__file__).parent)
    return subprocess.run([PYTHON, "-c", PRELUDE + textwrap.dedent(body)], env=env,
                          capture_output=True, text=True, timeout=timeout)


def ok(body, **kw):
    proc = run(body, **kw)
    assert proc.returncode == 0, proc.stderr
    return proc


def canonical(line):
    return json.dumps(json.loads(line), separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def read_lines(path):
    text = pathlib.Path(path).read_bytes().decode("utf-8")
    assert text == "" or text.endswith("\n")
    return text.splitlines()


def failure_lines(stderr):
    return [json.loads(l) for l in stderr.splitlines() if '"target":"structured_logger"' in l]


def test_file_log_is_sorted_compact_json_with_the_flush_events_in_order(tmp_path):
    log = tmp_path / "run.log"
    proc = ok(f"""
        t0 = now_ms()
        pq.log_init({str(log)!r}, "DeBuG")
        index = tiny_index()
        for i, r in enumerate(rows(4)):
            index.insert(r, i)
        print(json.dumps([t0, now_ms()]))
    """)
    t0, t1 = json.loads(proc.stdout.splitlines()[-1])
    lines = read_lines(log)
    assert lines
    assert "\\u" not in "".join(lines)  # text stays raw UTF-8 ("µs" is not escaped)
    records = []
    for line in lines:
        assert line == canonical(line)
        rec = json.loads(line)
        assert rec["level"] == "DEBUG"
        assert t0 <= rec["timestamp"] <= t1
        assert not {"module", "file", "line"} & rec.keys()
        records.append(rec)

    events = [r for r in records if r["message"] != "time"]
    assert [r["message"] for r in events] == [
        "index:buffer_flush", "index:new_level", "model:train", "sampling",
        "clustering:compute_labels", "index:compact"]
    flush, new_level, _, _, _, compact = events
    assert (flush["levels"], flush["occupied"], flush["target"]) == (0, 4, "quillmere::index")
    assert new_level.keys() == {"level", "message", "target", "timestamp"}
    assert (compact["level_idx"], compact["data_size"]) == (0, 4)

    timings = [r for r in records if r["message"] == "time"]
    assert all(DURATION.match(r["time"]) for r in timings)
    functions = [r["function"] for r in timings]
    assert functions[:3] == ["insert"] * 3 and functions[-2:] == ["compact", "insert"]
    assert records.index(compact) < records.index(timings[-2])


def test_log_file_on_a_full_disk_holds_only_whole_lines(tmp_path):
    # A file size limit stands in for a full disk: a write that crosses it is cut short, the
    # next fails; raising the limit again is the space coming back.
    log = tmp_path / "full.log"
    proc = ok(f"""
        import resource, signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        pq.log_init({str(log)!r}, "debug")
        index = tiny_index()
        soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1500, hard))
        for i, r in enumerate(rows(12)):
            index.insert(r, i)
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        for i, r in enumerate(rows(12, seed=1)):
            index.insert(r, 100 + i)
    """)
    assert any("File too large" in f["message"] for f in failure_lines(proc.stderr))
    lines = [json.loads(line) for line in read_lines(log)]  # every line one whole object
    inserts = [l for l in lines if l["message"] == "time" and l["function"] == "insert"]
    assert len(inserts) >= 12  # every insert after the space came back


@pytest.mark.parametrize("level,admits_debug", [
    ("warn", False), ("verbose", False), ("OFF", False), ("", False), ("tRaCe", True)])
def test_level_filter(tmp_path, level, admits_debug):
    log = tmp_path / "run.log"
    log.write_text("stale line\n" * 50)
    ok(f"""
        pq.log_init({str(log)!r}, {level!r})
        index = tiny_index()
        for i, r in enumerate(rows(5)):
            index.insert(r, i)
    """)
    lines = read_lines(log)  # the old content is gone in every case
    assert bool(lines) == admits_debug
    assert all(json.loads(l)["level"] == "DEBUG" for l in lines)


def test_second_log_init_warns_and_keeps_the_first_logger_and_files(tmp_path):
    first, second = tmp_path / "first.log", tmp_path / "second.log"
    second.write_text("keep me\n")
    proc = ok(f"""
        class Writer:
            calls = 0
            def write(self, line):
                Writer.calls += 1
        pq.log_init({str(first)!r}, "debug")
        index = tiny_index(buffer=100)
        index.insert(rows(1)[0], 1)
        pq.log_init({str(second)!r}, "debug")
        pq.log_init({str(first)!r}, "error")   # its own file: neither emptied nor re-levelled
        pq.log_init(Writer(), "trace")
        index.insert(rows(1)[0], 2)
        print(Writer.calls)
    """)
    assert proc.stderr.splitlines().count(WARNING) == 3
    assert proc.stdout.split()[-1] == "0"
    assert second.read_text() == "keep me\n"
    inserts = [json.loads(l) for l in read_lines(first)]
    assert [r["function"] for r in inserts] == ["insert", "insert"]


def test_bad_target_or_level_raises_and_installs_nothing(tmp_path):
    log = tmp_path / "run.log"
    proc = ok(f"""
        out = []
        for path in [{str(tmp_path / "missing" / "x.log")!r}, {str(tmp_path)!r}]:
            try:
                pq.log_init(path, "debug")
            except OSError as e:
                out.append([type(e).__name__, str(e)])
        try:
            pq.log_init({str(log)!r}, 5)
        except TypeError as e:
            out.append(["TypeError", os.path.exists({str(log)!r})])
        pq.log_init({str(log)!r}, "debug")
        tiny_index(buffer=100).insert(rows(1)[0], 1)
        print(json.dumps(out))
    """)
    out = json.loads(proc.stdout.splitlines()[-1])
    expected = [["OSError", f"{os.strerror(code)} (os error {code})"] for code in (errno.ENOENT, errno.EISDIR)]
    assert out == expected + [["TypeError", False]]
    assert WARNING not in proc.stderr
    assert [json.loads(l)["function"] for l in read_lines(log)] == ["insert"]


def test_log_file_that_is_a_fifo_read_by_a_later_thread(tmp_path):
    # Opening a FIFO waits for its reader; that wait must not hold the interpreter
    # lock, or a reader thread of the same process could never start.
    fifo = tmp_path / "log.fifo"
    os.mkfifo(fifo)
    proc = ok(f"""
        got = []
        def reader():
            time.sleep(0.2)
            with open({str(fifo)!r}) as f:
                got.append(f.readline())
        thread = threading.Thread(target=reader)
        thread.start()
        pq.log_init({str(fifo)!r}, "debug")
        tiny_index(buffer=100).insert(rows(1)[0], 1)
        thread.join()
        print(json.dumps(got))
    """, timeout=60)
    got = json.loads(proc.stdout.splitlines()[-1])
    assert [json.loads(l)["function"] for l in got] == ["insert"]


WRITERS = {
    "str": """
        class Writer:
            def __init__(self): self.got = []
            def write(self, line): self.got.append(line)
    """,
    "bytes": """
        class Writer:
            def __init__(self): self.got = []; self.refused = 0
            def write(self, line):
                if isinstance(line, str):
                    self.refused += 1
                    raise TypeError("bytes only")
                self.got.append(line)
    """,
    "raising": """
        class Writer:
            def __init__(self): self.got = []; self.calls = []
            def write(self, line):
                self.calls.append(type(line).__name__)
                raise ValueError("nope")
    """,
}


@pytest.mark.parametrize("kind", sorted(WRITERS))
def test_writer_object(kind):
    proc = ok(WRITERS[kind] + """
        writer = Writer()
        pq.log_init(writer, "debug")
        index = tiny_index()
        for i, r in enumerate(rows(6)):
            index.insert(r, i)
        assert index.n_levels() == 1 and index.buffer_occupied() == 2
        got = [l if isinstance(l, str) else l.decode() for l in writer.got]
        print(json.dumps({"types": sorted({type(l).__name__ for l in writer.got}), "got": got,
                          "refused": getattr(writer, "refused", None),
                          "calls": getattr(writer, "calls", None)}))
    """)
    out = json.loads(proc.stdout.splitlines()[-1])
    failures = failure_lines(proc.stderr)
    if kind == "raising":
        assert out["got"] == [] and out["calls"]
        assert out["calls"] == ["str", "bytes"] * (len(out["calls"]) // 2)
        assert len(failures) == len(out["calls"]) // 2
        for line in proc.stderr.splitlines():
            if '"structured_logger"' in line:
                assert line == canonical(line)
        for f in failures:
            assert f.keys() == {"level", "message", "target", "timestamp"}
            assert (f["level"], f["message"]) == ("ERROR", "Logger failed to log: ValueError: nope")
        return
    assert failures == []
    assert out["types"] == [kind]
    if kind == "bytes":
        assert out["refused"] == len(out["got"])
    assert out["got"]
    for line in out["got"]:
        assert line.endswith("\n") and line.count("\n") == 1
        assert line[:-1] == canonical(line)
    assert "index:buffer_flush" in [json.loads(l)["message"] for l in out["got"]]


def test_writer_calling_back_into_the_index_does_not_deadlock(tmp_path):
    proc = ok(f"""
        class Writer:
            calls = 0
            def write(self, line):
                Writer.calls += 1
                pq.log_init({str(tmp_path / "other.log")!r}, "debug")
                index.n_levels()
        index = tiny_index()
        pq.log_init(Writer(), "debug")
        for i, r in enumerate(rows(5)):
            index.insert(r, i)
        print(index.n_levels(), index.buffer_occupied(), Writer.calls)
    """)
    levels, buffered, calls = map(int, proc.stdout.split()[-3:])
    assert (levels, buffered) == (1, 1)
    failures = failure_lines(proc.stderr)
    assert calls > 0 and len(failures) == calls // 2  # each line tried as str, then bytes
    assert all(f["message"].startswith("Logger failed to log: RuntimeError: ") for f in failures)
    assert proc.stderr.splitlines().count(WARNING) == calls
    assert not (tmp_path / "other.log").read_text()


def test_many_threads_with_a_debug_writer_finish():
    proc = ok("""
        class Writer:
            def __init__(self): self.n = 0
            def write(self, line):
                time.sleep(0)            # hands the interpreter lock around mid-write
                self.n += 1
        writer = Writer()
        pq.log_init(writer, "debug")
        # Two indexes, so records come from two threads at once (one index serialises its own).
        indexes, data = [tiny_index(buffer=8), tiny_index(buffer=8)], rows(400)

        def inserter(k):
            for i in range(k, 320, 4):
                indexes[k % 2].insert(data[i], i)
        def searcher(k):
            for q in data[:40]:
                indexes[k % 2].search(q, 3, n_candidates=16)
        def reader(k):
            for _ in range(300):
                indexes[k % 2].n_levels(); indexes[k % 2].occupied()
        threads = [threading.Thread(target=f, args=(k,))
                   for f, n in ((inserter, 4), (searcher, 2), (reader, 2)) for k in range(n)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(sum(ix.occupied() for ix in indexes), writer.n)
    """)
    held, lines = map(int, proc.stdout.split()[-2:])
    assert held == 320 and lines > 0
    assert failure_lines(proc.stderr) == []


def test_daemon_threads_logging_while_the_interpreter_exits():
    # Daemon threads keep logging to a writer object while the main thread returns.
    for seed in range(3):
        ok(f"""
            class Writer:
                def write(self, line): pass
            pq.log_init(Writer(), "debug")
            index, data = tiny_index(buffer=8), rows(64, seed={seed})
            def loop(k):
                i = k
                while True:
                    index.insert(data[i % 64], i % 100000)
                    index.search(data[i % 64], 2)
                    i += 3
            for k in range(3):
                threading.Thread(target=loop, args=(k,), daemon=True).start()
            time.sleep(0.3)
        """)


def test_forked_child_logs_while_another_thread_was_inside_the_writer():
    # The child has only the forking thread: the writer mutex and the write in flight of the
    # thread parked inside `write` must not hold up the child's records or its exit.
    proc = ok("""
        inside, release = threading.Event(), threading.Event()
        class Writer:
            lines = 0
            def write(self, line):
                Writer.lines += 1
                if threading.current_thread() is worker:
                    inside.set()
                    release.wait()
        pq.log_init(Writer(), "debug")
        busy, idle = tiny_index(), tiny_index()
        worker = threading.Thread(target=busy.insert, args=(rows(1)[0], 0))
        worker.start()
        inside.wait()
        pid = os.fork()
        if pid == 0:
            before = Writer.lines
            for i, r in enumerate(rows(9)):
                idle.insert(r, i)
            sys.exit(0 if Writer.lines > before and idle.occupied() == 9 else 3)
        deadline = time.time() + 8  # a child waiting for the parked write would take 10 s or forever
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.time() < deadline:
            time.sleep(0.05)
        if done[0] == 0:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        release.set()
        worker.join()
        print(done[1] if done[0] else "hung")
    """, timeout=120)
    assert proc.stdout.split()[-1] == "0"
