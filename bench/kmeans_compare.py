#!/usr/bin/python3
"""k-means training time: our library (through the kmeans_bench executable) beside FAISS.

10,000 rows of 784 values (Fashion-MNIST training images, or generated data when the data set
is missing) into 243 clusters, 10 iterations, all cores, both timed in this run.

Usage: bench/kmeans_compare.py [--build DIR] [--rows N] [--k K] [--iters I] [--repeats R]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from fashion_mnist import load_rows


def time_ours(exe, path, data, k, iters, repeats, mode):
    out = subprocess.run([exe, path, str(data.shape[0]), str(data.shape[1]), str(k), str(iters), str(repeats), mode],
                         check=True, capture_output=True, text=True).stdout
    return [float(line.split("=")[1]) for line in out.splitlines() if line.startswith("seconds=")]


def time_faiss(data, k, iters, repeats, spherical):
    import faiss
    times = []
    for r in range(repeats + 1):
        km = faiss.Kmeans(data.shape[1], k, niter=iters, verbose=False, spherical=spherical, seed=1234 + r)
        start = time.perf_counter()
        km.train(data)
        elapsed = time.perf_counter() - start
        if r > 0:  # the first run warms up the thread pool
            times.append(elapsed)
    return times


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(here), "build"))
    parser.add_argument("--rows", type=int, default=10000)
    parser.add_argument("--k", type=int, default=243)
    parser.add_argument("--iters", type=int, default=10)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    exe = os.path.join(args.build, "bench", "kmeans_bench")
    if not os.path.exists(exe):
        sys.exit(f"{exe} is missing: build the kmeans_bench target first")
    data, source = load_rows(args.rows)
    data = np.ascontiguousarray(data)
    print(f"data: {source}, {data.shape[0]} rows x {data.shape[1]}, k={args.k}, iterations={args.iters}, "
          f"cores={os.cpu_count()}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.f32")
        data.tofile(path)
        for mode, spherical in (("l2", False), ("dot", True)):
            ours = time_ours(exe, path, data, args.k, args.iters, args.repeats, mode)
            theirs = time_faiss(data, args.k, args.iters, args.repeats, spherical)
            a, b = statistics.median(ours), statistics.median(theirs)
            peer = "faiss.Kmeans" + (" (spherical)" if spherical else "")
            print(f"{mode:>3}: quillmere {a * 1e3:8.1f} ms   {peer} {b * 1e3:8.1f} ms   "
                  f"ratio quillmere/faiss = {a / b:.2f}")


if __name__ == "__main__":
    main()
