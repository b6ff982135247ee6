// Checked arithmetic for sizes that come from configuration: never wraps silently.
#pragma once

#include <cstdint>
#include <optional>

namespace quillmere {

// base^exp by repeated squaring; nullopt when the result does not fit in 64 bits.
std::optional<std::uint64_t> checked_pow(std::uint64_t base, std::uint32_t exp) noexcept;
// base^exp by repeated squaring, clamped to UINT64_MAX.
std::uint64_t saturating_pow(std::uint64_t base, std::uint32_t exp) noexcept;
std::optional<std::uint64_t> checked_mul(std::uint64_t a, std::uint64_t b) noexcept;
std::optional<std::uint64_t> checked_add(std::uint64_t a, std::uint64_t b) noexcept;
// a * b and a + b, clamped to UINT64_MAX.
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept;
std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept;

}  // namespace quillmere
