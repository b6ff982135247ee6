"""What the comparison's parts share: progress output, timing loops, recall against exact search,
and how each system is built."""
import contextlib
import importlib.util
import os
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("py_quillmere") is None and (ROOT / "build" / "py_quillmere").is_dir():
    sys.path.insert(0, str(ROOT / "build" / "py_quillmere"))
K = 10
RECALL_TARGET = 0.95
HNSW_M, HNSW_EFC = 16, 200

# The tuned py_quillmere setting of every part: buckets and buffer of 5,000, batches of 32 over a
# training sample of 3,000 rows (see the tuning part for what else was tried).
TUNED = {"bucket_size": 5000, "buffer_size": 5000, "train_batch_size": 32, "train_threshold_samples": 3000}


def say(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def load_average():
    return os.getloadavg()[0]


class Progress:
    """A bar on a terminal, every tenth otherwise."""

    def __init__(self, label, total):
        self.label, self.total, self.started, self.shown = label, total, time.perf_counter(), -1

    def update(self, done):
        tenth = 10 * done // self.total
        if not sys.stderr.isatty() and tenth == self.shown:
            return
        self.shown = tenth
        rate = done / max(time.perf_counter() - self.started, 1e-9)
        width = 30
        bar = (f"    {self.label:<34} [{'#' * (width * done // self.total):<{width}}] {done:7d}/{self.total} "
               f"{rate:8.0f}/s")
        if sys.stderr.isatty():
            sys.stderr.write("\r" + bar + ("\n" if done == self.total else ""))
        else:
            sys.stderr.write(bar + "\n")
        sys.stderr.flush()


@contextlib.contextmanager
def quiet_stdout():
    """py_quillmere prints l2 training data and load messages on fd 1; keep the report readable."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def insert_all(label, add_one, base, step=None):
    progress = Progress(label, len(base))
    step = step or max(len(base) // 100, 1)
    started = time.perf_counter()
    for i in range(len(base)):
        add_one(base[i], i)
        if (i + 1) % step == 0 or i + 1 == len(base):
            progress.update(i + 1)
    return len(base) / (time.perf_counter() - started)


def timed_queries(search_one, queries):
    found = []
    started = time.perf_counter()
    for q in queries:
        found.append(search_one(q))
    return found, len(queries) / (time.perf_counter() - started)


def exact_distances(base, queries, ids, metric):
    """Exact distance (smaller is nearer: -inner product for dot) of every id, in float64."""
    out = np.full(ids.shape, np.inf)
    for i, row in enumerate(ids):
        valid = row >= 0
        vecs = base[row[valid]].astype(np.float64)
        q = queries[i].astype(np.float64)
        out[i, valid] = -(vecs @ q) if metric == "dot" else ((vecs - q) ** 2).sum(axis=1)
    return out


class Truth:
    """The tenth true neighbour's exact distance per query, by FAISS IndexFlat."""

    def __init__(self, base, queries, metric, kth=None):
        self.base, self.queries, self.metric = base, queries, metric
        if kth is None:
            import faiss
            flat = faiss.IndexFlatIP(base.shape[1]) if metric == "dot" else faiss.IndexFlatL2(base.shape[1])
            flat.add(base)
            _, ids = flat.search(queries, K)
            kth = exact_distances(base, queries, ids, metric).max(axis=1)
        self.kth = kth

    def subset(self, n):
        return Truth(self.base, self.queries[:n], self.metric, self.kth[:n])

    def recall(self, found):
        """found: one id array per query (at most K each). A returned id counts when its exact
        distance is no worse than the tenth true neighbour's, so duplicates do not cost recall."""
        padded = np.full((len(found), K), -1, dtype=np.int64)
        for i, f in enumerate(found):
            f = np.asarray(f, dtype=np.int64)[:K]
            padded[i, :len(f)] = f
        dist = exact_distances(self.base, self.queries[:len(found)], padded, self.metric)
        kth = self.kth[:len(found)]
        tol = 1e-5 * np.maximum(1.0, np.abs(kth))
        hits = (dist <= (kth + tol)[:, None]).sum(axis=1)
        return float(np.minimum(hits, K).sum()) / (K * len(found))


def best_qps_at(points, target=RECALL_TARGET):
    """Highest queries/s among settings reaching the recall target, with the setting."""
    ok = [p for p in points if p["recall"] >= target]
    if not ok:
        return None, None
    best = max(ok, key=lambda p: p["qps"])
    return best["qps"], best


def fmt(x, digits=0):
    if x is None:
        return "-"
    return f"{x:,.{digits}f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def recall_qps_axes(ax, title, legend_size=8):
    """What every plot of recall@10 against single-query queries per second shares."""
    ax.axvline(RECALL_TARGET, color="grey", linewidth=0.8, linestyle=":")
    ax.set_yscale("log")
    ax.set_xlabel("recall@10")
    ax.set_ylabel("queries per second, one query per call (log scale)")
    ax.set_title(title)
    ax.grid(True, which="both", alpha=0.3)
    ax.set_xlim(0.5, 1.005)
    ax.legend(fontsize=legend_size, loc="lower left")


# ---------------------------------------------------------------- systems

def qm_builder(dim, metric, settings):
    """A QuillmereBuilder with `settings` (builder setter name -> value) applied."""
    import py_quillmere as pq
    builder = pq.QuillmereBuilder().input_shape(dim).distance_fn(metric)
    for name, value in settings.items():
        builder = getattr(builder, name)(value)
    return builder


def qm_build(base, metric, settings, label="py_quillmere"):
    """Builds an index one record per call; returns it and the insert rate."""
    index = qm_builder(base.shape[1], metric, settings).build()
    with quiet_stdout():
        rate = insert_all(label, lambda v, i: index.insert(v, i), base)
    return index, rate


def qm_shape(index):
    """Levels, and the share of all records held by the largest bucket."""
    largest = max((index.bucket_occupied(level, b) for level in range(index.n_levels())
                   for b in range(index.level_n_buckets(level))), default=0)
    return {"levels": index.n_levels(), "buckets": index.n_buckets(),
            "largest_bucket_share": largest / max(index.occupied(), 1)}


def faiss_ivf(base, metric, nlist, train_rows=None):
    """An IndexIVFFlat trained on `base` (or its first `train_rows` rows); returns it and the
    training time."""
    import faiss
    quantizer = faiss.IndexFlatIP(base.shape[1]) if metric == "dot" else faiss.IndexFlatL2(base.shape[1])
    kind = faiss.METRIC_INNER_PRODUCT if metric == "dot" else faiss.METRIC_L2
    index = faiss.IndexIVFFlat(quantizer, base.shape[1], nlist, kind)
    started = time.perf_counter()
    index.train(base if train_rows is None else base[:train_rows])
    train_s = time.perf_counter() - started
    index.quantizer_ref = quantizer  # keep the quantizer alive with the index
    return index, train_s


def faiss_add_one(index):
    def add(v, i):
        index.add_with_ids(v[None, :], np.array([i], dtype=np.int64))
    return add


def hnsw_new(metric, dim, n):
    import hnswlib
    index = hnswlib.Index(space="ip" if metric == "dot" else "l2", dim=dim)
    index.init_index(max_elements=n, M=HNSW_M, ef_construction=HNSW_EFC, random_seed=100)
    return index
