// xoshiro256++: a small, fast 64-bit generator whose output is fixed bit for bit by its
// state, so the same state gives the same draws on every platform and compiler.
#pragma once

#include <array>
#include <cstdint>

namespace quillmere {

class Xoshiro256pp {
 public:
  using State = std::array<std::uint64_t, 4>;

  // The state must not be all zero (the generator would only ever return 0).
  explicit constexpr Xoshiro256pp(const State& state) noexcept : s_(state) {}

  constexpr std::uint64_t next() noexcept {
    const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // 32 random bits: the upper half of one output (the better mixed half).
  constexpr std::uint32_t next_u32() noexcept { return static_cast<std::uint32_t>(next() >> 32); }

  // Uniform in [0, bound) for bound > 0, without modulo bias (multiply-and-reject). Only
  // integer arithmetic on 64-bit outputs, so it is identical everywhere. Returns 0 for bound 0.
  constexpr std::uint64_t below(std::uint64_t bound) noexcept {
    if (bound == 0) return 0;
    unsigned __int128 m = static_cast<unsigned __int128>(next()) * bound;
    auto low = static_cast<std::uint64_t>(m);
    if (low < bound) {
      const std::uint64_t threshold = (0 - bound) % bound;
      while (low < threshold) {
        m = static_cast<unsigned __int128>(next()) * bound;
        low = static_cast<std::uint64_t>(m);
      }
    }
    return static_cast<std::uint64_t>(m >> 64);
  }

  constexpr const State& state() const noexcept { return s_; }

 private:
  static constexpr std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
  State s_;
};

}  // namespace quillmere
