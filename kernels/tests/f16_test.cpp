// The f16 family beyond the generic contracts: the software conversions (exact values, every
// f16, every f32), and per level the hand-computed cases that pin a level's rounding and
// order, the forced results, and the behaviour of the mended paths.
#include <algorithm>
#include <atomic>
#include <thread>

#include "harness.h"

namespace {

using namespace harness;
using V16 = std::vector<std::uint16_t>;

constexpr std::uint16_t kOne = 0x3C00, kInf = 0x7C00, kMax = 0x7BFF, kTiny = 0x0001;  // 1, inf, 65504, 2^-24

V16 f16s(std::initializer_list<double> xs) {
  V16 v;
  for (double x : xs) v.push_back(std::isinf(x) ? static_cast<std::uint16_t>(x > 0 ? kInf : 0xFC00) : to_f16(x));
  return v;
}

bool same_sign_nan(std::uint16_t h, bool negative) {
  return (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0 && ((h & 0x8000) != 0) == negative;
}

// ---- conversions ----

TEST(F16Conversion, ExactValuesAndEveryF16RoundTrips) {
  const std::pair<std::uint16_t, float> widened[] = {
      {0x0001, 0x1p-24f}, {0x03FF, 1023 * 0x1p-24f}, {0x3C00, 1.0f}, {0x7C00, INFINITY}, {0xFC00, -INFINITY}};
  for (auto [h, f] : widened) EXPECT_EQ(qk::f16_to_f32(h), f) << std::hex << h;
  EXPECT_TRUE(std::isnan(qk::f16_to_f32(0x7E00)));
  const std::pair<float, std::uint16_t> narrowed[] = {
      {65519.0f, 0x7BFF}, {65520.0f, 0x7C00},   {1e6f, 0x7C00},         {-INFINITY, 0xFC00},
      {NAN, 0x7FFF},      {-NAN, 0xFFFF},       {0x1p-25f, 0x0001},      {1.00048828125f, 0x3C01}};
  for (auto [f, h] : narrowed) EXPECT_EQ(qk::f32_to_f16(f), h) << f;

  for (std::uint32_t i = 0; i < 65536; ++i) {
    const auto h = static_cast<std::uint16_t>(i);
    const float f = qk::f16_to_f32(h);
    const std::uint16_t back = qk::f32_to_f16(f);
    if (std::isnan(f16_value(h))) {
      ASSERT_TRUE(std::isnan(f) && std::signbit(f) == ((h & 0x8000) != 0)) << std::hex << h;
      ASSERT_TRUE(same_sign_nan(back, h & 0x8000)) << std::hex << h << " -> " << back;
    } else {
      ASSERT_EQ(static_cast<double>(f), f16_value(h)) << std::hex << h;
      ASSERT_EQ(back, h) << std::hex << h;
    }
  }
}

// Round half away from zero by arithmetic on values, not bits: within one binade of f32 the
// f16 unit is 2^q, and the result is the integer count k of units nearest |x|, halves up.
std::uint16_t half_away_reference(float x, int q, double unit_scale) {
  const std::uint16_t s = std::signbit(x) ? 0x8000 : 0;
  if (std::isnan(x)) return s | 0x7FFF;
  if (std::isinf(x)) return s | 0x7C00;
  const double k = static_cast<double>(static_cast<std::int64_t>(std::fabs(static_cast<double>(x)) * unit_scale + 0.5));
  if (k == 0.0) return s;
  if (std::ldexp(k, q) > 65504.0) return s | 0x7C00;
  return static_cast<std::uint16_t>(s | (((q + 24) << 10) + static_cast<int>(k)));
}

TEST(F16Conversion, F32ToF16RoundsHalfAwayForEveryFloat) {
  // One task per (sign, exponent field); every f32 of it checked.
  std::atomic<unsigned> next{0};
  std::atomic<std::uint64_t> wrong{0}, first_wrong{~std::uint64_t{0}};
  auto work = [&] {
    for (unsigned t; (t = next++) < 512;) {
      const std::uint32_t top = t << 23;
      int e = 0;
      std::frexp(static_cast<double>(std::bit_cast<float>(top | (t % 256 == 0 ? 0x800000u : 0u))), &e);
      const int q = std::max(e - 11, -24);
      const double unit_scale = std::ldexp(1.0, -q);
      for (std::uint32_t m = 0; m < (1u << 23); ++m) {
        const std::uint32_t bits = top | m;
        const float x = std::bit_cast<float>(bits);
        if (qk::f32_to_f16(x) != half_away_reference(x, q, unit_scale)) {
          ++wrong;
          std::uint64_t seen = first_wrong.load();
          while (bits < seen && !first_wrong.compare_exchange_weak(seen, bits)) {
          }
        }
      }
    }
  };
  std::vector<std::thread> pool(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  for (auto& th : pool) th = std::thread(work);
  for (auto& th : pool) th.join();
  EXPECT_EQ(wrong.load(), 0u) << "first at f32 bits 0x" << std::hex << first_wrong.load();
}

// ---- kernels ----

// Every f16 kernel of a dense or matrix slot (c empty for dense), result by level.
template <std::size_t S>
std::vector<std::pair<Variant, double>> each(const V16& a, const V16& b, const V16& c = {}) {
  std::vector<std::pair<Variant, double>> out;
  for (const Variant& v : variants(S)) {
    double r = -12345.0;
    if constexpr (qd::kTable[S].form == Form::matrix) run<S>(v, a.data(), b.data(), c.data(), std::uint64_t{a.size()}, &r);
    else run<S>(v, a.data(), b.data(), std::uint64_t{a.size()}, &r);
    out.emplace_back(v, r);
  }
  EXPECT_TRUE(std::ranges::any_of(out, [](const auto& r) { return r.first.emulated; })) << "avx512_fp16 (emulated)";
  return out;
}

constexpr std::size_t kDot = qd::slot_of("dot_f16"), kCos = qd::slot_of("cos_f16"), kL2 = qd::slot_of("l2_f16"),
                      kKl = qd::slot_of("kl_f16"), kJs = qd::slot_of("js_f16"), kBilinear = qd::slot_of("bilinear_f16"),
                      kMahalanobis = qd::slot_of("mahalanobis_f16"), kWsum = qd::slot_of("wsum_f16"),
                      kFma = qd::slot_of("fma_f16");

// Results that tell the levels' precisions and orders apart, by level (serial, avx2, fp16).
TEST(F16Kernels, HandComputedResultsPerLevel) {
  struct Case {
    const char* what;
    V16 a, b;
    double serial, avx2, fp16;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  V16 tree(32, 0), big(512, to_f16(16.0)), order(8, 0), order_b(8, 0);
  tree[0] = to_f16(2048.0), tree[1] = kOne, tree[17] = kOne;  // f16 halving adds lanes 1 and 17 first
  order[0] = kMax, order_b[0] = kMax, order[1] = kTiny, order_b[1] = kTiny, order[4] = kMax, order_b[4] = 0xFBFF;
  const Case cases[] = {
      {"16 x 16 summed 512 times overflows f16", big, big, 131072.0, 131072.0, INFINITY},
      // 2048 + 1 + 1: sequentially the ones vanish in f16, in the halving tree they meet first.
      {"halving tree", tree, V16(32, kOne), 2050.0, 2050.0, 2050.0},
      // Lanes 0 and 4 cancel in f64 before lane 1's 2^-48 is added; serial loses it in f32.
      {"avx2 pairs lanes j and j+4", order, order_b, 0.0, 0x1p-48, nan},
  };
  for (const Case& c : cases)
    for (auto [v, got] : each<kDot>(c.a, c.b)) {
      const double want = v.level == Level::serial ? c.serial : v.level == Level::avx2 ? c.avx2 : c.fp16;
      if (std::isnan(want)) EXPECT_TRUE(std::isnan(got)) << c.what << " " << v.name();
      else EXPECT_EQ(got, want) << c.what << " " << v.name();
    }
  // Rows 0, 2 and 3 give 2048, 1 and 1: avx512_fp16's four row accumulators are summed as
  // (acc0 + acc1) + (acc2 + acc3), so the ones meet first; added in turn they would vanish.
  const V16 c = f16s({2048, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0});
  for (auto [v, got] : each<kBilinear>(V16(4, kOne), f16s({1, 0, 0, 0}), c)) EXPECT_EQ(got, 2050.0) << v.name();
}

// The forced cosines, in their order, at every level: a NaN or an infinite estimate may not
// leak through the formula.
TEST(F16Kernels, CosineForcedResults) {
  const struct {
    const char* what;
    V16 a, b;
    double want, tol;
  } cases[] = {
      {"both zero", f16s({0, 0, 0}), f16s({0, 0, 0}), 0.0, 0.0},
      {"one zero", f16s({0, 0, 0}), f16s({1, 2, 3}), 1.0, 0.0},
      {"orthogonal", f16s({1, 0, 2}), f16s({0, 5, 0}), 1.0, 0.0},
      {"a NaN element", {kOne, 0x7E00}, {kOne, kOne}, 0.0, 0.0},
      // In f16, aa = 2^-48 underflows to 0 while ab does not: 1/sqrt(0) is infinite.
      {"aa underflows", {kTiny}, f16s({100}), 0.0, 2e-3},
      {"with itself", f16s({0.5, -3, 7, 0.25, 1, 2, 3, 4, 5}), f16s({0.5, -3, 7, 0.25, 1, 2, 3, 4, 5}), 0.0, 2e-3},
  };
  for (const auto& c : cases)
    for (auto [v, got] : each<kCos>(c.a, c.b)) {
      EXPECT_NEAR(got, c.want, c.tol) << c.what << " " << v.name();
      EXPECT_GE(got, 0.0) << c.what << " " << v.name();
    }
}

// Both divergences of vectors with zeros (ratios of 1e7) against the natural logarithm in
// f64, at every level; of a vector with itself exactly 0. The avx512_fp16 kernels give the
// avx2 results to the bit, at every length and on any input.
TEST(F16Kernels, Divergences) {
  const V16 p = f16s({1, 0, 0.25, 0.75}), q = f16s({0, 1, 0.5, 0.5});
  double kl = 0.0, js = 0.0;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const double x = f16_value(p[i]), y = f16_value(q[i]), m = (x + y) / 2 + 1e-7;
    kl += x * std::log((x + 1e-7) / (y + 1e-7));
    js += x * std::log((x + 1e-7) / m) + y * std::log((y + 1e-7) / m);
  }
  js = std::sqrt(js / 2);
  for (auto [v, got] : each<kKl>(p, q)) EXPECT_NEAR(got, kl, 2e-3 * kl) << "kl " << v.name();
  for (auto [v, got] : each<kJs>(p, q)) EXPECT_NEAR(got, js, 2e-3 * js) << "js " << v.name();

  std::mt19937 rng(7);
  const V16 s = make<Element::f16>(37, Kind::simplex, rng);
  for (auto [v, got] : each<kKl>(s, s)) EXPECT_EQ(got, 0.0) << "kl with itself " << v.name();
  for (auto [v, got] : each<kJs>(s, s)) EXPECT_EQ(got, 0.0) << "js with itself " << v.name();

  for (std::uint64_t n = 0; n <= 1000; n = n < 80 ? n + 1 : n * 3) {
    for (Kind k : {Kind::simplex, Kind::wide}) {
      const V16 a = make<Element::f16>(n, k, rng), b = make<Element::f16>(n, k, rng);
      for (std::size_t slot : {kKl, kJs}) {
        const auto got = slot == kKl ? each<kKl>(a, b) : each<kJs>(a, b);
        double avx2 = 1.0, fp16 = 2.0;
        for (auto [v, r] : got) (v.level == Level::avx2 ? avx2 : v.level == Level::avx512_fp16 ? fp16 : r) = r;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fp16), std::bit_cast<std::uint64_t>(avx2))
            << qd::kTable[slot].name << " n=" << n << (k == Kind::wide ? " wide" : " simplex");
      }
    }
  }
}

// With the identity matrix the bilinear form is the inner product and mahalanobis is l2
// (exactly, on small integers); a row sum carried into the next row would break this.
// A negative form gives NaN at every level; an infinite distance stays infinite.
TEST(F16Kernels, MatrixForms) {
  for (std::uint64_t n : {5, 20, 32, 40}) {
    std::mt19937 rng(static_cast<unsigned>(n));
    const V16 a = make<Element::f16>(n, Kind::grid, rng), b = make<Element::f16>(n, Kind::grid, rng);
    V16 eye(n * n, 0), minus_eye(n * n, 0);
    for (std::uint64_t i = 0; i < n; ++i) eye[i * n + i] = kOne, minus_eye[i * n + i] = 0xBC00;
    const auto dot = each<kDot>(a, b), l2 = each<kL2>(a, b);
    const auto bilinear = each<kBilinear>(a, b, eye), mahalanobis = each<kMahalanobis>(a, b, eye);
    for (std::size_t l = 0; l < 3; ++l) {
      const std::string at = dot[l].first.name() + " n=" + std::to_string(n);
      EXPECT_EQ(bilinear[l].second, dot[l].second) << at;
      EXPECT_EQ(mahalanobis[l].second, l2[l].second) << at;
    }
    for (auto [v, got] : each<kMahalanobis>(a, V16(n, 0), minus_eye)) {
      ASSERT_TRUE(std::any_of(a.begin(), a.end(), [](std::uint16_t h) { return (h & 0x7FFF) != 0; }));
      EXPECT_TRUE(std::isnan(got)) << "negative form " << v.name() << " n=" << n << " got " << got;
    }
  }
  for (auto [v, got] : each<kL2>({kInf, kOne}, {0, 0})) EXPECT_EQ(got, INFINITY) << v.name();
}

// An input that a vector level's weighted-sum case does not need is not read: an infinity
// there stays out of the result (serial multiplies it by 0 and gives NaN). And 1 times
// 1 + 2^-11, halfway between two f16 values: the avx2 blocks round it to even with F16C, the
// avx2 tail and serial away from zero, and avx512_fp16 already rounds alpha to even.
TEST(F16Kernels, ElementWise) {
  constexpr std::uint64_t n = 40;
  const V16 ones(n, kOne), infs(n, kInf);
  for (const Variant& v : variants(kWsum)) {
    for (auto [alpha, beta] : {std::pair{0.0, 2.0}, std::pair{2.0, 0.0}}) {
      V16 out(n, 0);
      run<kWsum>(v, (alpha == 0.0 ? infs : ones).data(), (beta == 0.0 ? infs : ones).data(), n, alpha, beta,
                 out.data());
      for (std::uint64_t i = 0; i < n; ++i) {
        if (v.level == Level::serial) {
          EXPECT_TRUE(std::isnan(f16_value(out[i]))) << v.name() << " i=" << i;
        } else {
          EXPECT_EQ(out[i], to_f16(2.0)) << v.name() << " alpha=" << alpha << " i=" << i;
        }
      }
    }
  }
  for (const Variant& v : variants(kFma)) {
    V16 out(33, 0);
    run<kFma>(v, ones.data(), ones.data(), ones.data(), std::uint64_t{33}, 1.0 + 0x1p-11, 0.0, out.data());
    for (std::uint64_t i = 0; i < 33; ++i) {
      const bool away = v.level == Level::serial || (v.level == Level::avx2 && i == 32);
      EXPECT_EQ(out[i], away ? 0x3C01 : 0x3C00) << v.name() << " i=" << i;
    }
  }
}

}  // namespace
