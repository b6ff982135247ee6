import json
import pathlib

import numpy as np
import pytest

import py_quillmere as pq

DIM = 8
BUFFER = 20
BUCKET = 10
ARITY = 2


def small_builder(distance="dot"):
    """A builder whose first compaction happens after BUFFER inserts."""
    return (
        pq.QuillmereBuilder()
        .input_shape(DIM)
        .buffer_size(BUFFER)
        .bucket_size(BUCKET)
        .arity(ARITY)
        .train_epochs(1)
        .distance_fn(distance)
    )


def records(n, dim=DIM, seed=0):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def filled(n, builder=None, seed=0):
    """An index holding rows 0..n-1 of records(n) under ids 0..n-1."""
    index = (builder or small_builder()).build()
    data = records(n, seed=seed)
    for i, row in enumerate(data):
        index.insert(row, i)
    return index, data


def read_meta(directory):
    return json.loads((pathlib.Path(directory) / "meta.json").read_text())


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
