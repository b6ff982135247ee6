import os
import subprocess
import sys
import textwrap

import pytest

# Runs in a child process so that a deadlock ends the child, not the test run,
# and so that log_init can install its logger there.
WORKLOAD = """
import sys, threading
import numpy as np
import py_quillmere as pq

WRITER = {writer!r}
index = None
if WRITER:
    class Sink:
        def __init__(self):
            self.lines = 0
            self.refused = 0
            self.lock = threading.Lock()
        def write(self, line):
            with self.lock:
                self.lines += 1
            if WRITER == "reentrant" and index is not None:
                # Calling back into the index from the writer is refused, never a deadlock.
                try:
                    index.n_levels()
                except RuntimeError:
                    with self.lock:
                        self.refused += 1
    sink = Sink()
    pq.log_init(sink, "debug")

DIM, INSERTERS, PER_THREAD = 8, 4, 60
index = (pq.QuillmereBuilder().input_shape(DIM).buffer_size(16).bucket_size(8)
         .arity(2).train_epochs(1).build())
data = np.random.default_rng(5).standard_normal((INSERTERS * PER_THREAD, DIM)).astype(np.float32)
done = threading.Event()
errors = []

def inserter(t):
    try:
        for i in range(t * PER_THREAD, (t + 1) * PER_THREAD):
            index.insert(data[i], i)
    except BaseException as e:
        errors.append(repr(e))

def searcher():
    try:
        while not done.is_set():
            result = index.search(data[0], 5)
            assert result.dtype == np.uint32 and len(result) <= 5
    except BaseException as e:
        errors.append(repr(e))

def reader():
    try:
        while not done.is_set():
            levels = index.n_levels()
            index.occupied(); index.memory_usage(); index.n_buckets(); index.n_empty_buckets()
            assert index.buffer_occupied() <= index.occupied()
            for level in range(levels):
                index.level_occupied(level)
    except BaseException as e:
        errors.append(repr(e))

workers = [threading.Thread(target=inserter, args=(t,)) for t in range(INSERTERS)]
others = [threading.Thread(target=searcher) for _ in range(2)] + [threading.Thread(target=reader) for _ in range(2)]
for t in workers + others:
    t.start()
for t in workers:
    t.join()
done.set()
for t in others:
    t.join()
assert not errors, errors
assert index.occupied() == INSERTERS * PER_THREAD, index.occupied()
result = index.search(data[0], INSERTERS * PER_THREAD, n_candidates=2**63)
assert sorted(result.tolist()) == list(range(INSERTERS * PER_THREAD))
if WRITER:
    assert sink.lines > 0
if WRITER == "reentrant":
    assert sink.refused > 0, (sink.refused, sink.lines)
print("ok", index.n_levels())
"""


@pytest.mark.parametrize("writer", [None, "plain", "reentrant"], ids=["no-logger", "python-writer", "reentrant-writer"])
def test_threads_finish_and_count_every_record(writer):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(WORKLOAD.format(writer=writer))],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(os.environ),
    )
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.split()[0] == "ok"
    assert int(result.stdout.split()[1]) >= 2


DAEMONS_AT_EXIT = """
import threading, time
import numpy as np
import py_quillmere as pq

index = (pq.QuillmereBuilder().input_shape(4).buffer_size(8).bucket_size(4)
         .arity(2).train_epochs(1).build())
data = np.random.default_rng(0).standard_normal((64, 4)).astype(np.float32)

def loop(k):
    i = k
    while True:
        index.insert(data[i % 64], i)
        index.search(data[i % 64], 2)
        index.n_levels()
        i += 3

for k in range(3):
    threading.Thread(target=loop, args=(k,), daemon=True).start()
time.sleep(0.2)
"""


def test_daemon_threads_inside_the_index_at_exit():
    # The main thread returns while daemon threads insert (and compact) and search.
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", DAEMONS_AT_EXIT], capture_output=True, text=True,
                                timeout=120, env=dict(os.environ))
        assert result.returncode == 0, result.stderr[-4000:]
        assert "Traceback" not in result.stderr, result.stderr[-4000:]


# An atexit handler registered before the import runs after the module's own exit
# hook, on the exiting thread, while daemon threads may still be inside the index.
INDEX_IN_ATEXIT_HANDLER = """
import atexit, threading, time
import numpy as np

def use_index_at_exit():
    found = index.search(data[0], 3)
    index.insert(data[1], 1000)
    removed = index.delete(1000)
    print("at exit", len(found), removed[1], flush=True)

atexit.register(use_index_at_exit)

import py_quillmere as pq

index = (pq.QuillmereBuilder().input_shape(4).buffer_size(8).bucket_size(4)
         .arity(2).train_epochs(1).build())
data = np.random.default_rng(0).standard_normal((64, 4)).astype(np.float32)
for i in range(20):
    index.insert(data[i], i)

def loop(k):
    i = k
    while True:
        index.insert(data[i % 64], i)
        index.search(data[i % 64], 2)
        i += 3

for k in range({daemons}):
    threading.Thread(target=loop, args=(k,), daemon=True).start()
time.sleep(0.1)
"""


@pytest.mark.parametrize("daemons", [0, 2])
def test_atexit_handler_registered_before_import_can_use_the_index(daemons):
    result = subprocess.run([sys.executable, "-c", INDEX_IN_ATEXIT_HANDLER.format(daemons=daemons)],
                            capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert result.returncode == 0, result.stderr[-4000:]
    assert "at exit 3 1000" in result.stdout.splitlines()


FORK_WHILE_SEARCHING = """
import os, threading
import numpy as np
import py_quillmere as pq

index = (pq.QuillmereBuilder().input_shape(32).buffer_size(500).bucket_size(250)
         .arity(2).train_epochs(1).build())
data = np.random.default_rng(0).standard_normal((1000, 32)).astype(np.float32)
for i, row in enumerate(data):
    index.insert(row, i)
stop = threading.Event()

def loop():
    i = 0
    while not stop.is_set():
        index.search(data[i % 1000], 5)
        i += 1

thread = threading.Thread(target=loop)
thread.start()
for _ in range(10):
    pid = os.fork()
    if pid == 0:
        raise SystemExit(0)  # the ordinary exit path, exit hooks included
    assert os.waitpid(pid, 0)[1] == 0
stop.set()
thread.join()
print("ok")
"""


def test_forked_child_exits_while_the_parent_searches():
    result = subprocess.run([sys.executable, "-c", FORK_WHILE_SEARCHING], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ))
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.strip() == "ok"


# Another thread forks while the main thread's insert is inside a compaction: the main thread
# holds the busy index's mutex, here parked in a signal handler that the compaction runs.
FORK_DURING_COMPACTION = """
import os, signal, threading
import numpy as np
import py_quillmere as pq

busy = (pq.QuillmereBuilder().input_shape(16).buffer_size(200).bucket_size(100).arity(2)
        .train_epochs(10000).train_batch_size(8).build())
idle = pq.QuillmereBuilder().input_shape(16).buffer_size(20).bucket_size(10).arity(2).build()
rows = np.random.default_rng(0).standard_normal((200, 16)).astype(np.float32)
for i in range(199):
    busy.insert(rows[i], i)
for i in range(30):
    idle.insert(rows[i], i)
inside, release = threading.Event(), threading.Event()

def handler(signum, frame):
    try:
        busy.n_levels()  # refused only while the compaction polls for signals
    except RuntimeError:
        inside.set()
        release.wait()
        raise KeyboardInterrupt  # ends the long compaction; the record stays in the buffer

def fork_inside():
    while not inside.wait(0.01):
        os.kill(os.getpid(), signal.SIGUSR1)
    pid = os.fork()
    if pid == 0:
        try:
            busy.occupied()
            os._exit(3)
        except RuntimeError as e:
            if "in use by another thread when the process forked" not in str(e):
                os._exit(4)
        idle.insert(rows[100], 100)
        ok = idle.occupied() == 31 and idle.delete(100) is not None
        os._exit(0 if ok else 5)
    status.append(os.waitpid(pid, 0)[1])
    release.set()

status = []
signal.signal(signal.SIGUSR1, handler)
forker = threading.Thread(target=fork_inside)
forker.start()
try:
    busy.insert(rows[199], 199)
except KeyboardInterrupt:
    pass
forker.join()
print(status, busy.occupied())
"""


def test_forked_child_refuses_an_index_another_thread_was_using():
    result = subprocess.run([sys.executable, "-c", FORK_DURING_COMPACTION], capture_output=True, text=True,
                            timeout=120, env=dict(os.environ))
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.split() == ["[0]", "200"]
