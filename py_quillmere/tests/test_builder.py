import pathlib
import re

import numpy as np
import pytest

import py_quillmere as pq
from conftest import BUCKET, BUFFER, DIM, filled, read_meta, records, small_builder

DEFAULT_META = {
    "compaction_strategy": {"type": "bentley_saxe", "rebuild_strategy": "no_rebuild"},
    "levels_config": {
        "model": {
            "layers": [{"type": "linear", "value": 128}, {"type": "relu"}],
            "train_params": {
                "threshold_samples": 1000,
                "batch_size": 256,
                "epochs": 3,
                "max_iters": 10,
                "retrain_strategy": "no_retrain",
            },
            "weights_path": None,
        },
        "bucket_size": 5000,
    },
    "buffer_size": 5000,
    "input_shape": 768,
    "arity": 3,
    "distance_fn": "dot",
    "delete_method": "oid_to_bucket",
    "levels": [],
}

# The README's complete YAML example: the defaults written out.
EXAMPLE_YAML = pathlib.Path(__file__).resolve().parents[2] / "examples" / "config.yaml"


def config_of(index, tmp_path, name="dump"):
    target = tmp_path / name
    index.dump(str(target))
    meta = read_meta(target)
    del meta["disk_buffer"]
    return meta


@pytest.mark.parametrize(
    "make",
    [lambda: pq.QuillmereBuilder().build(), pq.Quillmere, lambda: pq.QuillmereBuilder.from_yaml(str(EXAMPLE_YAML)).build()],
    ids=["builder", "ctor", "example_yaml"],
)
def test_defaults(tmp_path, make):
    index = make()
    assert config_of(index, tmp_path) == DEFAULT_META
    assert (index.n_levels(), index.n_buckets(), index.occupied(), index.n_empty_buckets()) == (0, 0, 0, 0)


SETTERS = [
    ("buffer_size", 7, ("buffer_size",), 7),
    ("bucket_size", 9, ("levels_config", "bucket_size"), 9),
    ("arity", 5, ("arity",), 5),
    ("input_shape", 12, ("input_shape",), 12),
    ("train_threshold_samples", 33, ("levels_config", "model", "train_params", "threshold_samples"), 33),
    ("train_batch_size", 17, ("levels_config", "model", "train_params", "batch_size"), 17),
    ("train_epochs", 2, ("levels_config", "model", "train_params", "epochs"), 2),
    ("retrain_strategy", "from_scratch", ("levels_config", "model", "train_params", "retrain_strategy"), "from_scratch"),
    ("distance_fn", "l2", ("distance_fn",), "l2"),
    ("delete_method", "oid_to_bucket", ("delete_method",), "oid_to_bucket"),
    (
        "compaction_strategy",
        "bentley_saxe:greedy_rebuild",
        ("compaction_strategy",),
        {"type": "bentley_saxe", "rebuild_strategy": "greedy_rebuild"},
    ),
]


@pytest.mark.parametrize("method, value, path, expected", SETTERS, ids=[s[0] for s in SETTERS])
def test_setter_changes_only_the_copy(tmp_path, method, value, path, expected):
    original = pq.QuillmereBuilder()
    changed = getattr(original, method)(value)
    assert changed is not original and type(changed) is pq.QuillmereBuilder

    def lookup(meta):
        for key in path:
            meta = meta[key]
        return meta

    assert lookup(config_of(changed.build(), tmp_path, "changed")) == expected
    # The receiver is untouched and still builds the defaults.
    assert config_of(original.build(), tmp_path, "original") == DEFAULT_META


def test_layer_lists_copy_on_set(tmp_path):
    b1 = small_builder()
    b2 = b1.linear_model_layer(6)
    b3 = b2.relu_layer()
    b4 = b1.relu_layer()
    expected = {
        "b1": [{"type": "linear", "value": 128}, {"type": "relu"}],
        "b2": [{"type": "linear", "value": 6}],
        "b3": [{"type": "linear", "value": 6}, {"type": "relu"}],
        "b4": [{"type": "relu"}],
    }
    data = records(BUFFER)
    for name, builder in {"b1": b1, "b2": b2, "b3": b3, "b4": b4}.items():
        index = builder.build()
        for i, row in enumerate(data):
            index.insert(row, i)
        assert index.n_levels() == 1
        meta = config_of(index, tmp_path, name)
        # The template of later levels and the first level's classifier both use the list.
        assert meta["levels_config"]["model"]["layers"] == expected[name], name
        assert meta["levels"][0]["config"]["model"]["layers"] == expected[name], name


@pytest.mark.parametrize(
    "method, text, error",
    [
        ("retrain_strategy", "From_Scratch", "Invalid retrain strategy"),
        ("retrain_strategy", "", "Invalid retrain strategy"),
        ("device", "gpu", "Invalid device type"),
        ("device", "gpu:", "Invalid device type"),
        ("device", "gpu:-1", "Invalid device type"),
        ("device", "gpu:1:2", "Invalid device type"),
        ("device", "gpu:18446744073709551616", "Invalid device type"),
        ("device", " cpu", "Invalid device type"),
        ("device", "CPU", "Invalid device type"),
        ("distance_fn", "L2", "Unknown distance function: L2"),
        ("distance_fn", "cosine", "Unknown distance function: cosine"),
        ("delete_method", "oid", "Unknown delete method: oid"),
        ("compaction_strategy", "bentley_saxe", "Unknown compaction strategy: bentley_saxe"),
        ("compaction_strategy", "bentley_saxe:fast", "Unknown compaction strategy: bentley_saxe:fast"),
    ],
)
def test_bad_option_texts(method, text, error):
    with pytest.raises(ValueError) as caught:
        getattr(pq.QuillmereBuilder(), method)(text)
    assert str(caught.value) == error


@pytest.mark.parametrize("text", ["cpu", "gpu:0", "gpu:+3", "gpu:18446744073709551615"])
def test_device_texts_accepted(text):
    assert isinstance(pq.QuillmereBuilder().device(text), pq.QuillmereBuilder)


def test_zero_sizes_are_accepted_by_setters():
    builder = pq.QuillmereBuilder().buffer_size(0).bucket_size(0).arity(0).train_epochs(0)
    assert isinstance(builder, pq.QuillmereBuilder)


@pytest.mark.parametrize(
    "make",
    [
        lambda: pq.QuillmereBuilder().buffer_size(2**64 - 1),
        lambda: pq.QuillmereBuilder().input_shape(2**64 - 1),
        lambda: pq.QuillmereBuilder().buffer_size(2**40).input_shape(2**40),
        lambda: pq.QuillmereBuilder().input_shape(0),
        lambda: pq.QuillmereBuilder().arity(0),
    ],
    ids=["buffer", "shape", "product", "shape0", "arity0"],
)
def test_absurd_configurations_raise_instead_of_aborting(make):
    with pytest.raises((MemoryError, ValueError, RuntimeError, OverflowError)):
        make().build()


def test_from_yaml(tmp_path):
    path = tmp_path / "config.yaml"
    path.write_text(
        "compaction_strategy:\n"
        "  type: bentley_saxe\n"
        "  rebuild_strategy: basic_rebuild\n"
        "levels:\n"
        "  model:\n"
        "    layers:\n"
        "      - type: linear\n"
        "        value: 16\n"
        "      - type: relu\n"
        "    train_params:\n"
        "      threshold_samples: 100\n"
        "      batch_size: 8\n"
        "      epochs: 1\n"
        "      max_iters: 4\n"
        "      retrain_strategy: no_retrain\n"
        "  bucket_size: 10\n"
        "buffer_size: 20\n"
        "input_shape: 8\n"
        "arity: 2\n"
        "device: cpu\n"
        "distance_fn: l2\n"
        "delete_method: oid_to_bucket\n"
    )
    builder = pq.QuillmereBuilder.from_yaml(str(path))
    meta = config_of(builder.build(), tmp_path)
    assert meta["compaction_strategy"]["rebuild_strategy"] == "basic_rebuild"
    assert meta["levels_config"]["model"]["layers"] == [{"type": "linear", "value": 16}, {"type": "relu"}]
    assert meta["levels_config"]["model"]["train_params"]["max_iters"] == 4
    assert (meta["buffer_size"], meta["input_shape"], meta["arity"], meta["distance_fn"]) == (20, 8, 2, "l2")
    # A builder read from a file takes setters like any other.
    assert config_of(builder.arity(3).build(), tmp_path, "second")["arity"] == 3


def sparse_file(path, size):
    with open(path, "wb") as f:
        f.truncate(size)
    return str(path)


@pytest.mark.parametrize(
    "make_path, text",
    [
        (lambda d: str(d / "absent.yaml"), "File operation failed: cannot open "),
        (lambda d: (d / "c.yaml").write_text("buffer_size: [1\n") and str(d / "c.yaml"), "Invalid YAML config: "),
        # Refused before a byte is read: neither is read until memory runs out.
        (lambda d: "/dev/zero", "File operation failed: /dev/zero is not a regular file"),
        (lambda d: sparse_file(d / "huge.yaml", 100 << 20), "is larger than the 4 MiB a configuration file may hold"),
    ],
    ids=["missing", "broken", "device", "100MB"],
)
def test_from_yaml_failures(tmp_path, make_path, text):
    with pytest.raises(RuntimeError, match=re.escape(text)):
        pq.QuillmereBuilder.from_yaml(make_path(tmp_path))


def test_from_disk_builds_independent_indexes(tmp_path):
    index, data = filled(3 * BUFFER + 5)
    index.dump(str(tmp_path / "d"))
    builder = pq.QuillmereBuilder.from_disk(str(tmp_path / "d"))
    first, second = builder.build(), builder.build()
    for loaded in (first, second):
        assert loaded.occupied() == index.occupied()
        assert loaded.n_levels() == index.n_levels()
    removed = first.delete(3)
    assert removed is not None and removed[1] == 3
    np.testing.assert_array_equal(np.array(removed[0], dtype=np.float32), data[3])
    assert first.occupied() == index.occupied() - 1
    assert second.occupied() == index.occupied()
    assert second.delete(3) is not None
