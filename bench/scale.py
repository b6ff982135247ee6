"""The comparison at scale: synthetic records of 128 values in 1,000 Gaussian clusters.

The clusters are the usual Gaussian blobs: centres uniform in [-10, 10] per value, unit spread
around them, each record from a cluster picked at random.

Sizes 200,000 and 1,000,000 (20,000 and 100,000 with --quick); 1,000 queries from the same
clusters; l2. One fresh process per system and size builds the index one record per call
(hnswlib: the first 50,000 one per call, the rest in batches on 8 threads, which a graph of a
million records otherwise takes a quarter of an hour to build), measures resident memory growth,
sweeps its search setting with single queries, and at the first setting that reaches recall@10
0.95 measures queries per second with 8 threads: 8 Python threads calling py_quillmere's `search`
on one index, hnswlib's and FAISS's own batch searches with 8 threads.
"""
import concurrent.futures
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

from common import (HNSW_EFC, HNSW_M, K, RECALL_TARGET, TUNED, Truth, best_qps_at, exact_distances, faiss_add_one,
                    faiss_ivf, fmt, hnsw_new, insert_all, load_average, qm_build, qm_shape, ratio, recall_qps_axes, rss_bytes, say,
                    timed_queries)

DIM, CLUSTERS, CENTRE_BOX, SPREAD = 128, 1000, 10.0, 1.0
N_QUERIES = 1000
SIZES, QUICK_SIZES = [200_000, 1_000_000], [20_000, 100_000]
RAW_BYTES = DIM * 4 + 4
THREADS = 8
QM_BUDGETS = [500, 1000, 2000, 3000, 5000, 8000, 12000, 20000, 30000, 50000, 80000]
NPROBES = [1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 128]
EFS = [10, 16, 24, 32, 48, 64, 96, 128, 256]
ONE_BY_ONE = 50_000  # FAISS and hnswlib records added one per call; the rest in batches
SYSTEMS = ["py_quillmere", "FAISS IVFFlat", "hnswlib"]


def nlist_for(n):
    """About 4 sqrt(n) lists, a power of two."""
    return 1 << max(4, round(np.log2(4 * np.sqrt(n))))


def make_data(n, seed=7):
    """Seeded: every process makes the same records and queries for a given n."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-CENTRE_BOX, CENTRE_BOX, (CLUSTERS, DIM)).astype(np.float32)
    base = np.empty((n, DIM), dtype=np.float32)
    for start in range(0, n, 100_000):
        rows = min(100_000, n - start)
        base[start:start + rows] = centres[rng.integers(0, CLUSTERS, rows)]
        base[start:start + rows] += SPREAD * rng.standard_normal((rows, DIM), dtype=np.float32)
    queries = centres[rng.integers(0, CLUSTERS, N_QUERIES)] + SPREAD * rng.standard_normal((N_QUERIES, DIM),
                                                                                            dtype=np.float32)
    return base, np.ascontiguousarray(queries, dtype=np.float32)


def threaded_qps(search_one, queries, threads=THREADS, repeat=2):
    """Queries per second with `threads` Python threads, each taking its share of the queries."""
    work = np.concatenate([queries] * repeat)
    shares = np.array_split(np.arange(len(work)), threads)
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        started = time.perf_counter()
        list(pool.map(lambda idx: [search_one(work[i]) for i in idx], shares))
        return len(work) / (time.perf_counter() - started)


def sweep(label, params, search_with, truth, queries):
    points = []
    for p in params:
        found, qps = timed_queries(search_with(p), queries)
        r = truth.recall(found)
        points.append({"param": p, "recall": r, "qps": qps})
        say(f"    {label} {p:>6}: recall {r:.3f}, {qps:8.0f} queries/s")
        if r >= 0.999:
            break
    return points


def first_at(points, target=RECALL_TARGET):
    return next((p for p in points if p["recall"] >= target), None)


def child(system, n, tmp):
    """Runs in a fresh interpreter: one system at one size."""
    base, queries = make_data(n)
    truth = Truth(base, queries, "l2", kth=np.load(os.path.join(tmp, f"kth-{n}.npy")))
    out = {"system": system, "n": n}
    before = rss_bytes()
    if system == "py_quillmere":
        import py_quillmere  # noqa: F401  (the library's own load is not the index's memory)
        before = rss_bytes()
        index, out["insert_per_s"] = qm_build(base, "l2", TUNED, label=f"insert ({n:,})")
        out["bytes_per_record"] = (rss_bytes() - before) / n
        out["estimate_bytes_per_record"] = index.memory_usage() / n
        out.update(qm_shape(index))
        out["points"] = sweep("n_candidates", QM_BUDGETS, lambda b: lambda q: index.search(q, K, n_candidates=b),
                              truth, queries)
        best = first_at(out["points"])
        if best:
            out["threads_qps"] = threaded_qps(lambda q: index.search(q, K, n_candidates=best["param"]), queries)
    elif system == "FAISS IVFFlat":
        import faiss
        nlist = nlist_for(n)
        faiss.omp_set_num_threads(os.cpu_count())  # training is a batch job
        before = rss_bytes()
        index, out["train_s"] = faiss_ivf(base, "l2", nlist, train_rows=min(n, 64 * nlist))
        faiss.omp_set_num_threads(1)
        first = min(n, ONE_BY_ONE)
        out["insert_per_s"] = insert_all(f"add_with_ids one ({first:,})", faiss_add_one(index), base[:first])
        if n > first:
            faiss.omp_set_num_threads(THREADS)
            started = time.perf_counter()
            for start in range(first, n, 10_000):
                stop = min(n, start + 10_000)
                index.add_with_ids(base[start:stop], np.arange(start, stop, dtype=np.int64))
            out["batch_insert_per_s"] = (n - first) / (time.perf_counter() - started)
            faiss.omp_set_num_threads(1)
        out["bytes_per_record"] = (rss_bytes() - before) / n
        out["nlist"] = nlist

        def with_nprobe(p):
            index.nprobe = p
            return lambda q: index.search(q[None, :], K)[1][0]
        out["points"] = sweep("nprobe", [p for p in NPROBES if p <= nlist], with_nprobe, truth, queries)
        best = first_at(out["points"])
        if best:
            index.nprobe = best["param"]
            faiss.omp_set_num_threads(THREADS)
            started = time.perf_counter()
            for _ in range(2):
                index.search(queries, K)
            out["threads_qps"] = 2 * len(queries) / (time.perf_counter() - started)
    elif system == "hnswlib":
        import hnswlib  # noqa: F401
        before = rss_bytes()
        index = hnsw_new("l2", DIM, n)
        index.set_num_threads(1)
        first = min(n, ONE_BY_ONE)
        out["insert_per_s"] = insert_all(f"add_items one ({first:,})", lambda v, i: index.add_items(v[None, :], [i]),
                                         base[:first])
        if n > first:
            index.set_num_threads(THREADS)
            started = time.perf_counter()
            index.add_items(base[first:], np.arange(first, n))
            out["batch_insert_per_s"] = (n - first) / (time.perf_counter() - started)
        out["bytes_per_record"] = (rss_bytes() - before) / n

        def with_ef(ef):
            index.set_ef(max(ef, K))
            index.set_num_threads(1)
            return lambda q: index.knn_query(q[None, :], k=K)[0][0]
        out["points"] = sweep("ef", EFS, with_ef, truth, queries)
        best = first_at(out["points"])
        if best:
            index.set_ef(max(best["param"], K))
            started = time.perf_counter()
            for _ in range(2):
                index.knn_query(queries, k=K, num_threads=THREADS)
            out["threads_qps"] = 2 * len(queries) / (time.perf_counter() - started)
    else:
        raise SystemExit(f"unknown system {system}")
    out["load"] = load_average()
    print(json.dumps(out))


def run(args, tmp):
    import faiss
    sizes = QUICK_SIZES if args.quick else SIZES
    say(f"[scale] {DIM} values in {CLUSTERS} Gaussian clusters, sizes {', '.join(f'{n:,}' for n in sizes)}")
    results = {"sizes": sizes, "load_before": load_average(), "runs": []}
    started = time.perf_counter()
    for n in sizes:
        base, queries = make_data(n)
        flat = faiss.IndexFlatL2(DIM)
        flat.add(base)
        faiss.omp_set_num_threads(os.cpu_count())
        _, ids = flat.search(queries, K)
        del flat
        np.save(os.path.join(tmp, f"kth-{n}.npy"), exact_distances(base, queries, ids, "l2").max(axis=1))
        del base, queries
        for system in SYSTEMS:
            say(f"  {system}, {n:,} records")
            proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).with_name("compare.py")),
                                   "--scale-child", system, str(n), tmp], stdout=subprocess.PIPE, text=True,
                                  env=os.environ.copy())
            if proc.returncode != 0:
                raise SystemExit(f"scale child {system} {n} failed")
            results["runs"].append(json.loads(proc.stdout.strip().splitlines()[-1]))
    results["minutes"] = (time.perf_counter() - started) / 60
    results["load_after"] = load_average()
    return results


def setting_name(system, p):
    return {"py_quillmere": "n_candidates", "FAISS IVFFlat": "nprobe", "hnswlib": "ef"}[system] + f"={p}"


def scanned(run, p):
    """Records compared per query at setting p, where it is known."""
    if run["system"] == "py_quillmere":
        return p  # the budget; whole buckets make it a little more
    if run["system"] == "FAISS IVFFlat":
        return p * run["n"] / run["nlist"]  # lists of n / nlist records on average
    return None


def report(res):
    lines = ["## At scale: 128 values in 1,000 Gaussian clusters (l2)", ""]
    add = lines.append
    add(f"Seeded synthetic records, {N_QUERIES:,} queries from the same clusters, one fresh process per system and "
        f"size; the part took {res['minutes']:.1f} min. Load average {res['load_before']:.1f} before, "
        f"{res['load_after']:.1f} after. py_quillmere runs the tuned setting; FAISS IVFFlat has about 4 sqrt(n) lists "
        f"(trained on 64 rows per list); hnswlib M={HNSW_M}, ef_construction={HNSW_EFC}. Inserts/s are for one record "
        f"per call: all of them for py_quillmere, the first {ONE_BY_ONE:,} for FAISS and hnswlib (the rest went in "
        f"batches on {THREADS} threads, shown beside; for hnswlib the rate is a bound from above, as its adds slow "
        f"down while the graph grows). Raw = {RAW_BYTES} bytes per record (128 f32 values and a u32 id).")
    add("")
    add(f"| records | system | inserts/s, one per call | resident bytes/record (x raw) | setting at recall "
        f"{RECALL_TARGET} | records compared | queries/s, 1 thread | queries/s, {THREADS} threads |")
    add("|---:|---|---:|---:|---|---:|---:|---:|")
    for run in res["runs"]:
        p = first_at(run["points"])
        notes = []
        if "batch_insert_per_s" in run:
            notes.append(f"first {ONE_BY_ONE:,}; the rest {fmt(run['batch_insert_per_s'])}/s in batches on "
                         f"{THREADS} threads")
        if "largest_bucket_share" in run:
            notes.append(f"{run['levels']} levels")
        ins = fmt(run["insert_per_s"]) + (f" ({'; '.join(notes)})" if notes else "")
        mem = f"{run['bytes_per_record']:,.0f} ({run['bytes_per_record'] / RAW_BYTES:.2f})"
        if p:
            sc = scanned(run, p["param"])
            add(f"| {run['n']:,} | {run['system']} | {ins} | {mem} | {setting_name(run['system'], p['param'])} "
                f"(recall {p['recall']:.3f}) | {fmt(sc)} | {fmt(p['qps'])} | {fmt(run.get('threads_qps'))} |")
        else:
            top = max(run["points"], key=lambda q: q["recall"])
            add(f"| {run['n']:,} | {run['system']} | {ins} | {mem} | not reached (best {top['recall']:.3f}) | | | |")
    add("")
    add(f"{THREADS} threads: py_quillmere is called from {THREADS} Python threads on one index, whose lock lets one "
        f"search run at a time (each search already scans on every core); hnswlib `knn_query` and FAISS `search` "
        f"take all queries in one call on {THREADS} threads.")
    add("")
    add(f"How the setting needed for recall {RECALL_TARGET} grows with n:")
    add("")
    add("| system | " + " | ".join(f"{n:,}" for n in res["sizes"]) + " |")
    add("|---|" + "---:|" * len(res["sizes"]))
    for system in SYSTEMS:
        cells = []
        for n in res["sizes"]:
            run = next(r for r in res["runs"] if r["system"] == system and r["n"] == n)
            p = first_at(run["points"])
            sc = p and scanned(run, p["param"])
            cells.append(f"{setting_name(system, p['param'])}" + (f" ({fmt(sc)} records)" if sc else "") if p else "-")
        add(f"| {system} | " + " | ".join(cells) + " |")
    add("")
    best = {}
    for run in res["runs"]:
        q, _ = best_qps_at(run["points"])
        best[(run["system"], run["n"])] = q
    for n in res["sizes"]:
        qm = best.get(("py_quillmere", n))
        add(f"- {n:,} records, best queries/s at recall {RECALL_TARGET}, py_quillmere / FAISS IVFFlat: "
            f"{fmt(ratio(qm, best.get(('FAISS IVFFlat', n))), 2)}; / hnswlib: "
            f"{fmt(ratio(qm, best.get(('hnswlib', n))), 2)}.")
    add("")
    return lines


def plot(res, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    sizes = res["sizes"]
    fig, axes = plt.subplots(1, len(sizes), figsize=(8 * len(sizes), 6), squeeze=False)
    colours = {"py_quillmere": "#d62728", "FAISS IVFFlat": "#1f77b4", "hnswlib": "#2ca02c"}
    for ax, n in zip(axes[0], sizes):
        for run in (r for r in res["runs"] if r["n"] == n):
            pts = run["points"]
            ax.plot([p["recall"] for p in pts], [p["qps"] for p in pts], marker="o", markersize=4,
                    color=colours[run["system"]], label=run["system"])
        recall_qps_axes(ax, f"{n:,} x {DIM}, {CLUSTERS} Gaussian clusters, l2")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
