"""A host that uses PyTorch keeps its intra-op thread count across the index's training and
placement, on the thread that called in and on a thread that never used PyTorch before."""
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
    import json, threading
    import numpy as np
    import torch
    import py_quillmere as pq

    def fill():
        index = (pq.QuillmereBuilder().input_shape(8).buffer_size(20).bucket_size(10).arity(2)
                 .train_epochs(2).train_batch_size(8).build())
        rows = np.random.default_rng(0).standard_normal((200, 8)).astype(np.float32)
        for i, row in enumerate(rows):
            index.insert(row, i)
        return index.n_levels()

    seen = {"default": torch.get_num_threads()}
    for host in (1, 3):
        torch.set_num_threads(host)
        seen[f"levels_{host}"] = fill()
        seen[f"after_{host}"] = torch.get_num_threads()

    def fresh():
        seen["fresh_levels"] = fill()
        seen["fresh_after"] = torch.get_num_threads()
    t = threading.Thread(target=fresh)
    t.start()
    t.join()
    print(json.dumps(seen))
""")


def test_intra_op_thread_count_is_the_hosts_after_compactions():
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(py_quillmere.__file__).parent))
    env.pop("OMP_NUM_THREADS", None)
    proc = subprocess.run([sys.executable, "-c", BODY], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    assert seen["levels_1"] >= 2 and seen["levels_3"] >= 2 and seen["fresh_levels"] >= 2
    assert seen["after_1"] == 1
    assert seen["after_3"] == 3
    # A new thread takes the process-wide setting, the last one the host made.
    assert seen["fresh_after"] == 3
