// k-means labels for a training sample: one cluster number per row.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// Clusters the rows of `data` (rows of input_shape values) into k clusters with a fresh
// k-means (mode from label_method, max_iters iterations, the pool's default worker count)
// and returns the cluster of every row. Refusals (Error::assertion), in this order:
// "assertion failed: input_shape > 0", "assertion failed: data_len * input_shape == data.len()",
// "assertion failed: k > 0", "assertion failed: k <= count", "assertion failed: max_iters > 0".
// With l2 it prints a "data=" line before and a "clusters=" line after the training on
// standard output; a failing standard output does not fail the call.
// Logs the "clustering:compute_labels" event and the "time" record of "compute_labels".
// Ends with ErrorKind::Interrupted between two iterations when the thread's interrupt
// check asks to stop (interrupt.h).
Result<std::vector<std::uint64_t>> compute_labels(std::span<const float> data, DistanceFn label_method,
                                                  std::uint64_t k, std::uint64_t input_shape,
                                                  std::uint64_t max_iters);

// Appends the shortest decimal text that reads back as `value`, always with a fractional
// part ("1.0", "0.25", "-3.5"), in exponent form ("1e-5", "2.5e16") when the magnitude is
// non-zero and below 0.0001 or at least 1e16; "NaN", "inf" and "-inf" for the special values.
void append_f32(std::string& out, float value);
std::string format_f32(float value);

}  // namespace quillmere
