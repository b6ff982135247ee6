"""Fashion-MNIST training images for the comparison scripts, or generated data when the set is missing."""
import gzip
import os

import numpy as np

FASHION = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz"


def load_rows(rows):
    """The first `rows` images as float32 in [0, 1], and the name of where they came from."""
    if os.path.exists(FASHION):
        with gzip.open(FASHION, "rb") as f:
            raw = f.read()
        count, height, width = (int.from_bytes(raw[i:i + 4], "big") for i in (4, 8, 12))
        images = np.frombuffer(raw, dtype=np.uint8, offset=16).reshape(count, height * width)
        return images[:rows].astype(np.float32) / np.float32(255.0), "fashion-mnist"
    rng = np.random.default_rng(7)
    centres = rng.normal(size=(64, 784)).astype(np.float32)
    picks = rng.integers(0, 64, size=rows)
    data = centres[picks] + 0.3 * rng.normal(size=(rows, 784)).astype(np.float32)
    return data.astype(np.float32), "generated"
