// Bit-vector kernels at the serial and avx2 levels, and the bit-vector entries. Counts are
// unsigned 64-bit at every level: 32 bits would wrap beyond 512 MiB of set bits.
#include <immintrin.h>

#include <array>
#include <bit>
#include <cstring>

#include "binary.h"
#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

constexpr std::array<std::uint8_t, 256> kBitCount = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) t[i] = static_cast<std::uint8_t>(std::popcount(i));
  return t;
}();

}  // namespace

void hamming_b8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out) {
  std::uint64_t x = 0;
  for (std::uint64_t i = 0; i < n; ++i) x += kBitCount[a[i] ^ b[i]];
  *out = static_cast<double>(x);
}

void jaccard_b8_serial(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out) {
  std::uint64_t both = 0, either = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    both += kBitCount[a[i] & b[i]];
    either += kBitCount[a[i] | b[i]];
  }
  *out = detail::jaccard(both, either);
}

__attribute__((target("popcnt"))) void hamming_b8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n,
                                                       double* out) {
  std::uint64_t x = 0, i = 0;
  for (; n - i >= 8; i += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a + i, 8);
    std::memcpy(&wb, b + i, 8);
    x += static_cast<std::uint64_t>(_mm_popcnt_u64(wa ^ wb));
  }
  for (; i < n; ++i) x += static_cast<std::uint64_t>(_mm_popcnt_u32(a[i] ^ b[i]));
  *out = static_cast<double>(x);
}

__attribute__((target("popcnt"))) void jaccard_b8_avx2(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n,
                                                       double* out) {
  std::uint64_t both = 0, either = 0, i = 0;
  for (; n - i >= 8; i += 8) {
    std::uint64_t wa, wb;
    std::memcpy(&wa, a + i, 8);
    std::memcpy(&wb, b + i, 8);
    both += static_cast<std::uint64_t>(_mm_popcnt_u64(wa & wb));
    either += static_cast<std::uint64_t>(_mm_popcnt_u64(wa | wb));
  }
  for (; i < n; ++i) {
    both += static_cast<std::uint64_t>(_mm_popcnt_u32(a[i] & b[i]));
    either += static_cast<std::uint64_t>(_mm_popcnt_u32(a[i] | b[i]));
  }
  *out = detail::jaccard(both, either);
}

// ---- entries ----

void hamming_b8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("hamming_b8")>(a, b, n, out);
}
void jaccard_b8(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t n, double* out) {
  detail::call<detail::slot_of("jaccard_b8")>(a, b, n, out);
}

void detail::add_binary_kernels(KernelTable& t) {
  t.put<slot_of("hamming_b8"), avx2>(&hamming_b8_avx2);
  t.put<slot_of("hamming_b8"), serial>(&hamming_b8_serial);
  t.put<slot_of("jaccard_b8"), avx2>(&jaccard_b8_avx2);
  t.put<slot_of("jaccard_b8"), serial>(&jaccard_b8_serial);
}

}  // namespace quillmere::kernels
