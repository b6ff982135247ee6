// The table-driven harness shared by the kernel tests: every built kernel of a slot (native
// where this processor has the level, emulated for every AVX-512 level), typed inputs per
// element type, and one f64 reference per contract with its tolerance.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
void add_avx512_kernels(detail::KernelTable& t);
namespace emulated {
void add_avx512_kernels(detail::KernelTable& t);
}
}  // namespace quillmere::kernels

namespace harness {

namespace qk = quillmere::kernels;
namespace qd = quillmere::kernels::detail;
using qk::Element;
using qk::Form;
using qk::Level;

inline bool is_avx512(Level l) { return l != Level::serial && l != Level::avx2; }

inline bool cpu_has(Level l) { return (qk::cpu_capabilities() & qk::level_bit(l)) != 0; }

// One kernel of a slot as the tests run it.
struct Variant {
  Level level;
  bool emulated;
  qd::AnyKernel fn;
  std::string name() const { return std::string(qk::level_name(level)) + (emulated ? "(emulated)" : ""); }
};

inline const qd::KernelTable& emulated_table() {
  static const qd::KernelTable t = [] {
    qd::KernelTable e;
    qk::emulated::add_avx512_kernels(e);
    return e;
  }();
  return t;
}

// Every kernel of the slot this machine can run: native levels the processor has, and the
// emulated build of every AVX-512 level.
inline std::vector<Variant> variants(std::size_t slot) {
  std::vector<Variant> out;
  const qk::SlotInfo& info = qd::kTable[slot];
  for (std::size_t i = 0; i < info.n_levels; ++i) {
    const Level l = info.levels[i];
    if (qd::AnyKernel k = qd::kernel_table().get(slot, l); k != nullptr && cpu_has(l)) out.push_back({l, false, k});
    if (is_avx512(l))
      if (qd::AnyKernel k = emulated_table().get(slot, l); k != nullptr) out.push_back({l, true, k});
  }
  return out;
}

inline std::size_t slot(std::string_view name) { return *qk::find_slot(name); }

// ---- element types ----

template <Element E>
using T = typename qd::ElementType<E>::type;

// f16 bits to double, written independently of the library's conversion.
inline double f16_value(std::uint16_t h) {
  const int e = (h >> 10) & 31, f = h & 1023;
  const double sign = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 31) return f ? std::numeric_limits<double>::quiet_NaN() : sign * INFINITY;
  return sign * (e ? std::ldexp(1024 + f, e - 25) : std::ldexp(f, -24));
}
inline double bf16_value(std::uint16_t b) { return std::bit_cast<float>(std::uint32_t{b} << 16); }

// Nearest f16 / bf16 to x (the generators only need a representable value near x).
inline std::uint16_t to_f16(double x) {
  std::uint16_t best = 0;
  double err = INFINITY;
  // Search the binade's neighbourhood from the processor-independent value.
  const std::uint16_t guess = qk::f32_to_f16(static_cast<float>(x));
  for (int d = -1; d <= 1; ++d) {
    const auto h = static_cast<std::uint16_t>(guess + d);
    const double v = f16_value(h);
    if (std::isfinite(v) && std::fabs(v - x) < err) err = std::fabs(v - x), best = h;
  }
  return best;
}
inline std::uint16_t to_bf16(double x) { return static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(static_cast<float>(x)) >> 16); }

template <Element E>
double to_double(T<E> x) {
  if constexpr (E == Element::f16 || E == Element::f16c) return f16_value(x);
  else if constexpr (E == Element::bf16 || E == Element::bf16c) return bf16_value(x);
  else return static_cast<double>(x);
}

template <Element E>
T<E> from_double(double x) {
  if constexpr (E == Element::f16 || E == Element::f16c) return to_f16(x);
  else if constexpr (E == Element::bf16 || E == Element::bf16c) return to_bf16(x);
  else if constexpr (std::is_floating_point_v<T<E>>) return static_cast<T<E>>(x);
  else return static_cast<T<E>>(std::lround(x));
}

// What a kernel reading past its inputs would pick up.
template <Element E>
T<E> poison() {
  if constexpr (E == Element::f16 || E == Element::f16c) return 0x7E00;
  else if constexpr (E == Element::bf16 || E == Element::bf16c) return 0x7FC0;
  else if constexpr (std::is_floating_point_v<T<E>>) return std::numeric_limits<T<E>>::quiet_NaN();
  else return std::numeric_limits<T<E>>::max();
}

constexpr bool is_float(Element e) { return e != Element::i8 && e != Element::u8 && e != Element::b8 && e != Element::u16 && e != Element::u32; }

// Kinds of input: small integers whose every sum is exact at every precision; values of
// several magnitudes and signs; positive vectors that sum to 1 (divergences).
enum class Kind { grid, wide, simplex };

template <Element E>
std::vector<T<E>> make(std::size_t n, Kind kind, std::mt19937& rng, double density = 1.0) {
  std::vector<T<E>> v(n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::bernoulli_distribution keep(density);
  if (kind == Kind::simplex) {
    std::vector<double> w(n);
    double sum = 0;
    for (double& x : w) sum += x = 0.05 + (u(rng) + 1.0) / 2.0;
    for (std::size_t i = 0; i < n; ++i) v[i] = from_double<E>(w[i] / sum);
    return v;
  }
  for (auto& x : v) {
    double d;
    if constexpr (E == Element::u8 || E == Element::b8) d = kind == Kind::grid ? std::floor((u(rng) + 1.0) * 1.5) : std::floor((u(rng) + 1.0) * 127.99);
    else if constexpr (E == Element::i8) d = kind == Kind::grid ? std::round(u(rng)) : std::floor(u(rng) * 128.0);
    else if (kind == Kind::grid) d = std::round(u(rng));
    else if constexpr (E == Element::f16 || E == Element::f16c || E == Element::bf16 || E == Element::bf16c) d = 2.0 * u(rng);
    else d = std::ldexp(u(rng), std::uniform_int_distribution<int>(-4, 4)(rng));
    x = from_double<E>(keep(rng) ? d : 0.0);
  }
  return v;
}

// ---- inputs with every kind of value ----

// What a vector holds: values within a few binades of 1; exponents over the type's whole range
// (products and sums overflow and underflow); signed zeros, subnormals and the smallest normals;
// signed zeros alone; ordinary values with an infinity or a NaN (quiet or signalling, any
// payload) among them. Integer types take their whole range, their extremes, values near 0, or
// zeros, and have no infinity or NaN.
enum class Mix { ordinary, full_range, tiny, zeros, infinity, nan };
inline constexpr Mix kMixes[] = {Mix::ordinary, Mix::full_range, Mix::tiny, Mix::zeros, Mix::infinity, Mix::nan};

inline const char* mix_name(Mix m) {
  constexpr const char* kNames[] = {"ordinary", "full range", "tiny", "zeros", "infinity", "nan"};
  return kNames[static_cast<int>(m)];
}

// Sign, exponent and significand widths of a floating-point element.
struct FloatFormat {
  int bits, exponent_bits;
  int mantissa_bits() const { return bits - 1 - exponent_bits; }
};
template <Element E>
constexpr FloatFormat float_format() {
  if constexpr (E == Element::f16 || E == Element::f16c) return {16, 5};
  else if constexpr (E == Element::bf16 || E == Element::bf16c) return {16, 8};
  else if constexpr (E == Element::f32 || E == Element::f32c) return {32, 8};
  else return {64, 11};
}

template <Element E>
std::uint64_t bits_of(T<E> x) {
  if constexpr (sizeof(T<E>) == 8) return std::bit_cast<std::uint64_t>(x);
  else if constexpr (sizeof(T<E>) == 4) return std::bit_cast<std::uint32_t>(x);
  else return static_cast<std::uint64_t>(x) & ((std::uint64_t{1} << (8 * sizeof(T<E>))) - 1);
}

template <Element E>
bool is_nan(T<E> x) {
  if constexpr (!is_float(E)) return false;
  else {
    constexpr FloatFormat f = float_format<E>();
    const std::uint64_t b = bits_of<E>(x), mantissa = b & ((std::uint64_t{1} << f.mantissa_bits()) - 1);
    return ((b >> f.mantissa_bits()) & ((1u << f.exponent_bits) - 1)) == (1u << f.exponent_bits) - 1u && mantissa != 0;
  }
}

template <Element E>
std::vector<T<E>> mixed(std::size_t n, Mix mix, std::mt19937_64& rng) {
  std::vector<T<E>> v(n);
  if constexpr (is_float(E)) {
    constexpr FloatFormat f = float_format<E>();
    const std::uint64_t emax = (std::uint64_t{1} << f.exponent_bits) - 1, bias = emax / 2;
    const std::uint64_t mantissas = std::uint64_t{1} << f.mantissa_bits();
    using Bits = std::conditional_t<sizeof(T<E>) == 8, std::uint64_t,
                                    std::conditional_t<sizeof(T<E>) == 4, std::uint32_t, std::uint16_t>>;
    // Sign and significand random; an exponent field of 0 with significand 0 is a zero.
    auto make_value = [&](std::uint64_t exponent, bool zero) {
      const std::uint64_t mantissa = zero ? 0 : exponent == 0 ? 1 + rng() % (mantissas - 1) : rng() % mantissas;
      const std::uint64_t b = (rng() % 2) << (f.bits - 1) | exponent << f.mantissa_bits() | mantissa;
      return std::bit_cast<T<E>>(static_cast<Bits>(b));
    };
    for (auto& x : v) {
      const std::uint64_t r = rng() % 4;
      switch (mix) {
        case Mix::full_range: x = make_value(1 + rng() % (emax - 1), false); break;
        case Mix::tiny: x = make_value(r < 2 ? 0 : r - 1, r == 0); break;
        case Mix::zeros: x = make_value(0, true); break;
        default: x = make_value(bias - 4 + rng() % 9, false);
      }
    }
    if (n > 0 && mix == Mix::infinity) v[rng() % n] = make_value(emax, true);
    if (n > 0 && mix == Mix::nan) v[rng() % n] = make_value(emax, false);
  } else {
    using L = std::numeric_limits<T<E>>;
    const T<E> extremes[] = {L::min(), L::max(), T<E>(0), T<E>(1), T<E>(L::max() - 1), T<E>(L::min() + 1)};
    for (auto& x : v) {
      if (mix == Mix::full_range) x = extremes[rng() % std::size(extremes)];
      else if (mix == Mix::tiny) x = static_cast<T<E>>(static_cast<int>(rng() % 5) - (L::is_signed ? 2 : 0));
      else if (mix == Mix::zeros) x = 0;
      else x = static_cast<T<E>>(rng());
    }
  }
  return v;
}

// A strictly increasing set of `n` values below `limit`.
template <class U>
std::vector<U> make_set(std::size_t n, std::uint64_t limit, std::mt19937& rng) {
  std::vector<U> v;
  std::uniform_int_distribution<std::uint64_t> u(0, limit - 1);
  while (v.size() < n) {
    v.push_back(static_cast<U>(u(rng)));
    if (v.size() == n) {
      std::sort(v.begin(), v.end());
      v.erase(std::unique(v.begin(), v.end()), v.end());
    }
  }
  return v;
}

// A vector with `guard` poisoned elements after its n values.
template <Element E>
std::vector<T<E>> guarded(std::vector<T<E>> v, std::size_t guard = 64) {
  v.resize(v.size() + guard, poison<E>());
  return v;
}

// Calls a variant with its slot's argument types.
template <std::size_t S, class... Args>
void run(const Variant& v, Args... args) {
  reinterpret_cast<qd::Kernel<S>>(v.fn)(args...);
}

// ---- references: the contract in f64, and how far a result may stray ----

// A result and the absolute distance it may lie from the exact value.
struct Expect {
  double value;
  double tol;
};

inline std::string_view op_kind(std::size_t slot) {
  const std::string_view name = qd::kTable[slot].name;
  return name.substr(0, name.rfind('_'));
}

// Unit roundoff of the precision a variant sums in.
inline double sum_unit(std::size_t slot, Level level) {
  const qk::SlotInfo& info = qd::kTable[slot];
  const std::string_view k = op_kind(slot);
  if ((info.element == Element::f16 || info.element == Element::f16c) && level == Level::avx512_fp16 && k != "kl" &&
      k != "js")
    return 0x1p-11;
  if (info.element == Element::f64 || info.element == Element::f64c) return 0x1p-53;
  return 0x1p-24;
}

// Relative error a variant may put into each term before summing: the bf16 pair products
// take differences cut to bf16.
inline double term_unit(std::size_t slot, Level level) {
  const std::string_view k = op_kind(slot);
  if (qd::kTable[slot].element == Element::bf16 && level == Level::avx512_bf16 &&
      (k == "l2sq" || k == "l2" || k == "mahalanobis"))
    return 0x1p-6;
  return 0.0;
}

// Unit roundoff of an element-wise result's type.
inline double element_unit(Element e) {
  switch (e) {
    case Element::f16: return 0x1p-11;
    case Element::bf16: return 0x1p-8;
    case Element::f32: return 0x1p-24;
    case Element::f64: return 0x1p-53;
    default: return 0.0;
  }
}

// Sum of terms with its sum of magnitudes.
struct Sum {
  double value = 0.0;
  double magnitude = 0.0;
  void add(double t) { value += t, magnitude += std::fabs(t); }
};

// Tolerance of a sum of n terms (2n + 2 roundings of the summing precision, at most, in any
// order of summation), or exact when `exact` (grid inputs, whose every partial sum is exact).
inline double sum_tol(const Sum& s, std::uint64_t n, std::size_t slot, Level level, bool exact) {
  if (exact && term_unit(slot, level) == 0.0) return 0.0;
  return (term_unit(slot, level) + 2.0 * static_cast<double>(n + 2) * sum_unit(slot, level)) * s.magnitude + 1e-300;
}

// A square root of a sum: within 1e-3 of the root (the serial bit-pattern estimate) plus what
// the sum's own error does to the root.
inline Expect root_of(const Sum& s, double sum_error) {
  const double r = std::sqrt(std::max(s.value, 0.0));
  const double from_sum = r > 0.0 ? std::min(std::sqrt(sum_error), sum_error / (2.0 * r)) : std::sqrt(sum_error);
  return {r, 1e-3 * r + from_sum + 1e-12};
}

}  // namespace harness
