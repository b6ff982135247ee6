"""Single-query latency at the tuned setting, and where it goes.

One tuned l2 index over Fashion-MNIST is built and dumped; fresh processes load it and time 1,000
single queries at n_candidates 5,000, this build and (with --baseline) an earlier build taken in
turn, five times. bench/search_bench then splits a search's time on the same dump and sets the
exact scan beside a parallel read of the same bytes, with the buckets flushed from the caches and
cached.
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

from common import K, TUNED, load_average, qm_build, quiet_stdout, say

BUDGET = 5000
CYCLES = 5


def child(module_dir, dump, budget):
    """Runs in a fresh interpreter with only `module_dir` on the path: times single queries."""
    sys.path.insert(0, module_dir)
    import py_quillmere as pq
    queries = np.load(dump + ".queries.npy")
    with quiet_stdout():
        index = pq.QuillmereBuilder.from_disk(dump).build()
    for q in queries[:100]:
        index.search(q, K, n_candidates=budget)
    times = []
    for q in queries:
        started = time.perf_counter()
        index.search(q, K, n_candidates=budget)
        times.append(time.perf_counter() - started)
    print(json.dumps({"median_us": 1e6 * float(np.median(times)), "mean_us": 1e6 * float(np.mean(times)),
                      "qps": len(times) / sum(times), "load": load_average()}))


def time_module(module_dir, dump, budget):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).with_name("compare.py")), "--latency-child",
                           module_dir, dump, str(budget)], capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"latency child for {module_dir} failed: {proc.stderr.strip()[-800:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run(base, queries, tmp, module_dir, baseline_dir, bench_bin, quick):
    say("[latency] tuned l2 index, single queries at n_candidates 5,000")
    index, _ = qm_build(base, "l2", TUNED, label="insert (tuned)")
    dump = os.path.join(tmp, "latency-tuned")
    with quiet_stdout():
        index.dump(dump)
    del index
    np.save(dump + ".queries.npy", queries)
    queries.astype(np.float32).tofile(dump + ".queries.f32")

    out = {"budget": BUDGET, "load_before": load_average(), "current": [], "baseline": []}
    for cycle in range(1 if quick else CYCLES):
        for which, where in (("baseline", baseline_dir), ("current", module_dir)):
            if where is None:
                continue
            r = time_module(where, dump, BUDGET)
            out[which].append(r)
            say(f"    {which:<8} median {r['median_us']:7.1f} us, mean {r['mean_us']:7.1f} us, "
                f"{r['qps']:6.0f} queries/s (load {r['load']:.1f})")
    for which in ("current", "baseline"):
        runs = out[which]
        out[which + "_median_us"] = statistics.median(r["median_us"] for r in runs) if runs else None
        out[which + "_qps"] = statistics.median(r["qps"] for r in runs) if runs else None

    tool = pathlib.Path(bench_bin) / "search_bench"
    if tool.is_file():
        proc = subprocess.run([str(tool), dump, dump + ".queries.f32", str(BUDGET), "1" if quick else "3"],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            raise SystemExit(f"search_bench failed: {proc.stderr.strip()[-800:]}")
        out["search_bench"] = json.loads(proc.stdout.strip().splitlines()[-1])
        sb = out["search_bench"]
        say(f"    search_bench: scan at {sb['flushed']['scan_vs_read']:.2f}x the read flushed, "
            f"{sb['cached']['scan_vs_read']:.2f}x cached")
    else:
        say(f"    {tool} not found: no scan-against-read figures (build the benches first)")
    out["load_after"] = load_average()
    return out


def report(res):
    lines = ["## Single-query latency at the tuned setting", ""]
    add = lines.append
    add(f"The tuned l2 index (buckets and buffer of 5,000, batches of 32, sample of 3,000) over the 60,000 "
        f"images, dumped once and loaded by fresh processes; 1,000 single queries at n_candidates "
        f"{res['budget']:,} after 100 to warm up, medians over {len(res['current'])} turn(s). Load average "
        f"{res['load_before']:.1f} before, {res['load_after']:.1f} after.")
    add("")
    add("| build | median us per query | queries/s | runs (median us) |")
    add("|---|---:|---:|---|")
    for which, label in (("baseline", "before (the earlier build given with --baseline)"), ("current", "this build")):
        runs = res[which]
        if not runs:
            continue
        each = ", ".join(f"{r['median_us']:.0f}" for r in runs)
        add(f"| {label} | {res[which + '_median_us']:.0f} | {res[which + '_qps']:,.0f} | {each} |")
    if res["baseline"]:
        add("")
        add(f"This build answers a single query **{res['baseline_median_us'] / res['current_median_us']:.2f}x** as fast "
            "as the earlier one (median against median).")
    sb = res.get("search_bench")
    if sb:
        add("")
        add(f"`bench/search_bench` on the same dump ({sb['queries']:,} queries, {sb['visited_records']:,.0f} records "
            f"visited per query, load average {sb['load_before']:.1f} to {sb['load_after']:.1f}):")
        add("")
        add("| | us per query | scan / read rate |")
        add("|---|---:|---:|")
        for gap, v in sb["latency_us"].items():
            add(f"| search, {float(gap):.0f} us idle between queries (median) | {v['median']:.0f} | |")
        add(f"| bucket_selection (mean) | {sb['bucket_selection_us']:.1f} | |")
        add(f"| records2visit (mean) | {sb['records2visit_us']:.1f} | |")
        for key, label in (("flushed", "buckets flushed from the caches"), ("cached", "buckets cached")):
            f = sb[key]
            add(f"| exact scan, {label} (mean) / parallel read of the same bytes | {f['scan_us']:.0f} / "
                f"{f['read_us']:.0f} | **{f['scan_vs_read']:.2f}** |")
    add("")
    return lines
