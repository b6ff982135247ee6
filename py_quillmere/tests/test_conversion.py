import re

import numpy as np
import pytest

import py_quillmere as pq
from conftest import DIM, small_builder

OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.fixture(scope="module")
def index():
    return small_builder().build()


def vec(n=DIM):
    return np.ones(n, dtype=np.float32)


class Size:
    """An object with an integer value through the index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# ---- sizes -------------------------------------------------------------------

SIZE_SETTERS = [
    ("buffer_size", "size"),
    ("bucket_size", "size"),
    ("arity", "arity"),
    ("input_shape", "shape"),
    ("train_threshold_samples", "samples"),
    ("train_batch_size", "size"),
    ("train_epochs", "epochs"),
    ("linear_model_layer", "hidden_neurons"),
]


@pytest.mark.parametrize("method, param", SIZE_SETTERS)
@pytest.mark.parametrize("value", [0, 1, 2**64 - 1, Size(7), np.uint64(2**64 - 1), True])
def test_size_setters_accept_the_whole_u64_range(method, param, value):
    builder = pq.QuillmereBuilder()
    assert isinstance(getattr(builder, method)(value), pq.QuillmereBuilder)


@pytest.mark.parametrize("method, param", SIZE_SETTERS)
@pytest.mark.parametrize(
    "value, error, text",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        (None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_size_setters_refuse(method, param, value, error, text):
    builder = pq.QuillmereBuilder()
    with pytest.raises(error) as caught:
        getattr(builder, method)(value)
    assert type(caught.value) is error
    if text is not None:
        assert str(caught.value) == f"argument '{param}': {text}"


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda i, v: i.search(vec(), v), "k"),
        (lambda i, v: i.level_occupied(v), "level_idx"),
        (lambda i, v: i.level_n_buckets(v), "level_idx"),
        (lambda i, v: i.level_total_size(v), "level_idx"),
        (lambda i, v: i.level_n_empty_buckets(v), "level_idx"),
        (lambda i, v: i.bucket_occupied(v, 0), "level_idx"),
        (lambda i, v: i.bucket_occupied(0, v), "bucket_idx"),
    ],
)
def test_index_size_arguments(index, call, param):
    with pytest.raises(TypeError) as caught:
        call(index, 2.5)
    assert str(caught.value) == f"argument '{param}': 'float' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError):
        call(index, -1)
    with pytest.raises(OverflowError):
        call(index, 2**64)


# ---- ids ---------------------------------------------------------------------


@pytest.mark.parametrize("bad", [-1, 4294967296, 2**63, 2**64, -(2**70)])
def test_ids_outside_u32_overflow(index, bad):
    for call in (lambda: index.insert(vec(), bad), lambda: index.delete(bad)):
        with pytest.raises(OverflowError) as caught:
            call()
        assert str(caught.value) == OUT_OF_RANGE
    assert index.occupied() == 0


def test_id_bounds_are_accepted():
    index = small_builder().build()
    index.insert(vec(), 4294967295)
    index.insert(vec(), 0)
    index.insert(vec(), Size(5))
    assert index.occupied() == 3
    assert index.delete(4294967295)[1] == 4294967295
    assert index.delete(np.int64(5))[1] == 5


@pytest.mark.parametrize("bad, name", [(1.5, "float"), ("1", "str"), (None, "NoneType")])
def test_id_of_wrong_type(index, bad, name):
    with pytest.raises(TypeError) as caught:
        index.insert(vec(), bad)
    assert str(caught.value) == f"argument 'id': '{name}' object cannot be interpreted as an integer"


# ---- texts -------------------------------------------------------------------


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda v: pq.QuillmereBuilder().compaction_strategy(v), "compaction"),
        (lambda v: pq.QuillmereBuilder().distance_fn(v), "distance_fn"),
        (lambda v: pq.QuillmereBuilder().retrain_strategy(v), "strategy"),
        (lambda v: pq.QuillmereBuilder().device(v), "device"),
        (lambda v: pq.QuillmereBuilder().delete_method(v), "delete_method"),
        (lambda v: pq.QuillmereBuilder.from_yaml(v), "file"),
        (lambda v: pq.QuillmereBuilder.from_disk(v), "working_dir"),
        (lambda v: pq.Quillmere().dump(v), "working_dir"),
    ],
)
@pytest.mark.parametrize("bad", [1, b"cpu", None])
def test_text_parameters_need_str(call, param, bad):
    with pytest.raises(TypeError) as caught:
        call(bad)
    assert str(caught.value).startswith(f"argument '{param}': ")


@pytest.mark.parametrize(
    "call",
    [
        lambda: pq.QuillmereBuilder.from_yaml("config\0.yaml"),
        lambda: pq.QuillmereBuilder.from_disk("dir\0x"),
        lambda: pq.Quillmere().dump("dir\0x"),
    ],
)
def test_paths_with_nul_are_refused(call):
    with pytest.raises(ValueError, match="embedded null character"):
        call()


# ---- vectors -----------------------------------------------------------------

CAST_TEXT = re.compile(r"^argument '(query|record)': '(\w+)' object cannot be cast as '.+'$")


@pytest.mark.parametrize(
    "bad, type_name",
    [
        (np.ones(DIM, dtype=np.float64), "ndarray"),
        (np.ones(DIM, dtype=np.float16), "ndarray"),
        (np.ones(DIM, dtype=np.int32), "ndarray"),
        (np.ones(DIM, dtype=">f4"), "ndarray"),
        (np.ones((2, DIM // 2), dtype=np.float32), "ndarray"),
        (np.float32(1.0), "float32"),
        ([1.0] * DIM, "list"),
        (None, "NoneType"),
    ],
    ids=["f64", "f16", "i32", "big-endian", "2-D", "scalar", "list", "None"],
)
def test_vectors_must_be_1d_float32_arrays(index, bad, type_name):
    with pytest.raises(TypeError) as caught:
        index.search(bad, 3)
    match = CAST_TEXT.match(str(caught.value))
    assert match and match.group(1) == "query" and match.group(2) == type_name, str(caught.value)
    with pytest.raises(TypeError) as caught:
        index.insert(bad, 1)
    match = CAST_TEXT.match(str(caught.value))
    assert match and match.group(1) == "record", str(caught.value)
    assert index.occupied() == 0


def test_vector_error_comes_before_the_id_error(index):
    with pytest.raises(TypeError, match="^argument 'record': "):
        index.insert([1.0], -1)


@pytest.mark.parametrize("length", [0, DIM - 1, DIM + 1, 3 * DIM])
def test_wrong_vector_length_is_value_error_naming_both(length):
    index = small_builder().build()
    bad = np.ones(length, dtype=np.float32)
    for call in (lambda: index.insert(bad, 1), lambda: index.search(bad, 1)):
        with pytest.raises(ValueError) as caught:
            call()
        text = str(caught.value)
        assert str(length) in text and str(DIM) in text, text
    assert index.occupied() == 0 and index.buffer_occupied() == 0


def test_huge_broadcast_vector_is_refused_without_copying_it():
    # 2**40 values seen through a zero stride: copying them first would need 4 TiB.
    index = small_builder().build()
    huge = np.lib.stride_tricks.as_strided(np.ones(1, dtype=np.float32), shape=(2**40,), strides=(0,))
    for call in (lambda: index.insert(huge, 1), lambda: index.search(huge, 1)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(2**40) in str(caught.value) and str(DIM) in str(caught.value)
    assert index.occupied() == 0


def test_length_is_checked_after_the_other_arguments(index):
    short = np.ones(DIM - 1, dtype=np.float32)
    with pytest.raises(TypeError, match="^argument 'k': "):
        index.search(short, "3")
    with pytest.raises(TypeError, match="^n_candidates must be an integer$"):
        index.search(short, 3, n_candidates=-1)
    with pytest.raises(OverflowError):
        index.insert(short, -1)
