// Set intersection sizes at the serial level, and the set entries. There is no avx2 level:
// below AVX-512 the merge and the galloping search are the whole algorithm.
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "sets.h"

namespace quillmere::kernels {
namespace {

// For each value of `small`, the first position of `large` not below it, found by doubling
// the position and then halving the bracket. The position never goes back, and once it
// reaches the end no later value can be present: stopping there keeps every probe inside
// `large`.
template <class U>
std::uint64_t gallop(const U* small, std::uint64_t small_len, const U* large, std::uint64_t large_len) {
  std::uint64_t count = 0, lo = 0;
  for (std::uint64_t k = 0; k < small_len && lo < large_len; ++k) {
    const U x = small[k];
    std::uint64_t hi = lo + 1;
    if (hi < large_len && large[hi] < x) {
      std::uint64_t t;
      do {
        lo = hi;
        t = 2 * hi;
        hi = t < large_len ? t : large_len;
      } while (t < large_len && large[hi] < x);
    }
    while (lo < hi) {
      const std::uint64_t mid = lo + (hi - lo) / 2;
      if (large[mid] < x) lo = mid + 1;
      else hi = mid;
    }
    if (lo < large_len && large[lo] == x) ++count;
  }
  return count;
}

template <class U>
std::uint64_t merge(const U* small, std::uint64_t small_len, const U* large, std::uint64_t large_len) {
  std::uint64_t count = 0, i = 0, j = 0;
  while (i < small_len && j < large_len) {
    const U x = small[i], y = large[j];
    if (x < y) ++i;
    else ++j;
    if (x == y) ++count;
  }
  return count;
}

template <class U>
std::uint64_t count_common_of(const U* a, const U* b, std::uint64_t a_len, std::uint64_t b_len) {
  if (b_len < a_len) return count_common_of(b, a, b_len, a_len);  // equal lengths keep a as the small set
  if (b_len / 64 >= a_len) return gallop(a, a_len, b, b_len);  // b_len >= 64 * a_len, without overflow
  return merge(a, a_len, b, b_len);
}

}  // namespace

std::uint64_t detail::count_common(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len,
                                   std::uint64_t b_len) {
  return count_common_of(a, b, a_len, b_len);
}
std::uint64_t detail::count_common(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len,
                                   std::uint64_t b_len) {
  return count_common_of(a, b, a_len, b_len);
}

void intersect_u16_serial(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len,
                          double* out) {
  *out = static_cast<double>(detail::count_common(a, b, a_len, b_len));
}
void intersect_u32_serial(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len,
                          double* out) {
  *out = static_cast<double>(detail::count_common(a, b, a_len, b_len));
}

// ---- entries ----

void intersect_u16(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len, std::uint64_t b_len,
                   double* out) {
  detail::call<detail::slot_of("intersect_u16")>(a, b, a_len, b_len, out);
}
void intersect_u32(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len, std::uint64_t b_len,
                   double* out) {
  detail::call<detail::slot_of("intersect_u32")>(a, b, a_len, b_len, out);
}

void detail::add_sparse_kernels(KernelTable& t) {
  t.put<slot_of("intersect_u16"), serial>(&intersect_u16_serial);
  t.put<slot_of("intersect_u32"), serial>(&intersect_u32_serial);
}

}  // namespace quillmere::kernels
