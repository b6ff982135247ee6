#!/usr/bin/python3
"""py_quillmere beside the libraries a user would pick instead, all in one run, in five parts.

fashion: Fashion-MNIST. Peers: FAISS IndexFlat (exact) and IndexIVFFlat (nlist 81, 243, 729, nprobe
sweep), and hnswlib (M=16, ef_construction=200, ef sweep). py_quillmere runs with its defaults and
with smaller buckets and buffers, sweeping n_candidates. Every system answers one query per call and
takes one record per call, as py_quillmere is called. Two comparisons, each with one metric for
every system:
  dot: rows scaled to unit length, inner product (FAISS METRIC_INNER_PRODUCT, hnswlib "ip");
  l2:  pixels scaled to [0, 1], squared Euclidean distance (FAISS METRIC_L2, hnswlib "l2").
Scaling does not change any exact neighbour list; it keeps the classifier's inputs small.
Measured: recall@10 against exact search (a returned id counts when its exact distance is no
worse than the tenth true neighbour's, so duplicate images do not cost recall), queries per second,
inserts per second, deletes per second for random ids, dump and load time, and resident memory per
record (VmRSS growth while building, in a fresh subprocess per system, against 784*4+4 raw bytes).

latency: single-query time at the tuned setting, this build beside an earlier one (--baseline), and
the exact scan beside a parallel read of the same bytes (bench/latency.py).
tuning: the sweep behind the README's tuning guide (bench/tuning.py).
scale: synthetic data at 200,000 and 1,000,000 records beside FAISS and hnswlib (bench/scale.py).
busy: inserts and searches on a quiet machine and beside one CPU-bound process per core, this build
beside an earlier one (--baseline) and beside its scan on one thread (bench/busy.py).

Usage: bench/compare.py [--quick] [--parts fashion,latency,tuning,scale,busy] [--baseline DIR] [--out DIR]
(from a checkout after `make build`, it takes the module in build/py_quillmere unless one is installed)
Writes into DIR (bench/results, or build/bench-quick with --quick): fashion-mnist.md and
fashion-mnist-recall-qps.png, search.md (latency and tuning), scale.md and scale-recall-qps.png,
busy.md, and the figures of each as JSON. The README's Benchmarks section says how long a full run took;
--quick takes a few minutes.
"""
import argparse
import gzip
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import busy  # noqa: E402
import latency  # noqa: E402
import scale  # noqa: E402
import tuning  # noqa: E402
from common import (K, RECALL_TARGET, ROOT, TUNED, HNSW_M, HNSW_EFC, Truth, best_qps_at, faiss_add_one,  # noqa: E402
                    faiss_ivf, fmt, hnsw_new, insert_all, qm_build, quiet_stdout, ratio, recall_qps_axes, rss_bytes, say,
                    timed_queries)

DATA_DIR = pathlib.Path("/usr/share/datasets/fashion-mnist")
RAW_BYTES = 784 * 4 + 4  # one record and its id

# py_quillmere settings: (label, builder settings); the first is the default. Smaller buckets make
# more buckets per level but spread the records over more levels; a smaller training batch and a
# larger training sample give each level's classifier more optimiser steps and more rows to learn
# its buckets from.
QM_CONFIGS = [
    ("defaults", {}),
    ("bucket 2500, buffer 2500", {"bucket_size": 2500, "buffer_size": 2500}),
    ("bucket 1000, buffer 3000", {"bucket_size": 1000, "buffer_size": 3000}),
    ("bucket 5000, buffer 5000, train batch 32, sample 3000", TUNED),
]
QM_BUDGETS = [250, 500, 1000, 2000, 3000, 5000, 8000, 12000, 20000, 30000]
IVF_NLISTS = [81, 243, 729]
NPROBES = [1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64]
HNSW_EFS = [10, 16, 24, 32, 48, 64, 96, 128, 256]


# ---------------------------------------------------------------- data and ground truth

def read_idx_images(path):
    with gzip.open(path, "rb") as f:
        magic, count, rows, cols = struct.unpack(">IIII", f.read(16))
        if magic != 2051:
            raise ValueError(f"{path}: not an idx image file")
        return np.frombuffer(f.read(count * rows * cols), dtype=np.uint8).reshape(count, rows * cols)


def load_data(n_base, n_queries, metric):
    base = read_idx_images(DATA_DIR / "train-images-idx3-ubyte.gz")[:n_base].astype(np.float32)
    queries = read_idx_images(DATA_DIR / "t10k-images-idx3-ubyte.gz")[:n_queries].astype(np.float32)
    if metric == "dot":
        def unit(x):
            return x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-12)
        base, queries = unit(base), unit(queries)
    else:
        base, queries = base / np.float32(255), queries / np.float32(255)
    return np.ascontiguousarray(base, np.float32), np.ascontiguousarray(queries, np.float32)


# ---------------------------------------------------------------- helpers

def dir_bytes(path):
    path = pathlib.Path(path)
    if path.is_file():
        return path.stat().st_size
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def delete_ids(n_base, n_deletes):
    return np.random.default_rng(12345).choice(n_base, size=min(n_deletes, n_base), replace=False)


# ---------------------------------------------------------------- memory child

def memory_child(system, metric, arg, n_base):
    """Runs in a fresh interpreter: VmRSS growth while building one index."""
    base, _ = load_data(n_base, 1, metric)
    if system == "qm":
        import py_quillmere as pq  # noqa: F401  (the library's own load is not the index's memory)
        before = rss_bytes()
        index, _ = qm_build(base, metric, json.loads(arg))
        after = rss_bytes()
        extra = {"estimate": index.memory_usage()}
    elif system == "ivf":
        import faiss
        before = rss_bytes()
        index, _ = faiss_ivf(base, metric, int(arg))
        faiss.omp_set_num_threads(1)
        add = faiss_add_one(index)
        for i in range(len(base)):
            add(base[i], i)
        after = rss_bytes()
        extra = {}
    elif system == "hnsw":
        import hnswlib  # noqa: F401
        before = rss_bytes()
        index = hnsw_new(metric, base.shape[1], len(base))
        # One batch: the graph's memory does not depend on how the rows arrive.
        index.add_items(base, np.arange(len(base)))
        after = rss_bytes()
        extra = {}
    else:
        raise SystemExit(f"unknown system {system}")
    print(json.dumps({"bytes_per_record": (after - before) / len(base), **extra}))


def measure_memory(system, metric, arg, n_base):
    started = time.perf_counter()
    proc = subprocess.run([sys.executable, __file__, "--memory-child", system, metric, str(arg), str(n_base)],
                          capture_output=True, text=True, env=os.environ.copy())
    if proc.returncode != 0:
        say(f"    memory of {system} {arg} failed: {proc.stderr.strip()[-500:]}")
        return None
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    say(f"    memory {system} {arg}: {result['bytes_per_record']:.0f} bytes/record "
        f"({result['bytes_per_record'] / RAW_BYTES:.2f}x raw) in {time.perf_counter() - started:.0f} s")
    return result


# ---------------------------------------------------------------- one metric

def run_metric(metric, args, results, tmp):
    import faiss
    import hnswlib

    base, queries = load_data(args.n_base, args.n_queries, metric)
    truth = Truth(base, queries, metric)
    n = len(base)
    dels = delete_ids(n, args.n_deletes)
    say(f"[{metric}] {n} records, {len(queries)} queries, ground truth by FAISS IndexFlat")
    out = results[metric] = {"curves": {}, "systems": {}, "n_base": n}

    def record_curve(name, points):
        out["curves"][name] = points

    # FAISS exact search, one query per call.
    flat = faiss.IndexFlatIP(base.shape[1]) if metric == "dot" else faiss.IndexFlatL2(base.shape[1])
    flat.add(base)
    found, qps = timed_queries(lambda q: flat.search(q[None, :], K)[1][0], queries[:args.flat_queries])
    sub = truth.subset(args.flat_queries)
    record_curve("FAISS IndexFlat (exact)", [{"param": "exact", "recall": sub.recall(found), "qps": qps}])
    say(f"    FAISS IndexFlat: {qps:.0f} queries/s")
    del flat

    # py_quillmere.
    for label, settings in args.qm_configs:
        name = f"py_quillmere ({label})"
        say(f"  {name}: {settings or 'defaults'}")
        index, rate = qm_build(base, metric, settings, label=f"insert ({label[:24]})")
        shape = ", ".join(f"L{l}: {index.level_occupied(l)}/{index.level_n_buckets(l)}b"
                          for l in range(index.n_levels()))
        say(f"    {index.n_levels()} levels ({shape}), {index.buffer_occupied()} in the buffer")
        points = []
        for budget in args.qm_budgets:
            found, qps = timed_queries(lambda q: index.search(q, K, n_candidates=budget), queries)
            r = truth.recall(found)
            points.append({"param": f"n_candidates={budget}", "recall": r, "qps": qps})
            say(f"    n_candidates {budget:>6}: recall {r:.3f}, {qps:8.0f} queries/s")
            if r >= 0.999:
                break
        record_curve(name, points)
        sysrec = {"insert_per_s": rate, "levels": index.n_levels(), "buckets": index.n_buckets(),
                  "estimate_bytes": index.memory_usage()}
        started = time.perf_counter()
        for i in dels:
            index.delete(int(i))
        sysrec["delete_per_s"] = len(dels) / (time.perf_counter() - started)
        target = os.path.join(tmp, f"qm-{metric}-{len(out['systems'])}")
        started = time.perf_counter()
        index.dump(target)
        sysrec["dump_s"] = time.perf_counter() - started
        sysrec["dump_bytes"] = dir_bytes(target)
        import py_quillmere as pq
        with quiet_stdout():
            started = time.perf_counter()
            loaded = pq.QuillmereBuilder.from_disk(target).build()
            sysrec["load_s"] = time.perf_counter() - started
        if loaded.occupied() != index.occupied():
            raise SystemExit("py_quillmere: the loaded index holds a different number of records")
        say(f"    insert {rate:.0f}/s, delete {sysrec['delete_per_s']:.0f}/s, dump {sysrec['dump_s']:.2f} s, "
            f"load {sysrec['load_s']:.2f} s")
        del loaded, index
        shutil.rmtree(target, ignore_errors=True)
        out["systems"][name] = sysrec

    # FAISS IVFFlat: trained on the base set, then one row per add_with_ids call.
    faiss.omp_set_num_threads(args.threads_faiss)
    for nlist in args.nlists:
        name = f"FAISS IVFFlat nlist={nlist}"
        say(f"  {name}")
        faiss.omp_set_num_threads(os.cpu_count())  # training is a batch job
        index, train_s = faiss_ivf(base, metric, nlist)
        faiss.omp_set_num_threads(args.threads_faiss)
        rate = insert_all(f"add_with_ids (nlist {nlist})", faiss_add_one(index), base)
        points = []
        for nprobe in [p for p in args.nprobes if p <= nlist]:
            index.nprobe = nprobe
            found, qps = timed_queries(lambda q: index.search(q[None, :], K)[1][0], queries)
            r = truth.recall(found)
            points.append({"param": f"nprobe={nprobe}", "recall": r, "qps": qps})
            say(f"    nprobe {nprobe:>4}: recall {r:.3f}, {qps:8.0f} queries/s")
            if r >= 0.999:
                break
        record_curve(name, points)
        sysrec = {"insert_per_s": rate, "train_s": train_s}
        started = time.perf_counter()
        for i in dels:
            index.remove_ids(np.array([i], dtype=np.int64))
        sysrec["delete_per_s"] = len(dels) / (time.perf_counter() - started)
        target = os.path.join(tmp, f"ivf-{metric}-{nlist}.faiss")
        started = time.perf_counter()
        faiss.write_index(index, target)
        sysrec["dump_s"] = time.perf_counter() - started
        sysrec["dump_bytes"] = dir_bytes(target)
        started = time.perf_counter()
        loaded = faiss.read_index(target)
        sysrec["load_s"] = time.perf_counter() - started
        if loaded.ntotal != index.ntotal:
            raise SystemExit("FAISS: the loaded index holds a different number of records")
        say(f"    train {train_s:.1f} s, add {rate:.0f}/s, remove_ids {sysrec['delete_per_s']:.0f}/s, "
            f"dump {sysrec['dump_s']:.2f} s, load {sysrec['load_s']:.2f} s")
        del loaded, index
        os.remove(target)
        out["systems"][name] = sysrec
    faiss.omp_set_num_threads(os.cpu_count())

    # hnswlib: one row per add_items call.
    name = f"hnswlib M={HNSW_M}"
    say(f"  {name}, ef_construction={HNSW_EFC}")
    index = hnsw_new(metric, base.shape[1], n)
    index.set_num_threads(1)
    rate = insert_all("add_items", lambda v, i: index.add_items(v[None, :], np.array([i])), base)
    points = []
    for ef in args.efs:
        index.set_ef(max(ef, K))
        found, qps = timed_queries(lambda q: index.knn_query(q[None, :], k=K)[0][0], queries)
        r = truth.recall(found)
        points.append({"param": f"ef={ef}", "recall": r, "qps": qps})
        say(f"    ef {ef:>4}: recall {r:.3f}, {qps:8.0f} queries/s")
        if r >= 0.999:
            break
    record_curve(name, points)
    sysrec = {"insert_per_s": rate}
    started = time.perf_counter()
    for i in dels:
        index.mark_deleted(int(i))
    sysrec["delete_per_s"] = len(dels) / (time.perf_counter() - started)
    target = os.path.join(tmp, f"hnsw-{metric}.bin")
    started = time.perf_counter()
    index.save_index(target)
    sysrec["dump_s"] = time.perf_counter() - started
    sysrec["dump_bytes"] = dir_bytes(target)
    started = time.perf_counter()
    loaded = hnswlib.Index(space="ip" if metric == "dot" else "l2", dim=base.shape[1])
    loaded.load_index(target, max_elements=n)
    sysrec["load_s"] = time.perf_counter() - started
    if loaded.get_current_count() != index.get_current_count():
        raise SystemExit("hnswlib: the loaded index holds a different number of records")
    say(f"    add_items {rate:.0f}/s, mark_deleted {sysrec['delete_per_s']:.0f}/s, dump {sysrec['dump_s']:.2f} s, "
        f"load {sysrec['load_s']:.2f} s")
    del loaded, index
    os.remove(target)
    out["systems"][name] = sysrec


# ---------------------------------------------------------------- report

def family(name):
    for prefix in ("py_quillmere", "FAISS IVFFlat", "hnswlib", "FAISS IndexFlat"):
        if name.startswith(prefix):
            return prefix
    return name


def headline(results, memory):
    """Rows of (target, measured ratio, met) per metric."""
    rows = []
    for metric, res in results.items():
        fam_best = {}
        for name, pts in res["curves"].items():
            q, p = best_qps_at(pts)
            f = family(name)
            if q is not None and (f not in fam_best or q > fam_best[f][0]):
                fam_best[f] = (q, name, p["param"])
        default_name = next(n for n in res["curves"] if n.startswith("py_quillmere (defaults"))
        dq, _ = best_qps_at(res["curves"][default_name])
        qm = fam_best.get("py_quillmere")
        ivf = fam_best.get("FAISS IVFFlat")
        hn = fam_best.get("hnswlib")

        def desc(entry):
            return f"{entry[1]}, {entry[2]}" if entry else "does not reach the recall"
        rows.append((metric, f"queries/s at recall@10 >= {RECALL_TARGET}: py_quillmere best / FAISS IVFFlat best",
                     ratio(qm and qm[0], ivf and ivf[0]), 1.0, f"{desc(qm)} vs {desc(ivf)}"))
        rows.append((metric, f"queries/s at recall@10 >= {RECALL_TARGET}: py_quillmere best / hnswlib best",
                     ratio(qm and qm[0], hn and hn[0]), 1.0, f"aim; {desc(hn)}"))
        rows.append((metric, f"queries/s at recall@10 >= {RECALL_TARGET}: py_quillmere defaults / FAISS IVFFlat best",
                     ratio(dq, ivf and ivf[0]), None, ""))
        sysm = res["systems"]
        qm_default = sysm[default_name]["insert_per_s"]
        ivf_rates = {n: s["insert_per_s"] for n, s in sysm.items() if n.startswith("FAISS IVFFlat")}
        fastest_ivf = max(ivf_rates, key=ivf_rates.get)
        hn_rate = next(s["insert_per_s"] for n, s in sysm.items() if n.startswith("hnswlib"))
        rows.append((metric, "inserts/s, one per call: py_quillmere defaults / fastest FAISS IVFFlat add_with_ids",
                     ratio(qm_default, ivf_rates[fastest_ivf]), 4.0, fastest_ivf))
        rows.append((metric, "inserts/s, one per call: py_quillmere defaults / hnswlib add_items",
                     ratio(qm_default, hn_rate), 4.0, ""))
    if memory:
        for key, m in memory.items():
            if key.startswith("py_quillmere") and m:
                rows.append(("dot", f"resident bytes per record / raw 3,140 bytes: {key}",
                             m["bytes_per_record"] / RAW_BYTES, -1.2, ""))
    return rows


def write_report(results, memory, args, elapsed, out_dir, png_name):
    lines = []
    add = lines.append
    add("# Fashion-MNIST: py_quillmere beside FAISS and hnswlib")
    add("")
    add(f"Generated by `make bench` (`bench/compare.py{' --quick' if args.quick else ''}`) in {elapsed / 60:.1f} min "
        f"on {os.cpu_count()} cores. {args.n_base:,} base records of 784 values, {args.n_queries:,} of the test images "
        f"as queries, k = {K}. All systems ran in one process, one after another; memory was measured in a fresh "
        "process per system. Load average (1 min) when the run began: "
        f"{args.load_before[0]:.1f}, when it ended: {args.load_after[0]:.1f}; other work on the machine moves "
        "queries per second of every system, most for those that use several threads.")
    add("")
    add("- **dot**: rows scaled to unit length, inner product everywhere (FAISS `METRIC_INNER_PRODUCT`, hnswlib `ip`).")
    add("- **l2**: pixels scaled to [0, 1], squared Euclidean distance everywhere.")
    add("- One query per call and one record per call for every system. py_quillmere's exact scan uses all cores; "
        f"FAISS ran with {args.threads_faiss} OpenMP thread(s) (a single query is served by one thread anyway, and the "
        "fork/join of more threads only costs time); hnswlib uses one thread per call.")
    add("- Recall@10: a returned id counts when its exact distance is no worse than the tenth true neighbour's "
        "(Fashion-MNIST holds duplicate images).")
    add("")
    add("## Headline ratios (same run)")
    add("")
    add("| metric | ratio | measured | target | met | detail |")
    add("|---|---|---:|---:|:---:|---|")
    for metric, what, r, target, detail in headline(results, memory):
        if target is None:
            tgt, met = "-", ""
        elif target < 0:
            tgt, met = f"<= {-target:g}", ("yes" if r is not None and r <= -target else "no")
        else:
            tgt, met = f">= {target:g}", ("yes" if r is not None and r >= target else "no")
        add(f"| {metric} | {what} | {fmt(r, 2)} | {tgt} | {met} | {detail} |")
    add("")
    add(f"![recall@10 against queries per second]({png_name})")
    add("")
    for metric, res in results.items():
        add(f"## {metric}: search")
        add("")
        add(f"Best queries/s at recall@10 >= {RECALL_TARGET} per system, then every setting measured.")
        add("")
        add("| system | best setting | recall@10 | queries/s |")
        add("|---|---|---:|---:|")
        for name, pts in res["curves"].items():
            q, p = best_qps_at(pts)
            if p:
                add(f"| {name} | {p['param']} | {p['recall']:.3f} | {fmt(q)} |")
            else:
                top = max(pts, key=lambda p: p["recall"])
                add(f"| {name} | not reached (best {top['param']}) | {top['recall']:.3f} | {fmt(top['qps'])} |")
        add("")
        add("<details><summary>every setting</summary>")
        add("")
        add("| system | setting | recall@10 | queries/s |")
        add("|---|---|---:|---:|")
        for name, pts in res["curves"].items():
            for p in pts:
                add(f"| {name} | {p['param']} | {p['recall']:.3f} | {fmt(p['qps'])} |")
        add("")
        add("</details>")
        add("")
        add(f"## {metric}: updates and persistence")
        add("")
        add(f"Inserts and deletes one per call; {len(delete_ids(args.n_base, args.n_deletes)):,} random ids deleted "
            "(py_quillmere `delete`, FAISS `remove_ids` with one id, hnswlib `mark_deleted`). Dump and load: "
            "py_quillmere `dump` / `from_disk().build()`, FAISS `write_index` / `read_index`, hnswlib `save_index` / "
            "`load_index`.")
        add("")
        add("| system | inserts/s | deletes/s | dump s | load s | dump MiB | notes |")
        add("|---|---:|---:|---:|---:|---:|---|")
        for name, s in res["systems"].items():
            notes = []
            if "train_s" in s:
                notes.append(f"training {s['train_s']:.1f} s before the adds")
            if "levels" in s:
                notes.append(f"{s['levels']} levels, {s['buckets']} buckets")
            add(f"| {name} | {fmt(s['insert_per_s'])} | {fmt(s['delete_per_s'])} | {s['dump_s']:.2f} | "
                f"{s['load_s']:.2f} | {s['dump_bytes'] / 2**20:.1f} | {'; '.join(notes)} |")
        add("")
    if memory:
        add("## Resident memory per record (dot)")
        add("")
        add(f"VmRSS growth while building the index from {args.n_base:,} records in a fresh process (after importing "
            f"the library and loading the data), divided by the record count; raw = {RAW_BYTES:,} bytes (784 f32 "
            "values and a u32 id). FAISS IVFFlat: training included, one row per add; hnswlib: one batch add (the "
            "graph is preallocated, so how rows arrive does not change its size).")
        add("")
        add("| system | bytes/record | x raw | py_quillmere's own estimate (memory_usage) |")
        add("|---|---:|---:|---:|")
        for name, m in memory.items():
            if m is None:
                add(f"| {name} | failed | | |")
                continue
            est = f"{m['estimate'] / args.n_base:,.0f} bytes/record" if "estimate" in m else ""
            add(f"| {name} | {m['bytes_per_record']:,.0f} | {m['bytes_per_record'] / RAW_BYTES:.2f} | {est} |")
        add("")
    (out_dir / "fashion-mnist.md").write_text("\n".join(lines))


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    metrics = list(results)
    fig, axes = plt.subplots(1, len(metrics), figsize=(8 * len(metrics), 6.5), squeeze=False)
    palettes = {"py_quillmere": ["#d62728", "#ff7f0e", "#8c564b", "#e377c2"],
                "FAISS IVFFlat": ["#1f77b4", "#17becf", "#9467bd"],
                "hnswlib": ["#2ca02c"], "FAISS IndexFlat": ["#000000"]}
    styles = {"py_quillmere": ("-", "o", 2.2), "FAISS IVFFlat": ("--", "s", 1.4), "hnswlib": ("-.", "^", 1.6),
              "FAISS IndexFlat": ("none", "*", 1.0)}
    for ax, metric in zip(axes[0], metrics):
        used = {}
        for name, pts in results[metric]["curves"].items():
            fam = family(name)
            colours = palettes.get(fam, ["#7f7f7f"])
            colour = colours[used.get(fam, 0) % len(colours)]
            used[fam] = used.get(fam, 0) + 1
            ls, marker, lw = styles.get(fam, ("-", ".", 1.0))
            ax.plot([p["recall"] for p in pts], [p["qps"] for p in pts], linestyle=ls, marker=marker, color=colour,
                    markersize=12 if marker == "*" else 4.5, linewidth=lw, label=name)
        title = "unit rows, inner product" if metric == "dot" else "pixels in [0, 1], squared L2"
        recall_qps_axes(ax, f"Fashion-MNIST, {results[metric]['n_base']:,} x 784, {metric}: {title}", 7.5)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---------------------------------------------------------------- main

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smoke run: 10,000 records, 200 queries, few settings")
    parser.add_argument("--out", help="output directory")
    parser.add_argument("--threads-faiss", type=int, default=1, help="OpenMP threads for FAISS adds and searches")
    parser.add_argument("--metrics", default="dot,l2")
    parser.add_argument("--no-memory", action="store_true")
    parser.add_argument("--parts", default="fashion,latency,tuning,scale,busy",
                        help="which parts to run (default: all): fashion, latency, tuning, scale, busy")
    parser.add_argument("--baseline", help="directory of an earlier build's py_quillmere module, timed beside this "
                        "build in the latency and busy parts")
    parser.add_argument("--bench-bin", default=str(ROOT / "build" / "bench"),
                        help="directory of the C++ benches (search_bench), default build/bench")
    parser.add_argument("--memory-child", nargs=4, metavar=("SYSTEM", "METRIC", "ARG", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--latency-child", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--tuning-child", help=argparse.SUPPRESS)
    parser.add_argument("--scale-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.memory_child:
        system, metric, arg, n = args.memory_child
        memory_child(system, metric, arg, int(n))
        return
    if args.latency_child:
        module_dir, dump, budget = args.latency_child
        latency.child(module_dir, dump, int(budget))
        return
    if args.tuning_child:
        tuning.child(json.loads(args.tuning_child), load_data)
        return
    if args.scale_child:
        system, n, tmp = args.scale_child
        scale.child(system, int(n), tmp)
        return
    parts = set(args.parts.split(","))
    unknown = parts - {"fashion", "latency", "tuning", "scale", "busy"}
    if unknown:
        raise SystemExit(f"unknown parts: {', '.join(sorted(unknown))}")

    if parts & {"fashion", "latency", "tuning"} and not (DATA_DIR / "train-images-idx3-ubyte.gz").is_file():
        raise SystemExit(f"Fashion-MNIST not found in {DATA_DIR} (Debian package dataset-fashion-mnist)")
    if args.quick:
        args.n_base, args.n_queries, args.n_deletes, args.flat_queries = 10_000, 200, 1_000, 100
        args.qm_configs = [QM_CONFIGS[0], QM_CONFIGS[-1]]
        args.qm_budgets = [500, 2000, 5000]
        args.nlists, args.nprobes, args.efs = [81], [1, 4, 16], [16, 64]
        out_dir = pathlib.Path(args.out or ROOT / "build" / "bench-quick")
    else:
        args.n_base, args.n_queries, args.n_deletes, args.flat_queries = 60_000, 1_000, 10_000, 200
        args.qm_configs, args.qm_budgets = QM_CONFIGS, QM_BUDGETS
        args.nlists, args.nprobes, args.efs = IVF_NLISTS, NPROBES, HNSW_EFS
        out_dir = pathlib.Path(args.out or ROOT / "bench" / "results")
    out_dir.mkdir(parents=True, exist_ok=True)

    import faiss
    import hnswlib  # noqa: F401
    import py_quillmere as pq
    say(f"compare: py_quillmere {pq.__version__}, FAISS {faiss.__version__}, hnswlib; "
        f"{'quick' if args.quick else 'full'} run on {os.cpu_count()} cores")

    started = time.perf_counter()
    args.load_before = os.getloadavg()
    with tempfile.TemporaryDirectory(prefix="qm-bench-") as tmp:
        if "fashion" in parts:
            run_fashion(args, out_dir, tmp)
        search_lines, search_json = [], {}
        if "latency" in parts:
            base, queries = load_data(args.n_base, args.n_queries, "l2")
            module_dir = str(pathlib.Path(pq.__file__).resolve().parent)
            search_json["latency"] = latency.run(base, queries, tmp, module_dir, args.baseline, args.bench_bin,
                                                 args.quick)
            search_lines += latency.report(search_json["latency"])
            del base, queries
        if "tuning" in parts:
            search_json["tuning"] = tuning.run(args)
            search_lines += tuning.report(search_json["tuning"])
        if search_lines:
            head = ["# Search: latency before and after, and the tuning sweep (Fashion-MNIST)", "",
                    f"Generated by `make bench` (`bench/compare.py{' --quick' if args.quick else ''}`) on "
                    f"{os.cpu_count()} cores.", ""]
            (out_dir / "search.md").write_text("\n".join(head + search_lines))
            (out_dir / "search.json").write_text(json.dumps(search_json, indent=1))
            print((out_dir / "search.md").read_text())
        if "scale" in parts:
            res = scale.run(args, tmp)
            scale.plot(res, out_dir / "scale-recall-qps.png")
            head = ["# py_quillmere beside FAISS and hnswlib at scale", "",
                    f"Generated by `make bench` (`bench/compare.py{' --quick' if args.quick else ''}`) on "
                    f"{os.cpu_count()} cores.", "", "![recall@10 against queries per second](scale-recall-qps.png)", ""]
            (out_dir / "scale.md").write_text("\n".join(head + scale.report(res)))
            (out_dir / "scale.json").write_text(json.dumps(res, indent=1))
            print((out_dir / "scale.md").read_text())
        if "busy" in parts:
            module_dir = str(pathlib.Path(pq.__file__).resolve().parent)
            res = busy.run(module_dir, args.baseline, args.quick)
            command = "make bench-quick" if args.quick else "make bench"
            (out_dir / "busy.md").write_text("\n".join(busy.report(res, command)))
            (out_dir / "busy.json").write_text(json.dumps(res, indent=1))
            print((out_dir / "busy.md").read_text())
    say(f"done in {(time.perf_counter() - started) / 60:.1f} min; reports in {out_dir}")


def run_fashion(args, out_dir, tmp):
    started = time.perf_counter()
    results = {}
    for metric in args.metrics.split(","):
        run_metric(metric, args, results, tmp)

    memory = {}
    if not args.no_memory:
        say("[memory] fresh process per system, dot")
        for label, settings in args.qm_configs:
            memory[f"py_quillmere ({label})"] = measure_memory("qm", "dot", json.dumps(settings), args.n_base)
        for nlist in args.nlists:
            memory[f"FAISS IVFFlat nlist={nlist}"] = measure_memory("ivf", "dot", nlist, args.n_base)
        memory[f"hnswlib M={HNSW_M}"] = measure_memory("hnsw", "dot", 0, args.n_base)

    elapsed = time.perf_counter() - started
    args.load_after = os.getloadavg()
    png = "fashion-mnist-recall-qps.png"
    plot(results, out_dir / png)
    write_report(results, memory, args, elapsed, out_dir, png)
    (out_dir / "fashion-mnist.json").write_text(json.dumps({"results": results, "memory": memory}, indent=1))
    say(f"Fashion-MNIST part done in {elapsed / 60:.1f} min: {out_dir / 'fashion-mnist.md'}, {out_dir / png}")
    print((out_dir / "fashion-mnist.md").read_text())


if __name__ == "__main__":
    main()
