"""A host keeps its own thread settings across the index's training, placement and searches:
PyTorch's intra-op thread count, on the thread that called in and on a thread that never used
PyTorch before, and the BLAS thread count that numpy and PyTorch share, also while two indexes
are filled at once from two threads and in a child forked while one is filled, by another
thread or by the filling one."""
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import py_quillmere

pytest.importorskip("torch")

BODY = textwrap.dedent("""
    import ctypes, json, os, threading
    import numpy as np
    import torch
    import py_quillmere as pq

    # The OpenBLAS that this process loaded (numpy's and libtorch's), if any.
    blas = None
    for line in open("/proc/self/maps"):
        if "libopenblas" in line:
            blas = ctypes.CDLL(line.split()[-1])
            break

    def blas_threads():
        return blas.openblas_get_num_threads() if blas else None

    def fill(seed=0, epochs=2):
        index = (pq.QuillmereBuilder().input_shape(8).buffer_size(20).bucket_size(10).arity(2)
                 .train_epochs(epochs).train_batch_size(8).build())
        rows = np.random.default_rng(seed).standard_normal((200, 8)).astype(np.float32)
        for i, row in enumerate(rows):
            index.insert(row, i)
        index.search(rows[0], 3)
        return index.n_levels()

    seen = {"blas_loaded": blas is not None, "blas_start": blas_threads()}
    seen["levels_start"] = fill()
    seen["blas_after_start"] = blas_threads()
    for host in (1, 3):
        torch.set_num_threads(host)
        if blas:
            blas.openblas_set_num_threads(host + 1)
        seen[f"blas_set_{host}"] = blas_threads()
        seen[f"levels_{host}"] = fill()
        seen[f"after_{host}"] = torch.get_num_threads()
        seen[f"blas_after_{host}"] = blas_threads()

    # Long trainings, so that the two threads' calls overlap.
    pair = [threading.Thread(target=fill, args=(seed, 40)) for seed in (1, 2)]
    for t in pair:
        t.start()
    for t in pair:
        t.join()
    seen["blas_after_pair"] = blas_threads()

    # A child forked while another thread's training holds the count at 1 has the host's count
    # back once its own first call ends, as it would had that thread come along.
    if blas:
        trainer = threading.Thread(target=fill, args=(3, 400))
        trainer.start()
        while blas_threads() != 1 and trainer.is_alive():
            pass
        pid = os.fork()
        if pid == 0:
            fill()
            os._exit(blas_threads())
        seen["blas_in_child"] = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        trainer.join()

        # The training thread itself forks, from a signal handler its compaction runs: once
        # that training ends in the child, the child has the host's count back too.
        import signal
        forked = []
        def fork_here(signum, frame):
            if not forked:  # later pokes find nothing to stop
                forked.append(os.fork())
                raise KeyboardInterrupt
        signal.signal(signal.SIGUSR1, fork_here)
        def poke():
            while blas_threads() != 1:
                pass
            while not forked:
                os.kill(os.getpid(), signal.SIGUSR1)
        poker = threading.Thread(target=poke)
        poker.start()
        try:
            fill(4, 100000)
        except KeyboardInterrupt:
            pass
        if forked[0] == 0:
            fill()
            os._exit(blas_threads())
        poker.join()
        seen["blas_in_forking_child"] = os.waitstatus_to_exitcode(os.waitpid(forked[0], 0)[1])

    def fresh():
        seen["fresh_levels"] = fill()
        seen["fresh_after"] = torch.get_num_threads()
    t = threading.Thread(target=fresh)
    t.start()
    t.join()
    print(json.dumps(seen))
""")


@pytest.mark.parametrize("blas_env", [None, "3"])
def test_thread_counts_are_the_hosts_after_compactions_and_searches(blas_env):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(py_quillmere.__file__).parent))
    env.pop("OMP_NUM_THREADS", None)
    env.pop("OPENBLAS_NUM_THREADS", None)
    if blas_env:
        env["OPENBLAS_NUM_THREADS"] = blas_env
    proc = subprocess.run([sys.executable, "-c", BODY], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    assert all(seen[k] >= 2 for k in ("levels_start", "levels_1", "levels_3", "fresh_levels"))
    assert seen["after_1"] == 1
    assert seen["after_3"] == 3
    # A new thread takes the process-wide setting, the last one the host made.
    assert seen["fresh_after"] == 3
    if not seen["blas_loaded"]:
        pytest.skip("no OpenBLAS in this process: nothing of the host's to keep")
    # OpenBLAS may cut a count to the cores it sees: compare with what it took, not what was asked.
    assert seen["blas_after_start"] == seen["blas_start"]
    assert seen["blas_after_1"] == seen["blas_set_1"]
    for key in ("blas_after_3", "blas_after_pair", "blas_in_child", "blas_in_forking_child"):
        assert seen[key] == seen["blas_set_3"], key
