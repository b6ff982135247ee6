#include "quillmere/sampling.h"

#include <new>
#include <unordered_map>
#include <utility>

#include "quillmere/log.h"
#include "quillmere/timer.h"

namespace quillmere {

std::vector<std::uint64_t> sample_row_indexes(std::uint64_t rows, std::uint64_t sample_size) {
  if (sample_size > rows) sample_size = rows;
  Xoshiro256pp gen(SAMPLING_SEED_STATE);
  std::vector<std::uint64_t> picked;
  picked.reserve(sample_size);
  // Fisher-Yates over the virtual array 0..rows-1, stopped after sample_size swaps. A dense
  // array when it is small next to the sample, else only the displaced slots in a map; both
  // give the same sequence.
  if (rows <= (1u << 20) || rows / 8 <= sample_size) {
    std::vector<std::uint64_t> slots(rows);
    for (std::uint64_t i = 0; i < rows; ++i) slots[i] = i;
    for (std::uint64_t i = 0; i < sample_size; ++i) {
      const std::uint64_t j = i + gen.below(rows - i);
      std::swap(slots[i], slots[j]);
      picked.push_back(slots[i]);
    }
  } else {
    std::unordered_map<std::uint64_t, std::uint64_t> displaced;
    displaced.reserve(2 * sample_size);
    auto at = [&](std::uint64_t i) {
      auto it = displaced.find(i);
      return it == displaced.end() ? i : it->second;
    };
    for (std::uint64_t i = 0; i < sample_size; ++i) {
      const std::uint64_t j = i + gen.below(rows - i);
      const std::uint64_t vi = at(i), vj = at(j);
      displaced[j] = vi;
      picked.push_back(vj);
    }
  }
  return picked;
}

Result<std::vector<float>> sample(std::span<const float> queries, std::uint64_t sample_size, std::uint64_t shape) {
  ScopedTimer timer("quillmere::sampling", "sample");
  QM_DEBUG("quillmere::sampling", "sampling", {{"n", sample_size}});
  if (queries.empty()) return fail(Error::assertion("Queries cannot be empty"));
  if (shape == 0 || queries.size() % shape != 0)
    return fail(Error::assertion("assertion failed: queries.len().is_multiple_of(shape)"));
  if (sample_size == 0) return fail(Error::assertion("Sample size must be greater than zero"));
  const std::uint64_t rows = queries.size() / shape;
  try {
    if (sample_size >= rows) return std::vector<float>(queries.begin(), queries.end());
    std::vector<float> out;
    out.reserve(sample_size * shape);
    for (std::uint64_t row : sample_row_indexes(rows, sample_size)) {
      const auto first = queries.begin() + static_cast<std::ptrdiff_t>(row * shape);
      out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(shape));
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("not enough memory for a sample of " + std::to_string(sample_size) + " rows"));
  }
}

}  // namespace quillmere
