// Set intersection sizes at the AVX-512 levels, written over the vector layer (built twice:
// native and emulated). Both compare a block of each set at once and then advance each set
// past the values that cannot meet anything further on in the other; whatever is left when
// a set has less than a block is counted by the serial algorithm.
#include <bit>

#include "dispatch.h"
#include "quillmere/kernels.h"
#include "sets.h"
#include "vec512_bits.h"

namespace QM_AVX512_NS {

using namespace v512;

namespace {

// Block counts and the serial count of the rest, each widened to f64 and added.
template <class U>
double with_rest(std::uint64_t blocks, const U* a, const U* b, std::uint64_t a_len, std::uint64_t b_len,
                 std::uint64_t i, std::uint64_t j) {
  const std::uint64_t rest = detail::count_common(a + i, b + j, a_len - i, b_len - j);
  return static_cast<double>(blocks) + static_cast<double>(rest);
}

// Blocks of 16 values (u16 widened to 32 bits) matched by the two-way intersection.
template <class U>
QM_INLINE QM_TARGET_AVX512_VP2INTERSECT double vp2intersect(const U* a, const U* b, std::uint64_t a_len,
                                                            std::uint64_t b_len) {
  constexpr std::uint64_t kBlock = 16;
  std::uint64_t count = 0, i = 0, j = 0;
  while (a_len - i >= kBlock && b_len - j >= kBlock) {
    I512 va, vb;
    if constexpr (sizeof(U) == 2) va = loadu_epu16_epi32(a + i), vb = loadu_epu16_epi32(b + j);
    else va = loadu_si(a + i), vb = loadu_si(b + j);
    count += static_cast<std::uint64_t>(std::popcount(intersect_epi32(va, vb)));
    const std::uint32_t a_last = a[i + kBlock - 1], b_last = b[j + kBlock - 1];
    i += static_cast<std::uint64_t>(std::popcount(cmple_epu32(va, set1_epi32(b_last))));
    j += static_cast<std::uint64_t>(std::popcount(cmple_epu32(vb, set1_epi32(a_last))));
  }
  return with_rest(count, a, b, a_len, b_len, i, j);
}

// Blocks of 64 bytes (16 u32 or 32 u16), every value of one block compared with every value
// of the other through rotated copies; blocks lying wholly below the other set's current
// block are passed over first.
template <class U>
QM_INLINE QM_TARGET_AVX512_INT double all_pairs(const U* a, const U* b, std::uint64_t a_len, std::uint64_t b_len) {
  constexpr std::uint64_t kBlock = 64 / sizeof(U);
  std::uint64_t count = 0, i = 0, j = 0;
  const bool small = a_len < 2 * kBlock && b_len < 2 * kBlock;
  if (!small && a_len >= kBlock && b_len >= kBlock) {
    do {
      while (a[i + kBlock - 1] < b[j] && a_len - i >= 2 * kBlock) i += kBlock;
      while (b[j + kBlock - 1] < a[i] && b_len - j >= 2 * kBlock) j += kBlock;
      const I512 va = loadu_si(a + i), vb = loadu_si(b + j);
      const U a_last = a[i + kBlock - 1], b_last = b[j + kBlock - 1];
      I512 rotated = vb;
      if constexpr (sizeof(U) == 2) {
        M32 found = 0;
        for (std::uint64_t r = 0; r < kBlock; ++r, rotated = rotate1_epi16(rotated)) found |= cmpeq_epi16(va, rotated);
        count += static_cast<std::uint64_t>(std::popcount(found));
        i += static_cast<std::uint64_t>(std::popcount(cmple_epu16(va, set1_epi16(b_last))));
        j += static_cast<std::uint64_t>(std::popcount(cmple_epu16(vb, set1_epi16(a_last))));
      } else {
        M16 found = 0;
        for (std::uint64_t r = 0; r < kBlock; ++r, rotated = rotate1_epi32(rotated)) found |= cmpeq_epi32(va, rotated);
        count += static_cast<std::uint64_t>(std::popcount(found));
        i += static_cast<std::uint64_t>(std::popcount(cmple_epu32(va, set1_epi32(b_last))));
        j += static_cast<std::uint64_t>(std::popcount(cmple_epu32(vb, set1_epi32(a_last))));
      }
    } while (a_len - i >= kBlock && b_len - j >= kBlock);
  }
  return with_rest(count, a, b, a_len, b_len, i, j);
}

}  // namespace

QM_TARGET_AVX512_VP2INTERSECT void intersect_u16_avx512_vp2intersect(const std::uint16_t* a, const std::uint16_t* b,
                                                                     std::uint64_t a_len, std::uint64_t b_len,
                                                                     double* out) {
  *out = vp2intersect(a, b, a_len, b_len);
}
QM_TARGET_AVX512_VP2INTERSECT void intersect_u32_avx512_vp2intersect(const std::uint32_t* a, const std::uint32_t* b,
                                                                     std::uint64_t a_len, std::uint64_t b_len,
                                                                     double* out) {
  *out = vp2intersect(a, b, a_len, b_len);
}
QM_TARGET_AVX512_INT void intersect_u16_avx512_int(const std::uint16_t* a, const std::uint16_t* b, std::uint64_t a_len,
                                                   std::uint64_t b_len, double* out) {
  *out = all_pairs(a, b, a_len, b_len);
}
QM_TARGET_AVX512_INT void intersect_u32_avx512_int(const std::uint32_t* a, const std::uint32_t* b, std::uint64_t a_len,
                                                   std::uint64_t b_len, double* out) {
  *out = all_pairs(a, b, a_len, b_len);
}

void add_sparse_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("intersect_u16"), Level::avx512_vp2intersect>(&intersect_u16_avx512_vp2intersect);
  t.put<slot_of("intersect_u32"), Level::avx512_vp2intersect>(&intersect_u32_avx512_vp2intersect);
  t.put<slot_of("intersect_u16"), Level::avx512_int>(&intersect_u16_avx512_int);
  t.put<slot_of("intersect_u32"), Level::avx512_int>(&intersect_u32_avx512_int);
}

}  // namespace QM_AVX512_NS
