import errno
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest

import py_quillmere as pq
from conftest import ARITY, BUCKET, BUFFER, DIM, filled, records, small_builder


def exact_top(data, query, k, distance="dot"):
    """Reference neighbours by brute force, best first."""
    if distance == "dot":
        scores = data.astype(np.float64) @ query.astype(np.float64)
        order = np.argsort(-scores, kind="stable")
    else:
        scores = ((data.astype(np.float64) - query.astype(np.float64)) ** 2).sum(axis=1)
        order = np.argsort(scores, kind="stable")
    return order[:k].astype(np.uint32)


# ---- search ------------------------------------------------------------------


def test_empty_index_returns_empty_uint32_array():
    result = small_builder().build().search(np.ones(DIM, dtype=np.float32), 5)
    assert isinstance(result, np.ndarray)
    assert result.dtype == np.uint32 and result.ndim == 1 and result.size == 0


@pytest.mark.parametrize("distance", ["dot", "l2"])
@pytest.mark.parametrize("n", [7, 3 * BUFFER + 7])
def test_search_with_full_budget_is_exact(distance, n, rng):
    index, data = filled(n, small_builder(distance))
    for _ in range(5):
        query = rng.standard_normal(DIM).astype(np.float32)
        for k in (1, 5, n + 3):
            result = index.search(query, k)
            assert result.dtype == np.uint32
            assert len(result) == min(k, n)
            np.testing.assert_array_equal(result, exact_top(data, query, k, distance))


def test_search_result_owns_its_ids(rng):
    index, data = filled(12)
    query = rng.standard_normal(DIM).astype(np.float32)
    result = index.search(query, 4)
    assert result.base is not None or result.flags.owndata
    expected = result.copy()
    del index
    np.testing.assert_array_equal(result, expected)
    result[0] = 99  # writable and independent
    assert result[0] == 99


@pytest.mark.parametrize(
    "kwargs, expect_empty",
    [
        ({}, False),
        ({"n_candidates": 0}, True),
        ({"n_candidates": 0, "search_strategy": "model"}, True),
        ({"search_strategy": "model"}, False),
        ({"n_candidates": 1}, False),
        ({"n_candidates": 2**64 - 1}, False),
        ({"n_candidates": np.uint64(5)}, False),
        ({"unrelated": "ignored", "also": object()}, False),
    ],
)
def test_search_keywords_apply_independently(kwargs, expect_empty, rng):
    # Buffer only: one candidate; any positive budget visits all of it.
    index, data = filled(9)
    query = rng.standard_normal(DIM).astype(np.float32)
    result = index.search(query, 3, **kwargs)
    if expect_empty:
        assert result.size == 0
    else:
        np.testing.assert_array_equal(result, exact_top(data, query, 3))


def test_query_and_k_by_keyword(rng):
    index, data = filled(9)
    query = rng.standard_normal(DIM).astype(np.float32)
    np.testing.assert_array_equal(index.search(k=2, query=query), exact_top(data, query, 2))
    with pytest.raises(TypeError):
        index.search(query, 2, k=3)


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"n_candidates": -1}, TypeError, "n_candidates must be an integer"),
        ({"n_candidates": "10"}, TypeError, "n_candidates must be an integer"),
        ({"n_candidates": 1.0}, TypeError, "n_candidates must be an integer"),
        ({"n_candidates": 2**64}, TypeError, "n_candidates must be an integer"),
        ({"n_candidates": None}, TypeError, "n_candidates must be an integer"),
        ({"search_strategy": 1}, TypeError, "search_strategy must be a string"),
        ({"search_strategy": "MODEL"}, ValueError, "Invalid search strategy"),
        ({"search_strategy": ""}, ValueError, "Invalid search strategy"),
        ({"n_candidates": "x", "search_strategy": 1}, TypeError, "n_candidates must be an integer"),
        ({"n_candidates": "x", "search_strategy": "bad"}, TypeError, "n_candidates must be an integer"),
        ({"search_strategy": "knn"}, NotImplementedError, "not yet implemented"),
    ],
)
def test_search_keyword_errors(kwargs, error, text):
    index, _ = filled(5)
    with pytest.raises(error) as caught:
        index.search(np.ones(DIM, dtype=np.float32), 3, **kwargs)
    assert type(caught.value) is error and str(caught.value) == text


def strided_views(base):
    """Views of the same DIM values laid out with unusual strides."""
    views = {}
    wide = np.zeros(3 * DIM, dtype=np.float32)
    wide[::3] = base
    views["stride3"] = wide[::3]
    views["reversed"] = base[::-1].copy()[::-1]
    raw = np.zeros(DIM * 4 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float32)
    unaligned[:] = base
    views["unaligned"] = unaligned
    readonly = base.copy()
    readonly.flags.writeable = False
    views["readonly"] = readonly
    column = np.zeros((DIM, 2), dtype=np.float32)
    column[:, 0] = base
    views["column"] = column[:, 0]
    return views


def test_odd_strides_give_the_same_answers(rng):
    index, data = filled(2 * BUFFER + 3)
    query = rng.standard_normal(DIM).astype(np.float32)
    expected = index.search(query, 6)
    for name, view in strided_views(query).items():
        assert not np.shares_memory(view, query)
        np.testing.assert_array_equal(index.search(view, 6), expected, err_msg=name)


def test_zero_stride_query(rng):
    index, data = filled(15)
    value = np.float32(rng.standard_normal())
    broadcast = np.broadcast_to(np.array([value], dtype=np.float32), (DIM,))
    assert broadcast.strides == (0,)
    np.testing.assert_array_equal(index.search(broadcast, 4), index.search(np.full(DIM, value, np.float32), 4))


def test_records_of_odd_strides_are_stored_by_value():
    index = small_builder().build()
    base = records(1)[0]
    for i, view in enumerate(strided_views(base).values()):
        index.insert(view, i)
    removed = index.delete(0)
    np.testing.assert_array_equal(np.array(removed[0], dtype=np.float32), base)
    for i in range(1, 5):
        np.testing.assert_array_equal(np.array(index.delete(i)[0], dtype=np.float32), base)


# ---- delete ------------------------------------------------------------------


def test_delete_round_trip(rng):
    n = 2 * BUFFER + 5  # records in a level and in the buffer
    index, data = filled(n)
    assert index.delete(n + 100) is None
    for victim in (1, n - 1, BUFFER + 2):
        removed = index.delete(victim)
        assert isinstance(removed, tuple) and len(removed) == 2
        values, id_ = removed
        assert id_ == victim and isinstance(values, list)
        assert all(type(v) is float for v in values)
        np.testing.assert_array_equal(np.array(values, dtype=np.float32), data[victim])
        assert index.delete(victim) is None
    assert index.occupied() == n - 3
    keep = np.setdiff1d(np.arange(n), [1, n - 1, BUFFER + 2])
    query = rng.standard_normal(DIM).astype(np.float32)
    result = index.search(query, n)
    assert sorted(result.tolist()) == keep.tolist()


# ---- statistics ----------------------------------------------------------------


def test_statistics_agree_with_each_other():
    index, _ = filled(5 * BUFFER + 3)
    levels = index.n_levels()
    assert levels >= 1
    per_level = []
    for level in range(levels):
        buckets = index.level_n_buckets(level)
        counts = [index.bucket_occupied(level, b) for b in range(buckets)]
        assert buckets == ARITY ** (level + 1)
        assert index.level_occupied(level) == sum(counts)
        assert index.level_n_empty_buckets(level) == counts.count(0)
        assert index.level_total_size(level) == buckets * BUCKET
        per_level.append((buckets, sum(counts), counts.count(0)))
    assert index.n_buckets() == sum(b for b, _, _ in per_level)
    assert index.n_empty_buckets() == sum(e for _, _, e in per_level)
    assert index.occupied() == sum(o for _, o, _ in per_level) + index.buffer_occupied()
    assert index.occupied() == 5 * BUFFER + 3
    assert index.buffer_occupied() == 3


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda i: i.level_occupied(5), "assertion failed: level_idx < self.levels.len()"),
        (lambda i: i.level_n_buckets(5), "assertion failed: level_idx < self.levels.len()"),
        (lambda i: i.level_total_size(2**64 - 1), "assertion failed: level_idx < self.levels.len()"),
        (lambda i: i.level_n_empty_buckets(1), "assertion failed: level_idx < self.levels.len()"),
        (lambda i: i.bucket_occupied(1, 0), "assertion failed: level_idx < self.levels.len()"),
        (lambda i: i.bucket_occupied(0, ARITY), "assertion failed: bucket_idx < self.levels[level_idx].n_buckets()"),
    ],
)
def test_statistics_out_of_range(call, text):
    index, _ = filled(BUFFER)
    assert index.n_levels() == 1
    with pytest.raises(IndexError) as caught:
        call(index)
    assert str(caught.value) == text
    assert index.occupied() == BUFFER


def test_memory_usage_of_fresh_indexes():
    # Only the buffer's reserved room differs between these two.
    sizes = {}
    for buffer in (10, 30):
        index = small_builder().buffer_size(buffer).build()
        sizes[buffer] = index.memory_usage()
        assert (index.n_levels(), index.n_buckets(), index.occupied(), index.n_empty_buckets()) == (0, 0, 0, 0)
    assert sizes[30] - sizes[10] == 4 * 20 * (DIM + 1)
    assert sizes[10] > 4 * 10 * (DIM + 1)


def test_memory_usage_grows_with_a_level():
    index = small_builder().build()
    empty = index.memory_usage()
    data = records(BUFFER)
    for i, row in enumerate(data[:-1]):
        index.insert(row, i)
    assert index.memory_usage() == empty  # the buffer's room was reserved up front
    index.insert(data[-1], BUFFER - 1)
    assert index.n_levels() == 1
    # The level adds at least its classifier (linear 128, relu, then one output per
    # bucket) and its stored records and ids.
    parameters = (DIM * 128 + 128) + (128 * ARITY + ARITY)
    assert index.memory_usage() - empty >= 4 * parameters + 4 * (DIM + 1) * index.level_occupied(0)


# ---- dump and load -------------------------------------------------------------


@pytest.mark.parametrize("n", [0, BUFFER - 1, 4 * BUFFER + 3])
def test_dump_and_load_answer_the_same(tmp_path, rng, n):
    index, data = filled(n)
    target = tmp_path / "dump"
    index.dump(str(target))
    loaded = pq.QuillmereBuilder.from_disk(str(target)).build()
    for name in ("n_levels", "n_buckets", "occupied", "n_empty_buckets", "buffer_occupied"):
        assert getattr(loaded, name)() == getattr(index, name)(), name
    for level in range(index.n_levels()):
        for b in range(index.level_n_buckets(level)):
            assert loaded.bucket_occupied(level, b) == index.bucket_occupied(level, b)
    for _ in range(5):
        query = rng.standard_normal(DIM).astype(np.float32)
        for kwargs in ({}, {"n_candidates": BUCKET}):
            np.testing.assert_array_equal(loaded.search(query, 7, **kwargs), index.search(query, 7, **kwargs))
    # The loaded index keeps working: deletes reach loaded records, inserts compact.
    if n:
        assert loaded.delete(0)[1] == 0
    extra = records(BUFFER, seed=99)
    for i, row in enumerate(extra):
        loaded.insert(row, 10_000 + i)
    assert loaded.occupied() == index.occupied() + BUFFER - (1 if n else 0)


def test_dump_written_before_load_checked_the_layout_loads_the_same(tmp_path):
    """fixtures/legacy_dump came from the code of 83b89f5 (see make_legacy_dump.py)."""
    fixtures = pathlib.Path(__file__).parent / "fixtures"
    expected = json.loads((fixtures / "legacy_dump.json").read_text())
    where = tmp_path / "legacy"
    shutil.copytree(fixtures / "legacy_dump", where)
    meta = where / "meta.json"
    meta.write_text(meta.read_text().replace("/tmp/quillmere-legacy-dump", str(where)))
    index = pq.QuillmereBuilder.from_disk(str(where)).build()

    assert [[index.bucket_occupied(l, b) for b in range(index.level_n_buckets(l))]
            for l in range(index.n_levels())] == expected["levels"]
    assert index.buffer_occupied() == expected["buffer_occupied"]
    q = expected["queries"]
    queries = np.random.default_rng(q["seed"]).standard_normal((q["n"], DIM)).astype(np.float32)
    for budget, answers in expected["search"].items():
        assert [index.search(x, q["k"], n_candidates=int(budget)).tolist() for x in queries] == answers, budget
    r = expected["records"]
    rows = np.random.default_rng(r["seed"]).standard_normal((r["n"], r["dim"])).astype(np.float32)
    for i in range(r["n"]):
        removed = index.delete(i)
        if i in r["deleted"]:
            assert removed is None
        else:
            np.testing.assert_array_equal(np.array(removed[0], dtype=np.float32), rows[i])
    assert index.occupied() == 0


def moved_away(dump):
    dump.rename(dump.with_name("moved"))
    return pq.QuillmereBuilder.from_disk(str(dump.with_name("moved"))).build()


def without_ids_of_level_0(dump):
    (dump / "bucket-ids-0.bin").unlink()
    return pq.QuillmereBuilder.from_disk(str(dump)).build()


@pytest.mark.parametrize(
    "make_error, action, named, err",
    [
        (lambda ix, d: pq.QuillmereBuilder.from_disk(str(d.with_name("absent"))), "open",
         lambda d: d.with_name("absent") / "meta.json", errno.ENOENT),
        # meta.json names its files by absolute path: the old place, the buffer's first.
        (lambda ix, d: moved_away(d), "open", lambda d: d / "buffer_records.bin", errno.ENOENT),
        (lambda ix, d: without_ids_of_level_0(d), "open", lambda d: d / "bucket-ids-0.bin", errno.ENOENT),
        (lambda ix, d: pq.QuillmereBuilder.from_yaml(str(d / "absent.yaml")), "open",
         lambda d: d / "absent.yaml", errno.ENOENT),
        (lambda ix, d: ix.dump(str(d)), "create directory", lambda d: d, errno.EEXIST),
    ],
    ids=["missing dump", "moved dump", "dump missing a file", "missing YAML", "dump into an existing directory"],
)
def test_file_errors_say_what_failed_on_which_path(tmp_path, make_error, action, named, err):
    index, _ = filled(BUFFER + 3)
    dump = tmp_path / "dump"
    index.dump(str(dump))
    with pytest.raises(RuntimeError) as caught:
        make_error(index, dump)
    assert str(caught.value) == f"File operation failed: cannot {action} {named(dump)}: {os.strerror(err)}"
    assert index.occupied() == BUFFER + 3


FIXTURES = pathlib.Path(__file__).parent / "fixtures"
SETSTATE_LOOP = FIXTURES / "setstate_loop.ot"  # __setstate__ that never returns (make_setstate_archive.py)
# Written by libtorch's OutputArchive for 3 inputs, [linear 4, relu], 2 buckets (make_archive_fixtures.cpp).
CLASSIFIER = pathlib.Path(__file__).parents[2] / "src" / "model" / "tests" / "fixtures" / "classifier-f32.ot"


def nested_tuples(depth):
    return b"\x80\x02" + b"(" * depth + b"t" * depth + b"."


NESTED_CODE = ("class Endless(Module):\n  __parameters__ = []\n  __buffers__ = []\n  training : bool\n"
               "  w : Tensor\n  def one(self: __torch__.Endless) -> int:\n    return "
               + "(" * 200_000 + "1" + ")" * 200_000 + "\n").encode()


def changed_archive(source, target, replace=None, drop="", compress=zipfile.ZIP_STORED):
    """`source` with some records replaced (by name below the archive folder) or dropped."""
    replace = replace or {}
    with zipfile.ZipFile(source) as src, zipfile.ZipFile(target, "w", compress) as out:
        for info in src.infolist():
            name = info.filename.split("/", 1)[1]
            if drop and name.startswith(drop):
                continue
            out.writestr(info.filename, replace.get(name, src.read(info.filename)), compress_type=compress)


# Every way a weights archive once took the process down or hung it, and the legitimate
# archive beside them: (source, change, text the refusal names or None when it loads).
ARCHIVES = {
    "a million marks, code dropped": (SETSTATE_LOOP, dict(replace={"data.pkl": nested_tuples(1_000_000)},
                                                          drop="code/"), "pickle marks too deep"),
    "a method in 200,000 parentheses": (SETSTATE_LOOP, dict(replace={"code/__torch__.py": NESTED_CODE}),
                                        "state is a tuple"),
    "tuples 100,000 deep": (SETSTATE_LOOP, dict(replace={"data.pkl": nested_tuples(100_000)}, drop="code/"),
                            "pickle marks too deep"),
    "__setstate__ that never returns": (SETSTATE_LOOP, {}, "state is a tuple"),
    "tuples 60,000 deep in a classifier": (CLASSIFIER, dict(replace={"data.pkl": nested_tuples(60_000)}),
                                           "holds a tuple, not a dictionary"),
    "deflated records": (CLASSIFIER, dict(compress=zipfile.ZIP_DEFLATED), "compressed"),
    "the classifier": (CLASSIFIER, {}, None),
    "the classifier with code in 200,000 parentheses": (CLASSIFIER, dict(replace={"code/__torch__.py": NESTED_CODE}),
                                                        None),
}


@pytest.mark.parametrize("case", ARCHIVES)
def test_weights_archives_load_or_are_refused_cleanly(tmp_path, case):
    """A dump whose level names the archive as its weights is loaded in a child process: a
    crash, a hang (bounded by the timeout) or anything but a RuntimeError fails the case."""
    source, change, refusal = ARCHIVES[case]
    archive = tmp_path / "w.ot"
    changed_archive(source, archive, **change)
    index = pq.QuillmereBuilder().input_shape(3).buffer_size(4).bucket_size(2).arity(2).train_epochs(1).build()
    for i, row in enumerate(records(4, dim=3)):
        index.insert(row, i)
    target = tmp_path / "dump"
    index.dump(str(target))
    meta = json.loads((target / "meta.json").read_text())
    assert len(meta["levels"][0]["buckets"]) == 2
    meta["levels"][0]["config"]["model"].update(layers=[{"type": "linear", "value": 4}, {"type": "relu"}],
                                                weights_path=str(archive))
    (target / "meta.json").write_text(json.dumps(meta))
    load = ("import numpy as np, py_quillmere as pq\n"
            f"index = pq.QuillmereBuilder.from_disk({str(target)!r}).build()\n"
            "print('found', sorted(index.search(np.ones(3, dtype=np.float32), 4).tolist()))\n")
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(pq.__file__).parent))
    proc = subprocess.run([sys.executable, "-c", load], env=env, capture_output=True, text=True, timeout=120)
    if refusal is None:
        assert proc.returncode == 0, proc.stderr
        assert "found [0, 1, 2, 3]" in proc.stdout
    else:
        assert proc.returncode == 1, proc.stderr
        last = proc.stderr.strip().splitlines()[-1]
        assert last.startswith("RuntimeError: Model creation failed: ") and refusal in last, last


# ---- interrupts -------------------------------------------------------------------

ENDLESS_TRAINING = textwrap.dedent("""
    import _thread, os, signal, sys, tempfile, threading, time
    import numpy as np
    import py_quillmere as pq

    small = pq.QuillmereBuilder().input_shape(8).buffer_size(20).bucket_size(10).arity(2).distance_fn("l2")
    index = small.train_batch_size(4).train_epochs(2**64 - 1).build()
    rows = np.random.default_rng(0).standard_normal((20, 8)).astype(np.float32)
    for i in range(19):
        index.insert(rows[i], i)

    # A handler that loads a dump (whose build polls for signals too) is still refused the index.
    dump = os.path.join(tempfile.mkdtemp(), "dump")
    compacted = small.build()
    for i in range(20):
        compacted.insert(rows[i], i)
    compacted.dump(dump)
    def load_then_reach_the_index(signum, frame):
        pq.QuillmereBuilder.from_disk(dump).build()
        try:
            index.occupied()
        except RuntimeError:
            raise KeyboardInterrupt
        sys.exit("the handler reached the index")
    signal.signal(signal.SIGUSR1, load_then_reach_the_index)

    interrupt = {"interrupt_main": _thread.interrupt_main,
                 "signal": lambda: os.kill(os.getpid(), signal.SIGINT),
                 "nested": lambda: os.kill(os.getpid(), signal.SIGUSR1)}[sys.argv[1]]
    sent = []
    threading.Timer(0.5, lambda: (sent.append(time.monotonic()), interrupt())).start()
    try:
        index.insert(rows[19], 19)  # fills the buffer: the compaction would train for good
        sys.exit("the insert returned")
    except KeyboardInterrupt:
        latency = time.monotonic() - sent[0]
    # Nothing moved and nothing was lost: every record is still found, the index still works.
    assert (index.occupied(), index.n_levels(), index.buffer_occupied()) == (20, 0, 20)
    for i in range(20):
        assert index.search(rows[i], 1)[0] == i
    assert index.delete(7)[1] == 7 and index.occupied() == 19
    print(f"latency {latency:.3f}")
""")


@pytest.mark.parametrize("how", ["interrupt_main", "signal", "nested"])
def test_interrupt_stops_a_training_that_would_never_end(how):
    env = dict(os.environ, PYTHONPATH=str(pathlib.Path(pq.__file__).parent))
    proc = subprocess.run([sys.executable, "-c", ENDLESS_TRAINING, how], env=env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    # The core polls every 50 ms; a second is far beyond that, but it is not forever.
    latency = float(proc.stdout.rsplit("latency ", 1)[1])
    assert latency < 1.0
