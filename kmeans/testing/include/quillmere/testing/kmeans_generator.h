// The generator behind k-means' random choices (initial centroids, donors of empty clusters),
// one per thread, seeded by the operating system on first use. Declared here, beside the
// test helpers, and not in kmeans.h: only tests that must reproduce a training reach it.
#pragma once

#include "quillmere/xoshiro256pp.h"

namespace quillmere::detail {

Xoshiro256pp& kmeans_thread_generator() noexcept;

}  // namespace quillmere::detail
