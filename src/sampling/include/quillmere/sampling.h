// The fixed-seed training sample: the same rows, in the same order, for the same input size
// in every run, process and platform.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quillmere/error.h"
#include "quillmere/xoshiro256pp.h"

namespace quillmere {

// The sampler's generator starts from this state on every call.
inline constexpr Xoshiro256pp::State SAMPLING_SEED_STATE = {
    0x6A09E667F3BCC908ull, 0xBB67AE8584CAA73Bull, 0x3C6EF372FE94F82Bull, 0xA54FF53A5F1D36F1ull};

// The rows `sample` takes when sample_size < rows: sample_size distinct indexes below rows,
// uniformly without replacement (a partial Fisher-Yates shuffle driven by the generator), in
// the order drawn. Needs memory for sample_size indexes only when rows is much larger.
std::vector<std::uint64_t> sample_row_indexes(std::uint64_t rows, std::uint64_t sample_size);

// `queries` holds rows of `shape` values. Returns all values in order when sample_size >= rows,
// else the rows named by sample_row_indexes, concatenated in that order. Refuses (Error::assertion)
// empty queries, a shape of 0 or one that does not divide the values, and a sample_size of 0.
// Logs the "sampling" event and the "time" record of "sample".
Result<std::vector<float>> sample(std::span<const float> queries, std::uint64_t sample_size, std::uint64_t shape);

// The same over the concatenation of `parts` (each a whole number of rows), read in place:
// the sample of a compaction's records without first copying them into one list.
Result<std::vector<float>> sample_parts(std::span<const std::span<const float>> parts, std::uint64_t sample_size,
                                  std::uint64_t shape);

}  // namespace quillmere
