// The serial set intersection, which the vector levels also run on what their blocks leave.
#pragma once

#include <cstdint>

namespace quillmere::kernels::detail {

// The number of values common to two strictly increasing sets: the merge, or galloping
// through the longer set once it is at least 64 times longer than the other.
std::uint64_t count_common(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len);
std::uint64_t count_common(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len);

}  // namespace quillmere::kernels::detail
