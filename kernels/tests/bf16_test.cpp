// What the contract test cannot show for the bf16 family: the conversions' exact values, inputs
// whose result differs by level in a stated way (flushing, truncated differences, orders of
// summation), the special cases, and the mended behaviours (NaN rounding, serial roots of
// infinite and negative sums, the per-row reset of the avx2 matrix forms).
#include "harness.h"

namespace {

using namespace harness;
using Bf16 = std::uint16_t;
using Vec = std::vector<Bf16>;

// Exact bf16 values (truncating an f32 that is already one).
Vec values(std::initializer_list<double> xs) {
  Vec v;
  for (double x : xs) v.push_back(to_bf16(x));
  return v;
}
// n elements, zero but for the given positions.
Vec sparse(std::size_t n, std::initializer_list<std::pair<std::size_t, double>> at) {
  Vec v(n, 0);
  for (auto [i, x] : at) v[i] = to_bf16(x);
  return v;
}

// What each level should give: the row's AVX-512 level, avx2, serial.
struct PerLevel {
  double vec, avx2, serial;
  double at(Level l) const { return l == Level::avx2 ? avx2 : l == Level::serial ? serial : vec; }
};

using Results = std::vector<std::pair<Variant, double>>;

// Every kernel of a dense or matrix operation on (a, b[, c]); n is a's length.
template <std::size_t S>
Results all_levels(const Vec& a, const Vec& b, const Vec& c) {
  Results out;
  for (const Variant& v : variants(S)) {
    double r = -1.0;
    if constexpr (qd::kTable[S].form == Form::matrix) run<S>(v, a.data(), b.data(), c.data(), a.size(), &r);
    else run<S>(v, a.data(), b.data(), a.size(), &r);
    out.emplace_back(v, r);
  }
  return out;
}

constexpr auto dot = &all_levels<qd::slot_of("dot_bf16")>;
constexpr auto cos = &all_levels<qd::slot_of("cos_bf16")>;
constexpr auto l2sq = &all_levels<qd::slot_of("l2sq_bf16")>;
constexpr auto l2 = &all_levels<qd::slot_of("l2_bf16")>;
constexpr auto kl = &all_levels<qd::slot_of("kl_bf16")>;
constexpr auto js = &all_levels<qd::slot_of("js_bf16")>;
constexpr auto bilinear = &all_levels<qd::slot_of("bilinear_bf16")>;
constexpr auto mahalanobis = &all_levels<qd::slot_of("mahalanobis_bf16")>;

Vec identity(std::size_t n) {
  Vec c(n * n, 0);
  for (std::size_t i = 0; i < n; ++i) c[i * n + i] = 0x3F80;
  return c;
}

TEST(Bf16, ConversionsAndRoundTrip) {
  EXPECT_EQ(qk::bf16_to_f32(0x3F80), 1.0f);
  EXPECT_EQ(qk::bf16_to_f32(0x7F80), INFINITY);
  EXPECT_EQ(qk::bf16_to_f32(0xFF80), -INFINITY);
  EXPECT_TRUE(std::isnan(qk::bf16_to_f32(0x7FC0)));
  const std::pair<std::uint32_t, Bf16> narrow[] = {
      {0x3F800000, 0x3F80}, {0x3F808000, 0x3F81}, {0xBF808000, 0xBF81},  // ties away from zero
      {0x3F807FFF, 0x3F80}, {0x7F7FFFFF, 0x7F80},                        // the largest finite f32
      {0x7FFFFFFF, 0x7FFF}, {0xFFFFFFFF, 0xFFFF}, {0x7F800001, 0x7FC0},  // NaNs stay quiet NaNs
  };
  for (auto [bits, want] : narrow) EXPECT_EQ(qk::f32_to_bf16(std::bit_cast<float>(bits)), want) << std::hex << bits;
  for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
    const auto b = static_cast<Bf16>(h);
    const bool nan = (h & 0x7F80) == 0x7F80 && (h & 0x7F) != 0;
    ASSERT_EQ(qk::f32_to_bf16(qk::bf16_to_f32(b)), nan ? b | 0x40 : b) << std::hex << h;
  }
}

TEST(Bf16, ValuesByLevel) {
  constexpr double kInf = INFINITY, kNaN = NAN;
  struct Case {
    const char* what;
    Results (*op)(const Vec&, const Vec&, const Vec&);
    Vec a, b, c;
    PerLevel want;
  };
  const Case cases[] = {
      {"subnormal inputs count as zero at avx512_bf16", dot, {0x0040}, {0x7180}, {}, {0.0, 0x1p-27, 0x1p-27}},
      {"differences cut to bf16 at avx512_bf16", l2sq, {0x4380}, {0x3F81}, {}, {64516.0, 65021.015625, 65021.015625}},
      // Lane 0 takes a1 b1 before a0 b0; avx2 lanes 0 and 1 get elements 0, 32 and 1, 33.
      {"pair order", dot, sparse(34, {{0, 1}, {1, 0x1p12}, {32, 1}, {33, -0x1p12}}),
       sparse(34, {{0, 1}, {1, 0x1p12}, {32, 1}, {33, 0x1p12}}), {}, {1.0, 2.0, 0.0}},
      // Lanes 2^24, 1, -2^24, 1: (l0 + l1) + (l2 + l3) in f32 at avx512_bf16, f64 at avx2.
      {"reduction tree", dot, values({0x1p12, 0, 1, 0, -0x1p12, 0, 1, 0}), values({0x1p12, 0, 1, 0, 0x1p12, 0, 1, 0}),
       {}, {1.0, 2.0, 1.0}},
      // The same lanes in a bilinear row reduce by halves: (l0 + l2) + (l1 + l3).
      {"reduction by halves", bilinear, sparse(8, {{0, 1}}), values({1, 1, 1, 1, 1, 1, 1, 1}),
       sparse(64, {{0, 0x1p24}, {2, 1}, {4, -0x1p24}, {6, 1}}), {2.0, 2.0, 1.0}},
      // An inner sum carried over from the rows before would give 36.
      {"each row's inner sum starts at zero", bilinear, values({1, 1, 1, 1, 1, 1, 1, 1}),
       values({1, 1, 1, 1, 1, 1, 1, 1}), identity(8), {8.0, 8.0, 8.0}},
      {"an infinite sum has an infinite root", l2, {0x7F00}, {0xFF00}, {}, {kInf, kInf, kInf}},
      {"a negative form has no root", mahalanobis, values({1}), values({0}), values({-1}), {kNaN, kNaN, kNaN}},
      {"cos of two zero vectors", cos, values({0, 0, 0}), values({0, 0, 0}), {}, {0.0, 0.0, 0.0}},
      {"cos of a zero and a non-zero vector", cos, values({0, 0, 0}), values({1, 2, 0}), {}, {1.0, 1.0, 1.0}},
      {"cos of orthogonal vectors", cos, values({1, 0}), values({0, 3}), {}, {1.0, 1.0, 1.0}},
      {"cos with a NaN", cos, {0x7FC0, 0x3F80}, values({1, 1}), {}, {0.0, 0.0, 0.0}},
      {"kl of a vector with itself", kl, values({0.25, 0.75}), values({0.25, 0.75}), {}, {0.0, 0.0, 0.0}},
      {"js of a vector with itself", js, values({0.25, 0.75}), values({0.25, 0.75}), {}, {0.0, 0.0, 0.0}},
      // The three-term series of ln(1 + t) would give 7.5 for ln 4 in the second term.
      {"kl takes the true logarithm", kl, values({0.5, 0.5}), values({0.5, 0.125}), {}, {0.0, 0.0, 0.6931471}},
  };
  for (const Case& k : cases) {
    for (const auto& [v, got] : k.op(k.a, k.b, k.c)) {
      const double want = k.want.at(v.level);
      if (std::isnan(want)) EXPECT_TRUE(std::isnan(got)) << k.what << " at " << v.name() << ": " << got;
      else if (std::isinf(want)) EXPECT_EQ(got, want) << k.what << " at " << v.name();
      else EXPECT_NEAR(got, want, std::fabs(want) * 1e-6) << k.what << " at " << v.name();
    }
  }
}

TEST(Bf16, ElementWiseByLevel) {
  constexpr std::uint64_t n = 17;  // avx2: two blocks and one element; avx512f: a block and a masked step
  constexpr int kAnyNaN = -1;
  struct Case {
    const char* what;
    bool fma;
    Bf16 a, b, c;
    double alpha, beta;
    int vec, avx2, serial;  // result bits, or kAnyNaN
  };
  const double payload_nan = std::bit_cast<double>(std::uint64_t{0x7FFFFFFFFFFFFFFF});
  const Case cases[] = {
      {"1 + 2^-8 rounds away from zero", false, 0x3F80, 0x3B80, 0, 1.0, 1.0, 0x3F81, 0x3F81, 0x3F81},
      {"-1 - 2^-8 rounds away from zero", false, 0xBF80, 0xBB80, 0, 1.0, 1.0, 0xBF81, 0xBF81, 0xBF81},
      {"alpha = 0 leaves an infinite a unread", false, 0x7F80, 0x3F80, 0, 0.0, 2.0, 0x4000, 0x4000, kAnyNaN},
      // The rounding bias would carry a full payload into the sign: 0x7FFFFFFF gave -0.0.
      {"a NaN of full payload stays a NaN (wsum)", false, 0x3F80, 0x3F80, 0, payload_nan, 1.0, 0x7FFF, 0x7FFF, 0x7FFF},
      {"a NaN of full payload stays a NaN (fma)", true, 0x3F80, 0x3F80, 0x3F80, payload_nan, 1.0, 0x7FFF, 0x7FFF,
       0x7FFF},
  };
  for (const Case& k : cases) {
    const Vec a(n, k.a), b(n, k.b), c(n, k.c);
    const std::size_t slot = k.fma ? qd::slot_of("fma_bf16") : qd::slot_of("wsum_bf16");
    for (const Variant& v : variants(slot)) {
      Vec out(n, 0x1234);
      if (k.fma) run<qd::slot_of("fma_bf16")>(v, a.data(), b.data(), c.data(), n, k.alpha, k.beta, out.data());
      else run<qd::slot_of("wsum_bf16")>(v, a.data(), b.data(), n, k.alpha, k.beta, out.data());
      const int want = v.level == Level::avx2 ? k.avx2 : v.level == Level::serial ? k.serial : k.vec;
      for (std::uint64_t i = 0; i < n; ++i) {
        if (want == kAnyNaN) ASSERT_TRUE(std::isnan(bf16_value(out[i]))) << k.what << " at " << v.name() << " i=" << i;
        else ASSERT_EQ(out[i], want) << k.what << " at " << v.name() << " i=" << i;
      }
    }
  }
}

}  // namespace
