#!/usr/bin/python3
"""The level classifier: our library (through the bench_model executable) beside the same work
in python3-torch, both timed in this run.

Work: a level of 243 buckets over 60,000 rows of 784 values (Fashion-MNIST training images, or
generated data when the data set is missing), hidden layer linear(128) + relu, default training
parameters (sample of max(1000, 40 x buckets) rows, k-means labels with 10 iterations, 3 epochs
of Adam over full batches of 256): training it, placing every row by arg-max, and ranking all
buckets for one query (softmax, pairs sorted by probability). The Python peer labels its sample
with FAISS k-means (spherical, the inner-product mode) and returns the ranking as a list of
(bucket, probability) pairs, as our ranking does.

Usage: bench/model_compare.py [--build DIR] [--rows N] [--buckets B] [--hidden H] [--threads T]
                              [--repeats R] [--queries Q]
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


def time_ours(exe, path, data, args):
    out = subprocess.run([exe, path, str(data.shape[0]), str(data.shape[1]), str(args.buckets), str(args.hidden),
                          str(args.threads), str(args.repeats), str(args.queries)],
                         check=True, capture_output=True, text=True).stdout
    results = {}
    for line in out.splitlines():
        if "=" in line:
            key, value = line.split("=", 1)
            results.setdefault(key, []).append(float(value))
    return results


def time_python(data, args):
    import faiss
    import torch
    from torch import nn
    import torch.nn.functional as F

    if args.threads > 0:
        torch.set_num_threads(args.threads)
    rows, dims = data.shape
    sample_size = min(max(1000, 40 * args.buckets), rows)
    queries = data[:args.queries]
    results = {}

    def record(key, value):
        results.setdefault(key, []).append(value)

    for r in range(args.repeats + 1):
        start = time.perf_counter()
        idx = np.random.default_rng(r).choice(rows, size=sample_size, replace=False)
        sample = np.ascontiguousarray(data[idx])
        km = faiss.Kmeans(dims, args.buckets, niter=10, verbose=False, spherical=True, seed=1234 + r)
        km.train(sample)
        _, assign = km.index.search(sample, 1)
        labels_s = time.perf_counter() - start

        net = nn.Sequential(nn.Linear(dims, args.hidden), nn.ReLU(), nn.Linear(args.hidden, args.buckets))
        with torch.no_grad():
            for layer in (net[0], net[2]):
                fan_in = layer.weight.shape[1]
                layer.weight.uniform_(-(6.0 / fan_in) ** 0.5, (6.0 / fan_in) ** 0.5)
                layer.bias.uniform_(-fan_in ** -0.5, fan_in ** -0.5)
        fit_start = time.perf_counter()
        xs = torch.from_numpy(sample)
        ys = torch.from_numpy(assign.reshape(-1).astype(np.int64))
        opt = torch.optim.Adam(net.parameters(), lr=1e-3, betas=(0.9, 0.999), eps=1e-8, weight_decay=0,
                               amsgrad=False)
        batch = 256
        for _ in range(3):
            perm = torch.randperm(xs.shape[0])
            xsh, ysh = xs[perm], ys[perm]
            for b in range(xs.shape[0] // batch):
                logits = net(xsh[b * batch:(b + 1) * batch])
                loss = F.nll_loss(F.log_softmax(logits, dim=-1), ysh[b * batch:(b + 1) * batch])
                opt.zero_grad()
                loss.backward()
                opt.step()
        end = time.perf_counter()
        train_s = end - start
        fit_s = end - fit_start

        start = time.perf_counter()
        with torch.inference_mode():
            placed = net(torch.from_numpy(data)).argmax(1).numpy().astype(np.uint64)
        place_s = time.perf_counter() - start

        with torch.inference_mode():
            start = time.perf_counter()
            for q in queries:
                p = torch.softmax(net(torch.from_numpy(q)), dim=-1)
                values, order = torch.sort(p, descending=True, stable=True)
                ranked = list(zip(order.tolist(), values.tolist()))
            predict_us = (time.perf_counter() - start) * 1e6 / len(queries)

            w0, b0, w1, b1 = net[0].weight, net[0].bias, net[2].weight, net[2].bias
            start = time.perf_counter()
            for q in queries:
                y = torch.addmv(b1, w1, torch.relu(torch.addmv(b0, w0, torch.from_numpy(q))))
            bare_us = (time.perf_counter() - start) * 1e6 / len(queries)
        del placed, ranked, y

        if r > 0:  # the first round warms up thread pools and allocators
            record("labels", labels_s)
            record("train", train_s)
            record("fit", fit_s)
            record("place", place_s)
            record("predict_us", predict_us)
            record("bare_torch_us", bare_us)
    return results


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(os.path.dirname(here), "build"))
    parser.add_argument("--rows", type=int, default=60000)
    parser.add_argument("--buckets", type=int, default=243)
    parser.add_argument("--hidden", type=int, default=128)
    parser.add_argument("--threads", type=int, default=0, help="torch threads; 0 keeps each library's default")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--queries", type=int, default=2000)
    args = parser.parse_args()

    exe = os.path.join(args.build, "bench", "bench_model")
    if not os.path.exists(exe):
        sys.exit(f"{exe} is missing: build the bench_model target first")
    data, source = load_rows(args.rows)
    data = np.ascontiguousarray(data)
    print(f"data: {source}, {data.shape[0]} rows x {data.shape[1]}, {args.buckets} buckets, hidden {args.hidden}, "
          f"torch threads {args.threads or 'default'}, cores {os.cpu_count()}, median of {args.repeats}")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "rows.f32")
        data.tofile(path)
        ours = time_ours(exe, path, data, args)
    theirs = time_python(data, args)
    med = {k: statistics.median(v) for k, v in ours.items()}
    peer = {k: statistics.median(v) for k, v in theirs.items()}
    med["fit"] = statistics.median(t - l for t, l in zip(ours["train"], ours["labels"]))

    rows = [
        ("train a level (sample, labels, Adam)", "train", "s"),
        ("  of which sample + k-means labels", "labels", "s"),
        ("  of which the Adam epochs", "fit", "s"),
        ("place every row (arg-max)", "place", "s"),
        ("rank all buckets for one query", "predict_us", "us"),
        ("bare matrix products of one query", "bare_torch_us", "us"),
    ]
    print(f"{'work':40} {'ours':>12} {'python3-torch':>14} {'ours/peer':>10}")
    for label, key, unit in rows:
        print(f"{label:40} {med[key]:>10.4g}{unit:>2} {peer[key]:>12.4g}{unit:>2} {med[key] / peer[key]:>10.2f}")
    print(f"ranking / bare libtorch products (ours): {med['predict_us'] / med['bare_torch_us']:.2f}")
    print(f"ranking / bare products in our kernel:   {med['predict_us'] / med['bare_kernel_us']:.2f}"
          f"  (kernel {med['bare_kernel_us']:.3g} us)")


if __name__ == "__main__":
    main()
