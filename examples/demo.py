"""py_quillmere on Fashion-MNIST: inserts, how the records spread over the buckets, recall@10
against exact search, queries per second, a delete round trip, and a dump that is loaded back."""

import gzip
import os
import pathlib
import struct
import sys
import tempfile
import time

import numpy as np

import py_quillmere as pq

DATA_DIR = pathlib.Path("/usr/share/datasets/fashion-mnist")
N_QUERIES = 500
K = 10
BUDGETS = [2_000, 5_000, 15_000, 30_000]

# Builder calls beyond input_shape and distance_fn: the setting the README's guide (Choosing
# the settings) gives for the fastest searches. Its first choice, arity 9 alone, left about a
# third of the 90 buckets empty on these unit-length rows.
SETTING = {"bucket_size": 5_000, "buffer_size": 5_000, "train_batch_size": 32, "train_threshold_samples": 10_000,
           "train_epochs": 10, "arity": 9}
WHY = ("the README's setting for the fastest searches (Choosing the settings): arity 9 gives the first\n"
       "  two levels 9 and 81 buckets (the default arity 3: 3 and 9), and classifiers trained for 10 epochs on\n"
       "  batches of 32 over a sample of 10,000 rows spread the records over them, so a search finds the\n"
       "  neighbours in fewer buckets. The default training (3 epochs of batches of 256 over 1,000 rows) may\n"
       "  hardly move the classifiers on unit-length rows and leave most buckets empty; this one costs slower\n"
       "  inserts.")


def read_idx_images(path):
    with gzip.open(path, "rb") as f:
        magic, count, rows, cols = struct.unpack(">IIII", f.read(16))
        if magic != 2051:
            raise ValueError(f"{path}: not an idx image file")
        pixels = np.frombuffer(f.read(count * rows * cols), dtype=np.uint8)
    return pixels.reshape(count, rows * cols)


def load_data():
    train = DATA_DIR / "train-images-idx3-ubyte.gz"
    test = DATA_DIR / "t10k-images-idx3-ubyte.gz"
    if train.is_file() and test.is_file():
        base, queries = read_idx_images(train), read_idx_images(test)[:N_QUERIES]
        source = "Fashion-MNIST"
    else:
        # Generated stand-in: clustered vectors of the same shape.
        rng = np.random.default_rng(7)
        centres = rng.uniform(0, 255, (10, 784))
        labels = rng.integers(0, 10, 60_000 + N_QUERIES)
        points = np.clip(centres[labels] + rng.normal(0, 40, (labels.size, 784)), 0, 255)
        base, queries = points[:60_000], points[60_000:]
        source = "generated data (Fashion-MNIST not found)"
    # Unit-length rows: the inner product is then the cosine similarity.
    def normalise(x):
        x = x.astype(np.float32)
        return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12)

    return normalise(base), normalise(queries), source


def progress(done, total, started, width=40):
    filled = width * done // total
    rate = done / max(time.perf_counter() - started, 1e-9)
    bar = f"  [{'#' * filled}{'.' * (width - filled)}] {done:6d}/{total} {rate:8.0f} rec/s"
    if sys.stderr.isatty():
        sys.stderr.write("\r" + bar + ("\n" if done == total else ""))
    elif done == total or (10 * done // total) != (10 * (done - max(total // 200, 1)) // total):
        sys.stderr.write(bar + "\n")  # every tenth when not on a terminal
    sys.stderr.flush()


def print_spread(index):
    """How the records spread over each level's buckets: a search visits whole buckets."""
    print("records per bucket:")
    for level in range(index.n_levels()):
        counts = sorted(index.bucket_occupied(level, b) for b in range(index.level_n_buckets(level)))
        total = sum(counts)
        print(f"  level {level}: {total} records in {len(counts)} buckets ({counts.count(0)} empty, room for "
              f"{index.level_total_size(level)}): min {counts[0]}, median {int(np.median(counts))}, max "
              f"{counts[-1]} ({counts[-1] / max(total, 1):.0%} of the level)")


def exact_neighbours(base, queries, k):
    scores = queries @ base.T
    top = np.argpartition(-scores, k, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1)
    return np.take_along_axis(top, order, axis=1)


def recall(found, truth):
    hits = sum(len(set(f.tolist()) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / truth.size


def search_all(index, queries, **kwargs):
    started = time.perf_counter()
    found = [index.search(q, K, **kwargs) for q in queries]
    return found, len(queries) / (time.perf_counter() - started)


def main():
    base, queries, source = load_data()
    n, dim = base.shape
    print(f"data: {source}, {n} records of {dim} values, {len(queries)} queries")

    builder = pq.QuillmereBuilder().input_shape(dim).distance_fn("dot")
    for name, value in SETTING.items():
        builder = getattr(builder, name)(value)
    index = builder.build()
    print("setting: " + ", ".join(f"{name}({value})" for name, value in SETTING.items()))
    print(f"  why: {WHY}")

    print("inserting")
    started = time.perf_counter()
    step = max(n // 200, 1)
    for i in range(n):
        index.insert(base[i], i)
        if (i + 1) % step == 0 or i + 1 == n:
            progress(i + 1, n, started)
    elapsed = time.perf_counter() - started
    print(f"inserted {index.occupied()} records in {elapsed:.1f} s: {index.n_levels()} levels, "
          f"{index.n_buckets()} buckets ({index.n_empty_buckets()} empty), "
          f"{index.buffer_occupied()} in the buffer, about {index.memory_usage() / 2**20:.0f} MiB")
    print_spread(index)

    truth = exact_neighbours(base, queries, K)
    print(f"search, k={K}: recall@{K} against exact search")
    print(f"  {'n_candidates':>12}  {'recall':>7}  {'queries/s':>10}")
    for budget in BUDGETS:
        found, qps = search_all(index, queries, n_candidates=budget)
        print(f"  {budget:>12}  {recall(found, truth):7.3f}  {qps:10.0f}")

    victim = int(truth[0][0])
    removed = index.delete(victim)
    assert removed is not None and removed[1] == victim
    assert np.array_equal(np.array(removed[0], dtype=np.float32), base[victim])
    assert victim not in index.search(queries[0], K, n_candidates=n).tolist()
    assert index.delete(victim) is None
    index.insert(base[victim], victim)
    assert victim in index.search(queries[0], K, n_candidates=n).tolist()
    print(f"delete: record {victim} removed, no longer found, inserted again and found")

    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "index")
        started = time.perf_counter()
        index.dump(target)
        dumped = time.perf_counter() - started
        size = sum(f.stat().st_size for f in pathlib.Path(target).iterdir())
        sys.stdout.flush()  # loading prints its own lines from native code
        started = time.perf_counter()
        loaded = pq.QuillmereBuilder.from_disk(target).build()
        loaded_in = time.perf_counter() - started
        print(f"dump: {size / 2**20:.0f} MiB in {dumped:.1f} s; load: {loaded_in:.1f} s")
        same = all(
            np.array_equal(index.search(q, K, n_candidates=5_000), loaded.search(q, K, n_candidates=5_000))
            for q in queries
        )
        assert loaded.occupied() == index.occupied() and loaded.n_levels() == index.n_levels()
        assert same, "the reloaded index answers differently"
        print(f"reload: {loaded.occupied()} records, the same answers for all {len(queries)} queries")


if __name__ == "__main__":
    main()
