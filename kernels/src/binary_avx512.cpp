// Bit-vector kernels at the avx512_int level, written over the vector layer (built twice:
// native and emulated). 64-byte blocks counted per 64-bit lane; vectors of up to 256 bytes
// take straight-line code (up to three whole blocks, then one masked block), longer ones
// whole blocks in a loop and one masked block for what is left.
#include "binary.h"
#include "dispatch.h"
#include "quillmere/kernels.h"
#include "vec512_bits.h"

namespace QM_AVX512_NS {

using namespace v512;

namespace {

// Lane counts of a XOR b (hamming), or of a AND b and a OR b (jaccard).
template <bool Jaccard>
struct BitCounts {
  I512 first, second;
};

template <bool Jaccard>
QM_INLINE QM_TARGET_AVX512_INT void count_block(BitCounts<Jaccard>& c, I512 a, I512 b) {
  if constexpr (Jaccard) {
    c.first = add_epi64(c.first, popcnt_epi64(and_si(a, b)));
    c.second = add_epi64(c.second, popcnt_epi64(or_si(a, b)));
  } else {
    c.first = add_epi64(c.first, popcnt_epi64(xor_si(a, b)));
  }
}

template <bool Jaccard>
QM_INLINE QM_TARGET_AVX512_INT void count_whole(BitCounts<Jaccard>& c, const std::uint8_t* a, const std::uint8_t* b) {
  count_block(c, loadu_si(a), loadu_si(b));
}

// The last r bytes (0 to 64) in one block, zero-filled; first64 gives every bit for r = 64
// without shifting by 64.
template <bool Jaccard>
QM_INLINE QM_TARGET_AVX512_INT void count_masked(BitCounts<Jaccard>& c, const std::uint8_t* a, const std::uint8_t* b,
                                              std::uint64_t r) {
  const M64 m = first64(r);
  count_block(c, maskz_loadu_epi8(m, a), maskz_loadu_epi8(m, b));
}

template <bool Jaccard>
QM_INLINE QM_TARGET_AVX512_INT BitCounts<Jaccard> count_bits(const std::uint8_t* a, const std::uint8_t* b,
                                                             std::uint64_t n) {
  BitCounts<Jaccard> c{zero_si(), zero_si()};
  if (n <= 256) {
    const std::uint64_t whole = n == 0 ? 0 : (n - 1) / 64;
    switch (whole) {
      case 3: count_whole(c, a + 128, b + 128); [[fallthrough]];
      case 2: count_whole(c, a + 64, b + 64); [[fallthrough]];
      case 1: count_whole(c, a, b); [[fallthrough]];
      default: break;
    }
    count_masked(c, a + 64 * whole, b + 64 * whole, n - 64 * whole);
    return c;
  }
  std::uint64_t i = 0;
  for (; n - i >= 64; i += 64) count_whole(c, a + i, b + i);
  if (n - i != 0) count_masked(c, a + i, b + i, n - i);
  return c;
}

}  // namespace

QM_TARGET_AVX512_INT void hamming_b8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n,
                                                double* out) {
  *out = static_cast<double>(reduce_add_epi64(count_bits<false>(a, b, n).first));
}

QM_TARGET_AVX512_INT void jaccard_b8_avx512_int(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n,
                                                double* out) {
  const BitCounts<true> c = count_bits<true>(a, b, n);
  *out = detail::jaccard(reduce_add_epi64(c.first), reduce_add_epi64(c.second));
}

void add_binary_avx512(detail::KernelTable& t) {
  using detail::slot_of;
  t.put<slot_of("hamming_b8"), Level::avx512_int>(&hamming_b8_avx512_int);
  t.put<slot_of("jaccard_b8"), Level::avx512_int>(&jaccard_b8_avx512_int);
}

}  // namespace QM_AVX512_NS
