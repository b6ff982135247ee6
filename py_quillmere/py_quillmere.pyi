"""An updatable approximate k-nearest-neighbour index over float32 vectors with uint32 ids.

Type stub of the native module: full signatures for editors and type checkers. The
runtime docstrings only carry the text signatures (``search`` shows ``**py_kwargs``); the
keywords it reads are spelled out here.

Failures of the index itself raise ``RuntimeError`` with its text ("Missing attribute: ",
"File operation failed: ", "Invalid YAML config: ", "Invalid JSON config: ",
"Model creation failed: " followed by the detail). Bad argument values raise
``ValueError``, statistics of a level or bucket that does not exist ``IndexError``, the
"knn" search strategy ``NotImplementedError``, and an allocation that cannot be made
``MemoryError``.
"""

from typing import Literal, SupportsIndex

import numpy as np
import numpy.typing as npt

__version__: str
__all__: list[str]

class Quillmere:
    """One index: an insert buffer and levels of buckets, each level with a small classifier.

    ``Quillmere()`` builds an index from the defaults of ``QuillmereBuilder()``. Calls on
    one object are serialised by its own lock; ``search``, ``insert`` and ``delete`` release
    the interpreter lock while they work.
    """

    def __init__(self) -> None: ...
    def search(
        self,
        query: npt.NDArray[np.float32],
        k: SupportsIndex,
        *,
        n_candidates: SupportsIndex = 30000,
        search_strategy: Literal["model", "knn"] = "model",
    ) -> npt.NDArray[np.uint32]:
        """Ids of up to ``k`` records nearest to ``query``, best first.

        ``query`` is a 1-D float32 array of ``input_shape`` values (any strides).
        ``n_candidates`` is the record budget: the search visits whole buckets, best
        scored first, until it has visited at least that many records, so a budget
        smaller than one bucket still scans a bucket. ``search_strategy`` "model" is the
        only one built; "knn" raises ``NotImplementedError``. Other keywords are ignored.
        Raises ``TypeError`` "n_candidates must be an integer" / "search_strategy must be
        a string", ``ValueError`` "Invalid search strategy", or ``ValueError`` for a query
        of the wrong length.
        """

    def insert(self, record: npt.NDArray[np.float32], id: SupportsIndex) -> None:
        """Stores ``record`` (1-D float32, ``input_shape`` values) under ``id`` (0 to 2**32 - 1).

        The record that fills the insert buffer triggers a compaction into the levels,
        which may train a new level's classifier. Ids are not checked for uniqueness.
        Ctrl-C (on the main thread) stops a compaction at its next epoch or batch: every
        record stays where it was, this one in the buffer, and ``KeyboardInterrupt`` is raised.
        """

    def delete(self, id: SupportsIndex) -> tuple[list[float], int] | None:
        """Removes one record with ``id``; returns its values and id, or ``None`` when no record has it.

        The buffer is searched first, then the levels in order. A level left less than one
        arity-th full may be rebuilt, as the compaction strategy's rebuild strategy says.
        Ctrl-C stops a rebuild the same way as a compaction (see ``insert``).
        """

    def dump(self, working_dir: str) -> None:
        """Writes the whole index into the new directory ``working_dir`` (it must not exist).

        Every file is flushed to the device before ``meta.json`` names it. ``meta.json``
        in it records absolute paths, so load it with
        ``QuillmereBuilder.from_disk`` from where it was written: a moved or renamed dump
        directory does not load.
        """

    def n_levels(self) -> int:
        """Number of levels."""

    def n_buckets(self) -> int:
        """Buckets of all levels (the insert buffer is not counted)."""

    def occupied(self) -> int:
        """Records in all levels plus the insert buffer."""

    def n_empty_buckets(self) -> int:
        """Buckets, over all levels, that hold no record."""

    def buffer_occupied(self) -> int:
        """Records in the insert buffer."""

    def level_occupied(self, level_idx: SupportsIndex) -> int:
        """Records in level ``level_idx``; ``IndexError`` for a level that does not exist."""

    def level_n_buckets(self, level_idx: SupportsIndex) -> int:
        """Buckets of level ``level_idx``; ``IndexError`` for a level that does not exist."""

    def level_total_size(self, level_idx: SupportsIndex) -> int:
        """Buckets of level ``level_idx`` times the bucket size; ``IndexError`` for a level that does not exist."""

    def level_n_empty_buckets(self, level_idx: SupportsIndex) -> int:
        """Empty buckets of level ``level_idx``; ``IndexError`` for a level that does not exist."""

    def bucket_occupied(self, level_idx: SupportsIndex, bucket_idx: SupportsIndex) -> int:
        """Records in one bucket; ``IndexError`` for a level or bucket that does not exist."""

    def memory_usage(self) -> int:
        """Estimated bytes: stores' reserved room, classifier parameters and id maps."""

class QuillmereBuilder:
    """Copy-on-set configuration of an index.

    Every setter returns a new builder and leaves the one it is called on unchanged, so
    chain them: ``QuillmereBuilder().input_shape(784).arity(3).build()``. A setter called
    on its own, with its result dropped, changes nothing.

    Defaults: buffer 5000 records, buckets of 5000, 768 values per record, arity 3, cpu,
    distance "dot", delete method "oid_to_bucket", compaction "bentley_saxe:no_rebuild",
    hidden layers linear(128) and relu, training sample 1000, batches of 256, 3 epochs,
    10 k-means iterations, retrain "no_retrain".
    """

    def __init__(self) -> None: ...
    @staticmethod
    def from_yaml(file: str) -> QuillmereBuilder:
        """A builder from a YAML configuration (every key required; see examples/config.yaml).

        The file must be a regular file of at most 4 MiB.
        """

    @staticmethod
    def from_disk(working_dir: str) -> QuillmereBuilder:
        """A builder that loads the index dumped into ``working_dir`` (its files are read by ``build``).

        Prints two lines on standard output while it reads ``meta.json``. Files of the
        directory must be laid out as a dump writes them; anything else is refused.
        """

    def buffer_size(self, size: SupportsIndex) -> QuillmereBuilder:
        """Records the insert buffer takes before a compaction."""

    def bucket_size(self, size: SupportsIndex) -> QuillmereBuilder:
        """Nominal records per bucket (a bucket may hold more)."""

    def arity(self, arity: SupportsIndex) -> QuillmereBuilder:
        """Growth factor between levels: level L holds arity**(L + 1) buckets."""

    def compaction_strategy(
        self,
        compaction: Literal["bentley_saxe:no_rebuild", "bentley_saxe:basic_rebuild", "bentley_saxe:greedy_rebuild"],
    ) -> QuillmereBuilder:
        """Compaction and the rebuild that deletes apply to a level left underfull."""

    def distance_fn(self, distance_fn: Literal["l2", "dot"]) -> QuillmereBuilder:
        """"l2" (squared Euclidean, smaller is nearer) or "dot" (inner product, larger is nearer).

        With "l2" every compaction that trains a level prints its training sample
        ("data=[...]") and the k-means clusters ("clusters=[...]") on standard output.
        """

    def train_threshold_samples(self, samples: SupportsIndex) -> QuillmereBuilder:
        """Least number of records a level's classifier trains on (at least 40 per bucket)."""

    def linear_model_layer(self, hidden_neurons: SupportsIndex) -> QuillmereBuilder:
        """Appends a linear hidden layer; the first call replaces the default hidden layers."""

    def relu_layer(self) -> QuillmereBuilder:
        """Appends a relu hidden layer; the first call replaces the default hidden layers."""

    def train_batch_size(self, size: SupportsIndex) -> QuillmereBuilder:
        """Rows per optimiser step; a training sample smaller than one batch trains nothing."""

    def train_epochs(self, epochs: SupportsIndex) -> QuillmereBuilder:
        """Passes over the training sample."""

    def retrain_strategy(self, strategy: Literal["no_retrain", "from_scratch"]) -> QuillmereBuilder:
        """Carried in the configuration; nothing acts on it yet."""

    def input_shape(self, shape: SupportsIndex) -> QuillmereBuilder:
        """Values per record and per query."""

    def device(self, device: str) -> QuillmereBuilder:
        """"cpu" or "gpu:<n>" (this build's libtorch has no CUDA: a gpu level fails to build)."""

    def delete_method(self, delete_method: Literal["oid_to_bucket"]) -> QuillmereBuilder:
        """The only delete method."""

    def build(self) -> Quillmere:
        """A new index from a copy of this configuration; the builder can be built again."""

def log_init(target: str | object, level: str) -> None:
    """Writes the core's log records as JSON lines, once per process.

    ``target`` is a file path (created or emptied) or an object with a ``write`` method;
    ``level`` is "off", "error", "warn", "info", "debug" or "trace" (any case; anything
    else means "info"). The core's own records are debug records. A second call prints a
    warning on standard error and changes nothing.
    """
