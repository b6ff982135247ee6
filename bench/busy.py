"""Inserts and searches on a quiet machine and beside one CPU-bound process per core.

At the tuned setting, random records of 784 values in [0, 1) are inserted one per call, then single
queries are answered at n_candidates 5,000. Every run is a fresh process, timed and charged with its
own user and system CPU seconds for each phase (getrusage of the whole process, every thread of it,
around the phase). The searches of every run of a turn go to one index, built and saved at the start
of the turn and loaded by each run after its inserts: the buckets a build trains differ from run to
run, and with them how many records a search visits (one build's quiet search rate moved by a
factor of two between runs over indexes of its own, and by under a tenth over one saved index), so
the builds of a turn are compared on the same buckets and the turns take several. The busy runs
start one spinning process per core first and end them after. This build, this build held to one
core (its pool then has no workers: the scan runs on the calling thread alone) and, with
--baseline, an earlier build are taken in turn; the medians of the turns are reported.
"""
import contextlib
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import K, TUNED, load_average, quiet_stdout, say

DIM = 784
BUDGET = 5000
FULL = {"records": 30_000, "queries": 1000, "turns": 7}
QUICK = {"records": 10_000, "queries": 100, "turns": 1}
# What the runs must show (busy/quiet rates, quiet insert system/user CPU).
MIN_BUSY_INSERTS, MIN_BUSY_SEARCHES, MAX_QUIET_SYSTEM_SHARE = 0.4, 0.3, 0.5
# A spinner that the kernel ends with the benchmark (PR_SET_PDEATHSIG, SIGKILL), so that a
# benchmark stopped by a signal that skips its clean-up leaves no core spinning for good.
HOG = ("import ctypes, os, signal, sys\n"
       "ctypes.CDLL(None).prctl(1, signal.SIGKILL)\n"
       "if os.getppid() != int(sys.argv[1]):\n"
       "    sys.exit()\n"
       "while True:\n"
       "    pass\n")


def child(job):
    """Runs in a fresh interpreter with only the module's directory on the path."""
    if job.get("one_core"):
        # The pool takes as many threads as the cores the process may use: one, the caller.
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    sys.path.insert(0, job["module"])
    import py_quillmere as pq
    rng = np.random.default_rng(27)
    records = rng.random((job["records"], DIM), dtype=np.float32)
    queries = rng.random((job["queries"], DIM), dtype=np.float32)
    builder = pq.QuillmereBuilder().input_shape(DIM)
    for name, value in TUNED.items():
        builder = getattr(builder, name)(value)
    index = builder.build()

    def inserts():
        for i in range(len(records)):
            index.insert(records[i], i)

    if "dump_to" in job:
        # The index every run of the turn searches.
        inserts()
        with quiet_stdout():
            index.dump(job["dump_to"])
        return
    out = {"load": load_average()}

    def phase(name, count, body):
        before, started = resource.getrusage(resource.RUSAGE_SELF), time.perf_counter()
        body()
        seconds = time.perf_counter() - started
        after = resource.getrusage(resource.RUSAGE_SELF)
        out[name] = {"per_s": count / seconds, "user_s": after.ru_utime - before.ru_utime,
                     "system_s": after.ru_stime - before.ru_stime}

    def searches():
        for q in queries:
            index.search(q, K, n_candidates=BUDGET)

    phase("insert", len(records), inserts)
    del index
    with quiet_stdout():
        index = pq.QuillmereBuilder.from_disk(job["index"]).build()
    phase("search", len(queries), searches)
    print(json.dumps(out))


def run_child(module_dir, sizes, one_core, index_dir, dump=False):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    job = {"module": module_dir, "records": sizes["records"], "queries": sizes["queries"], "one_core": one_core,
           ("dump_to" if dump else "index"): index_dir}
    proc = subprocess.run([sys.executable, str(pathlib.Path(__file__).resolve()), "--child", json.dumps(job)],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        raise SystemExit(f"busy child for {module_dir} failed: {proc.stderr.strip()[-800:]}")
    return None if dump else json.loads(proc.stdout.strip().splitlines()[-1])


class Hogs:
    """One spinning process per core for the life of the block."""

    def __enter__(self):
        self.procs = [subprocess.Popen([sys.executable, "-c", HOG, str(os.getpid())])
                      for _ in range(os.cpu_count() or 1)]
        time.sleep(0.5)
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            p.kill()
        for p in self.procs:
            p.wait()


def run(module_dir, baseline_dir, quick):
    sizes = QUICK if quick else FULL
    # (name, module, one core only): the last scans on the calling thread alone.
    builds = [(name, where, one) for name, where, one in (("baseline", baseline_dir, False),
                                                         ("current", module_dir, False),
                                                         ("alone", module_dir, True)) if where]
    say(f"[busy] {sizes['records']:,} inserts then {sizes['queries']:,} searches at n_candidates {BUDGET:,}, quiet "
        f"and beside {os.cpu_count()} spinning processes, {sizes['turns']} turn(s)")
    out = {"records": sizes["records"], "queries": sizes["queries"], "budget": BUDGET, "cores": os.cpu_count(),
           "load_before": os.getloadavg(), "runs": {f"{b}/{m}": [] for b, _, _ in builds for m in ("quiet", "busy")}}
    with tempfile.TemporaryDirectory(prefix="quillmere-busy-") as scratch:
        take_turns(builds, module_dir, sizes, scratch, out)
    out["load_after"] = os.getloadavg()
    out["median"] = {key: {phase: {what: statistics.median(r[phase][what] for r in runs)
                                   for what in ("per_s", "user_s", "system_s")}
                           for phase in ("insert", "search")}
                     for key, runs in out["runs"].items()}
    return out


def take_turns(builds, module_dir, sizes, scratch, out):
    for turn in range(sizes["turns"]):
        # A fresh index a turn, the same for every run of the turn.
        index_dir = os.path.join(scratch, f"index-{turn}")  # made by the dump itself
        run_child(module_dir, sizes, False, index_dir, dump=True)
        for mode in ("quiet", "busy"):
            with Hogs() if mode == "busy" else contextlib.nullcontext():
                # Every other turn in the reverse order, so that no build always runs first after
                # the spinners of the turn before have ended.
                for name, where, one in (builds if turn % 2 == 0 else builds[::-1]):
                    r = run_child(where, sizes, one, index_dir)
                    out["runs"][f"{name}/{mode}"].append(r)
                    say(f"    {name:<8} {mode:<5} inserts {r['insert']['per_s']:8.0f}/s "
                        f"(user {r['insert']['user_s']:.2f} s, system {r['insert']['system_s']:.2f} s), "
                        f"searches {r['search']['per_s']:6.0f}/s (user {r['search']['user_s']:.2f} s, "
                        f"system {r['search']['system_s']:.2f} s), load {r['load']:.1f}")


def turn_by_turn(res, top, bottom, phase):
    """The median over the turns of top / bottom: the runs of a turn search the same index, and run
    back to back, so what else the machine does then weighs on both alike."""
    return statistics.median(t[phase]["per_s"] / b[phase]["per_s"]
                             for t, b in zip(res["runs"][top], res["runs"][bottom]))


def checks(res):
    """(what, measured, bound, met) of every figure the runs must show: each ratio of the medians,
    and for searches the same taken turn by turn."""
    m = res["median"]
    cur_q, cur_b = m["current/quiet"], m["current/busy"]
    alone_b = m["alone/busy"]
    same_turn = " in the same turn (median of the turns)"
    rows = [
        ("inserts/s busy / quiet", cur_b["insert"]["per_s"] / cur_q["insert"]["per_s"], MIN_BUSY_INSERTS, True),
        ("searches/s busy / quiet", cur_b["search"]["per_s"] / cur_q["search"]["per_s"], MIN_BUSY_SEARCHES, True),
        ("searches/s busy / quiet" + same_turn, turn_by_turn(res, "current/busy", "current/quiet", "search"),
         MIN_BUSY_SEARCHES, True),
        ("quiet inserts: system / user CPU seconds", cur_q["insert"]["system_s"] / max(cur_q["insert"]["user_s"], 1e-9),
         MAX_QUIET_SYSTEM_SHARE, False),
        ("busy searches/s, this build / the scan on the calling thread alone",
         cur_b["search"]["per_s"] / alone_b["search"]["per_s"], 1.0, True),
        ("busy searches/s, this build / the scan on the calling thread alone" + same_turn,
         turn_by_turn(res, "current/busy", "alone/busy", "search"), 1.0, True),
    ]
    if "baseline/quiet" in m:
        base_q = m["baseline/quiet"]
        rows.append(("quiet inserts/s, this build / baseline", cur_q["insert"]["per_s"] / base_q["insert"]["per_s"],
                     1.0, True))
        rows.append(("quiet searches/s, this build / baseline", cur_q["search"]["per_s"] / base_q["search"]["per_s"],
                     1.0, True))
        rows.append(("quiet searches/s, this build / baseline" + same_turn,
                     turn_by_turn(res, "current/quiet", "baseline/quiet", "search"), 1.0, True))
        base_b = m["baseline/busy"]
        rows.append(("busy inserts/s, this build / baseline", cur_b["insert"]["per_s"] / base_b["insert"]["per_s"],
                     None, True))
        rows.append(("busy searches/s, this build / baseline", cur_b["search"]["per_s"] / base_b["search"]["per_s"],
                     None, True))
    return rows


def met(value, bound, at_least):
    if bound is None:
        return None
    return value >= bound if at_least else value <= bound


def report(res, command):
    lines = ["# Beside other work: inserts and searches on a quiet and on a busy machine", ""]
    add = lines.append
    add(f"Generated by `{command}` on {res['cores']} cores. {res['records']:,} random records of {DIM} values in "
        f"[0, 1) inserted one per call at the tuned setting (buckets and buffer of 5,000, batches of 32, sample of "
        f"3,000, inner product), then {res['queries']:,} single searches at n_candidates {res['budget']:,}, every run of a turn searching one index that this "
        "build made and saved at the start of the turn (a build's own buckets, trained anew in each run, "
        "change how many records a search visits). Each run is a fresh process; CPU seconds are its own (every thread) during the phase. Busy: one spinning process "
        f"per core beside it. Medians of {len(next(iter(res['runs'].values())))} turn(s). Load average (1, 5, 15 "
        f"min) before: {', '.join(f'{x:.1f}' for x in res['load_before'])}; after: "
        f"{', '.join(f'{x:.1f}' for x in res['load_after'])} (the busy turns add {res['cores']}).")
    add("")
    add("| build | machine | inserts/s | CPU during the inserts (user / system) | searches/s | "
        "CPU during the searches (user / system) |")
    add("|---|---|---:|---|---:|---|")
    labels = {"baseline": "before (--baseline)", "current": "this build",
              "alone": "this build on one core (the scan on the calling thread alone)"}
    for key, med in res["median"].items():
        build, mode = key.split("/")
        i, s = med["insert"], med["search"]
        add(f"| {labels[build]} | {mode} | {i['per_s']:,.0f} | {i['user_s']:.2f} s / {i['system_s']:.2f} s | "
            f"{s['per_s']:,.0f} | {s['user_s']:.2f} s / {s['system_s']:.2f} s |")
    add("")
    add("| figure | measured | bound | met |")
    add("|---|---:|---:|:---:|")
    for what, value, bound, at_least in checks(res):
        ok = met(value, bound, at_least)
        shown = "-" if bound is None else f"{'>=' if at_least else '<='} {bound:g}"
        add(f"| {what} | {value:.2f} | {shown} | {'' if ok is None else ('yes' if ok else 'no')} |")
    add("")
    add("<details><summary>every run</summary>")
    add("")
    add("| build | machine | inserts/s | insert CPU user / system | searches/s | search CPU user / system | load |")
    add("|---|---|---:|---|---:|---|---:|")
    for key, runs in res["runs"].items():
        build, mode = key.split("/")
        for r in runs:
            i, s = r["insert"], r["search"]
            add(f"| {labels[build]} | {mode} | {i['per_s']:,.0f} | {i['user_s']:.2f} / {i['system_s']:.2f} | "
                f"{s['per_s']:,.0f} | {s['user_s']:.2f} / {s['system_s']:.2f} | {r['load']:.1f} |")
    add("")
    add("</details>")
    add("")
    return lines


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(json.loads(sys.argv[2]))
    else:
        raise SystemExit("run it through bench/compare.py --parts busy")
