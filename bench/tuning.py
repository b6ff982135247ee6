"""The tuning sweep behind the README's guide: Fashion-MNIST, l2, one setting per fresh process.

For each setting: inserts per second (one per call), levels and the largest bucket's share of the
records, then a sweep of n_candidates giving recall@10 and queries per second, and a second sweep
with the debug log on, which counts the records each search really visits (whole buckets, so at
least the budget). Reported per setting: the records visited per query and the queries per second
at the smallest budget reaching recall 0.95 and 0.99.
"""
import json
import os
import pathlib
import subprocess
import sys
import time

import numpy as np

from common import K, TUNED, Truth, fmt, load_average, qm_build, qm_shape, say, timed_queries

SETTINGS = [
    ("tuned", "arity 3, buckets and buffer 5,000, batch 32, sample 3,000", TUNED, False),
    ("defaults", "arity 3, buckets and buffer 5,000, batch 256, sample 1,000", {}, False),
    ("arity 9, sample 10,000, 10 epochs", "tuned, with arity 9, a sample of 10,000 and 10 epochs",
     {**TUNED, "arity": 9, "train_threshold_samples": 10000, "train_epochs": 10}, False),
    ("arity 9", "tuned, with arity 9", {**TUNED, "arity": 9}, False),
    ("10 epochs", "tuned, with 10 epochs", {**TUNED, "train_epochs": 10}, False),
    ("buckets 10,000", "tuned, with buckets and buffer of 10,000",
     {**TUNED, "bucket_size": 10000, "buffer_size": 10000}, False),
    ("arity 2", "tuned, with arity 2", {**TUNED, "arity": 2}, False),
    ("raw pixels", "tuned, on pixel values 0-255 instead of [0, 1]", TUNED, True),
]
BUDGETS = [1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000, 12000, 15000, 20000, 25000, 30000, 40000, 60000]
QUICK_BUDGETS = [1000, 2000, 4000, 6000, 10000]
TARGETS = (0.95, 0.99)


def child(job, load_data):
    """Runs in a fresh interpreter (log_init is once per process)."""
    import py_quillmere as pq
    base, queries = load_data(job["n_base"], job["n_queries"], "l2")
    if job["raw"]:
        base, queries = base * np.float32(255), queries * np.float32(255)
    truth = Truth(base, queries, "l2")
    index, rate = qm_build(base, "l2", job["settings"], label=f"insert ({job['label'][:24]})")
    out = {"insert_per_s": rate, **qm_shape(index), "points": []}
    for budget in job["budgets"]:
        found, qps = timed_queries(lambda q: index.search(q, K, n_candidates=budget), queries)
        r = truth.recall(found)
        out["points"].append({"budget": budget, "recall": r, "qps": qps})
        say(f"    n_candidates {budget:>6}: recall {r:.3f}, {qps:8.0f} queries/s")
        if r >= 0.995:
            break

    class Visits:
        def __init__(self):
            self.counts = []

        def write(self, line):
            if "index:records2visit" in line:
                self.counts.append(json.loads(line)["visited_records"])

    visits = Visits()
    pq.log_init(visits, "debug")
    for point in out["points"]:
        before = len(visits.counts)
        for q in queries:
            index.search(q, K, n_candidates=point["budget"])
        deadline = time.time() + 10
        while len(visits.counts) < before + len(queries) and time.time() < deadline:
            time.sleep(0.01)
        seen = visits.counts[before:before + len(queries)]
        point["visited"] = float(np.mean(seen)) if seen else None
    print(json.dumps(out))


def run(args):
    say("[tuning] Fashion-MNIST l2, one setting per process")
    budgets = QUICK_BUDGETS if args.quick else BUDGETS
    results = {"n_base": args.n_base, "n_queries": args.n_queries, "load_before": load_average(), "settings": []}
    for name, what, settings, raw in SETTINGS[:3] if args.quick else SETTINGS:
        say(f"  {name}: {what}")
        job = {"label": name, "settings": settings, "raw": raw, "n_base": args.n_base,
                "n_queries": args.n_queries, "budgets": budgets}
        proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).with_name("compare.py")), "--tuning-child",
                               json.dumps(job)], stdout=subprocess.PIPE, text=True, env=os.environ.copy())
        if proc.returncode != 0:
            raise SystemExit(f"tuning child {name} failed")
        res = json.loads(proc.stdout.strip().splitlines()[-1])
        res.update({"name": name, "what": what})
        results["settings"].append(res)
    results["load_after"] = load_average()
    return results


def at_target(points, target):
    for p in points:
        if p["recall"] >= target:
            return p
    return None


def report(res):
    lines = ["## Tuning: what each setting costs and buys (l2)", ""]
    add = lines.append
    add(f"{res['n_base']:,} images with pixels in [0, 1] (except the raw row), {res['n_queries']:,} queries, one "
        "fresh process per setting. Records visited: the mean per query at the smallest n_candidates reaching the "
        "recall (searches visit whole buckets, so this is at least the budget). Load average "
        f"{res['load_before']:.1f} before, {res['load_after']:.1f} after.")
    add("")
    add("| setting | inserts/s | levels | largest bucket | visited at 0.95 | queries/s at 0.95 | visited at 0.99 "
        "| queries/s at 0.99 |")
    add("|---|---:|---:|---:|---:|---:|---:|---:|")
    tuned = res["settings"][0]
    for s in res["settings"]:
        cells = []
        for target in TARGETS:
            p = at_target(s["points"], target)
            cells += [fmt(p and p["visited"]), fmt(p and p["qps"])] if p else ["not reached", "-"]
        add(f"| {s['name']} ({s['what']}) | {fmt(s['insert_per_s'])} | {s['levels']} | "
            f"{100 * s['largest_bucket_share']:.0f}% | {' | '.join(cells)} |")
    add("")
    t95 = at_target(tuned["points"], 0.95)
    if t95:
        add("Against the tuned setting at recall 0.95:")
        add("")
        for s in res["settings"][1:]:
            p = at_target(s["points"], 0.95)
            if p is None:
                add(f"- {s['name']}: does not reach 0.95; inserts at {s['insert_per_s'] / tuned['insert_per_s']:.2f}x.")
                continue
            add(f"- {s['name']}: visits {100 * (p['visited'] / t95['visited'] - 1):+.0f}% records, "
                f"{100 * (p['qps'] / t95['qps'] - 1):+.0f}% queries/s, inserts at "
                f"{s['insert_per_s'] / tuned['insert_per_s']:.2f}x.")
        add("")
    return lines
