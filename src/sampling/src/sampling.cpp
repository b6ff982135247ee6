#include "quillmere/sampling.h"

#include <algorithm>
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

Result<std::vector<float>> sample_parts(std::span<const std::span<const float>> parts, std::uint64_t sample_size,
                                  std::uint64_t shape) {
  ScopedTimer timer("quillmere::sampling", "sample");
  QM_DEBUG("quillmere::sampling", "sampling", {{"n", sample_size}});
  std::uint64_t values = 0;
  bool whole_rows = shape != 0;
  for (const auto& part : parts) {
    values += part.size();
    whole_rows = whole_rows && part.size() % shape == 0;
  }
  if (values == 0) return fail(Error::assertion("Queries cannot be empty"));
  if (!whole_rows) return fail(Error::assertion("assertion failed: queries.len().is_multiple_of(shape)"));
  if (sample_size == 0) return fail(Error::assertion("Sample size must be greater than zero"));
  const std::uint64_t rows = values / shape;
  try {
    std::vector<float> out;
    if (sample_size >= rows) {
      out.reserve(values);
      for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
      return out;
    }
    // Each part's first row in the concatenation, then the total.
    std::vector<std::uint64_t> starts;
    starts.reserve(parts.size() + 1);
    std::uint64_t at = 0;
    for (const auto& part : parts) {
      starts.push_back(at);
      at += part.size() / shape;
    }
    starts.push_back(at);
    out.reserve(sample_size * shape);
    for (std::uint64_t row : sample_row_indexes(rows, sample_size)) {
      // The last part starting at or before `row`: an empty part shares its start with the
      // next one, so this is the part that holds the row.
      const auto p =
          static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end() - 1, row) - starts.begin()) - 1;
      const auto first = parts[p].begin() + static_cast<std::ptrdiff_t>((row - starts[p]) * shape);
      out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(shape));
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("not enough memory for a sample of " + std::to_string(sample_size) + " rows"));
  }
}

Result<std::vector<float>> sample(std::span<const float> queries, std::uint64_t sample_size, std::uint64_t shape) {
  return sample_parts(std::span(&queries, 1), sample_size, shape);
}

}  // namespace quillmere
