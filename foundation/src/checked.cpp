#include "quillmere/checked.h"

#include <limits>

namespace quillmere {

std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<std::uint64_t> checked_pow(std::uint64_t base, std::uint32_t exp) noexcept {
  std::uint64_t acc = 1;
  while (exp > 0) {
    if (exp & 1u) {
      auto m = checked_mul(acc, base);
      if (!m) return std::nullopt;
      acc = *m;
    }
    exp >>= 1;
    if (exp > 0) {
      auto sq = checked_mul(base, base);
      if (!sq) return std::nullopt;
      base = *sq;
    }
  }
  return acc;
}

std::uint64_t saturating_pow(std::uint64_t base, std::uint32_t exp) noexcept {
  return checked_pow(base, exp).value_or(std::numeric_limits<std::uint64_t>::max());
}

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  return checked_mul(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return checked_add(a, b).value_or(std::numeric_limits<std::uint64_t>::max());
}

}  // namespace quillmere
