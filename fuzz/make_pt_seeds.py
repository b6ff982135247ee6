#!/usr/bin/python3
"""Writes the seeds of the .pt/.bin, named-tensor archive and extra safetensors fuzz corpora
with PyTorch itself.

An archive seed is either the whole archive, or its members (data.pkl, then byteorder for .pt
or code/__torch__.py for the named-tensor archive, then data/0, ...) joined by the part
marker, the form the fuzz targets pack into a zip on their own. The test fixtures of the
weights readers are added in both forms. Run after fuzz_make_seeds: make_pt_seeds.py <fuzz dir>.
"""
import io
import json
import os
import struct
import sys
import zipfile

import torch

PART = b"--qm-part--"


def ramp(shape, dtype=torch.float32, shift=0.0):
    n = 1
    for s in shape:
        n *= s
    return (torch.arange(n, dtype=torch.float64) * 0.25 + shift).to(dtype).reshape(shape)


def hidden(dtype=torch.float32):
    # The classifier shape the fuzz target loads: 3 inputs, linear 4, relu, 2 buckets.
    net = torch.nn.Sequential(torch.nn.Linear(3, 4), torch.nn.ReLU(), torch.nn.Linear(4, 2))
    with torch.no_grad():
        for k, p in enumerate(net.parameters()):
            p.copy_(ramp(tuple(p.shape), shift=float(k)))
    return {k: v.to(dtype) for k, v in net.state_dict().items()}


def wide():
    return {"0.weight": ramp((70, 3)), "0.bias": ramp((70,), shift=-3.0)}


def members(archive, named=("data.pkl", "byteorder")):
    z = zipfile.ZipFile(io.BytesIO(archive))
    by_name = {i.filename.split("/", 1)[1]: z.read(i.filename) for i in z.infolist() if "/" in i.filename}
    if "data.pkl" not in by_name:
        return None
    parts = [by_name.get(n, b"") for n in named]
    k = 0
    while f"data/{k}" in by_name:
        parts.append(by_name[f"data/{k}"])
        k += 1
    return PART.join(parts)


def safetensors(tensors, metadata=None):
    header, data = {}, b""
    if metadata is not None:
        header["__metadata__"] = metadata
    names = {torch.float32: "F32", torch.float16: "F16", torch.bfloat16: "BF16", torch.float64: "F64",
             torch.int64: "I64", torch.bool: "BOOL", torch.uint8: "U8"}
    for name, t in tensors.items():
        t = t.contiguous()
        raw = t.view(torch.uint8).numpy().tobytes() if t.numel() else b""
        header[name] = {"dtype": names[t.dtype], "shape": list(t.shape),
                        "data_offsets": [len(data), len(data) + len(raw)]}
        data += raw
    text = json.dumps(header).encode()
    text += b" " * ((8 - len(text) % 8) % 8)
    return struct.pack("<Q", len(text)) + text + data


def changed(archive, replace=None, drop="", compress=zipfile.ZIP_STORED):
    """The zip `archive` with records replaced (by name below its folder) or dropped."""
    src, buf = zipfile.ZipFile(io.BytesIO(archive)), io.BytesIO()
    with zipfile.ZipFile(buf, "w") as out:
        for info in src.infolist():
            name = info.filename.split("/", 1)[1]
            if not (drop and name.startswith(drop)):
                out.writestr(info.filename, (replace or {}).get(name, src.read(info.filename)), compress_type=compress)
    return buf.getvalue()


def archive_seeds(out):
    """Seeds of the named-tensor archive target: libtorch's own archives (the fixtures written
    by OutputArchive, the classifier's weights writer) and the hostile archives that once took
    libtorch's loader down, at sizes that still pass every cap of the reader."""
    here = os.path.dirname(os.path.abspath(__file__))
    fixtures = os.path.join(here, "..", "src", "model", "tests", "fixtures")
    pt_dir = os.path.join(out, "corpus", "pt_weights")
    ar_dir = os.path.join(out, "corpus", "weights_archive")
    os.makedirs(ar_dir, exist_ok=True)
    seeds = {}
    for f in sorted(os.listdir(fixtures)):
        if f.endswith(".ot"):
            with open(os.path.join(fixtures, f), "rb") as fh:
                seeds[f] = fh.read()
    for f in sorted(os.listdir(pt_dir)):
        if f.startswith("seed-archive-"):
            with open(os.path.join(pt_dir, f), "rb") as fh:
                seeds[f[len("seed-"):-len(".pt")] + ".ot"] = fh.read()
    with open(os.path.join(here, "..", "py_quillmere", "tests", "fixtures", "setstate_loop.ot"), "rb") as fh:
        setstate = fh.read()
    good = seeds["classifier-f32.ot"]
    nested = lambda depth: b"\x80\x02" + b"(" * depth + b"t" * depth + b"."
    code = b"class Module(Module):\n  def one(self) -> int:\n    return " + b"(" * 5000 + b"1" + b")" * 5000 + b"\n"
    seeds.update({
        "setstate-loop.ot": setstate,
        "marks-over-the-cap.ot": changed(setstate, {"data.pkl": nested(70_000)}, drop="code/"),
        "nested-code.ot": changed(setstate, {"code/__torch__.py": code}),
        "tuples-20000-deep.ot": changed(good, {"data.pkl": nested(20_000)}),
        "classifier-nested-code.ot": changed(good, {"code/__torch__.py": code}),
        "deflated.ot": changed(good, compress=zipfile.ZIP_DEFLATED),
    })
    written = set()
    for name, data in seeds.items():
        with open(os.path.join(ar_dir, "seed-" + name), "wb") as fh:
            fh.write(data)
        packed = members(data, ("data.pkl", "code/__torch__.py"))
        if packed is not None and packed not in written:
            written.add(packed)
            with open(os.path.join(ar_dir, "seed-members-" + name), "wb") as fh:
                fh.write(packed)


def main():
    out = sys.argv[1]
    pt_dir = os.path.join(out, "corpus", "pt_weights")
    st_dir = os.path.join(out, "corpus", "safetensors")
    os.makedirs(pt_dir, exist_ok=True)
    os.makedirs(st_dir, exist_ok=True)

    archives = {}
    for name, obj, kw in [("hidden-f32.pt", hidden(), {}), ("hidden-f64.pt", hidden(torch.float64), {}),
                          ("hidden-f16.pt", hidden(torch.float16), {}), ("wide.bin", wide(), {}),
                          ("hidden-protocol4.pt", hidden(), {"pickle_protocol": 4})]:
        buf = io.BytesIO()
        torch.save(obj, buf, **kw)
        archives[name] = buf.getvalue()
    # libtorch's own module archives, written by the classifier's weights writer (fuzz_make_seeds).
    for f in sorted(os.listdir(pt_dir)):
        if f.startswith("seed-archive-"):
            with open(os.path.join(pt_dir, f), "rb") as fh:
                archives[f[len("seed-"):]] = fh.read()
    fixtures = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "model", "tests", "fixtures")
    for f in sorted(os.listdir(fixtures)):
        if f.endswith((".pt", ".bin")):
            with open(os.path.join(fixtures, f), "rb") as fh:
                archives["fixture-" + f] = fh.read()

    for name, data in archives.items():
        with open(os.path.join(pt_dir, "seed-" + name), "wb") as fh:
            fh.write(data)
        try:
            packed = members(data)
        except zipfile.BadZipFile:
            packed = None
        if packed is not None:
            with open(os.path.join(pt_dir, "seed-members-" + name), "wb") as fh:
                fh.write(packed)

    archive_seeds(out)

    for name, tensors, meta in [("hidden-bf16", hidden(torch.bfloat16), {"format": "pt"}),
                                ("hidden-f64", hidden(torch.float64), None),
                                ("hidden-f16-extra", dict(hidden(torch.float16), extra=torch.zeros(0, 5)), None),
                                ("mixed", {"0.weight": ramp((4, 3)).to(torch.int64), "0.bias": torch.ones(4, dtype=torch.bool),
                                           "2.weight": ramp((2, 4)).to(torch.uint8), "2.bias": ramp((2,))}, None)]:
        with open(os.path.join(st_dir, "seed-" + name + ".safetensors"), "wb") as fh:
            fh.write(safetensors(tensors, meta))


if __name__ == "__main__":
    main()
