// The f32 and f64 kernels on what random inputs do not reach: the named special cases, the
// faults mended in the square root, the logarithm and the Jensen-Shannon masks, and the
// rounding orders that each level states (pinned on values where another order shows).
#include <xmmintrin.h>

#include <numbers>

#include "harness.h"
#include "scalar.h"

namespace {

using namespace harness;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
using Values = std::vector<double>;

// Every kernel of op_f32 and op_f64, with its slot.
std::vector<std::pair<std::size_t, Variant>> both_rows(const std::string& op) {
  std::vector<std::pair<std::size_t, Variant>> out;
  for (const char* suffix : {"_f32", "_f64"}) {
    const std::size_t s = slot(op + suffix);
    for (const Variant& v : variants(s)) out.emplace_back(s, v);
  }
  return out;
}

template <class T>
double call_as(const Variant& v, Form form, const Values& a, const Values& b, const Values& c) {
  const std::vector<T> x(a.begin(), a.end()), y(b.begin(), b.end()), z(c.begin(), c.end());
  double out = -1.0;
  if (form == Form::dense)
    reinterpret_cast<void (*)(const T*, const T*, std::uint64_t, double*)>(v.fn)(x.data(), y.data(), x.size(), &out);
  else
    reinterpret_cast<void (*)(const T*, const T*, const T*, std::uint64_t, double*)>(v.fn)(x.data(), y.data(),
                                                                                          z.data(), x.size(), &out);
  return out;
}

// A dense or matrix kernel of the slot on these values, in its element type.
double call(const Variant& v, std::size_t s, const Values& a, const Values& b, const Values& c = {}) {
  const qk::SlotInfo& info = qd::kTable[s];
  return info.element == Element::f32 ? call_as<float>(v, info.form, a, b, c) : call_as<double>(v, info.form, a, b, c);
}

// 17 elements: one whole block at every level and a remainder.
const Values kMixed = {0.3, -1.7, 2.5,  0.0,  4.0,    -0.125, 1.0,  3.75, -2.0,
                       0.5, 1.5,  -0.75, 2.25, 0.0625, -3.5,   1.25, 0.875};
const Values kSimplex = {0.05, 0.2, 0.15, 0.0, 0.1, 0.25, 0.05, 0.0, 0.1, 0.05, 0.05};

struct DenseCase {
  const char* op;
  Values a, b, c;
  double want, tol;  // a NaN want asks for NaN
  const char* what;
};

const DenseCase kDenseCases[] = {
    {"cos", {}, {}, {}, 0.0, 0.0, "n = 0"},
    {"cos", {0, 0, 0}, {0, 0, 0}, {}, 0.0, 0.0, "zero with zero"},
    {"cos", {0, 0, 0}, {1, -2, 3}, {}, 1.0, 0.0, "zero with non-zero"},
    {"cos", {1, 0, 2}, {0, 3, 0}, {}, 1.0, 0.0, "orthogonal"},
    {"cos", {1, kNaN, 2}, {1, 1, 1}, {}, 0.0, 0.0, "a NaN element"},
    {"cos", kMixed, kMixed, {}, 0.0, 2e-3, "a vector with itself"},
    {"l2", {kInf, 0}, {0, 0}, {}, kInf, 0.0, "an infinite sum keeps its root"},
    {"l2", kMixed, kMixed, {}, 0.0, 0.0, "a vector with itself"},
    {"kl", kSimplex, kSimplex, {}, 0.0, 0.0, "a vector with itself"},
    {"kl", {1, 0}, {0.5, 0.5}, {}, std::numbers::ln2, 2e-3 * std::numbers::ln2, "ln 2, not the series' 0.833"},
    {"js", kSimplex, kSimplex, {}, 0.0, 0.0, "a vector with itself"},
    // Each term counts by its own weight: dropping a position unless both are at least 1e-7
    // made this 0.
    {"js", {1, 0}, {0, 1}, {}, std::sqrt(std::numbers::ln2), 2e-3, "disjoint supports"},
    {"mahalanobis", {1, 2}, {0, 0}, {-1, 0, 0, -1}, kNaN, 0.0, "a negative form has no root"},
    {"mahalanobis", {}, {}, {}, 0.0, 0.0, "n = 0"},
    {"bilinear", {}, {}, {}, 0.0, 0.0, "n = 0"},
    {"kl", {}, {}, {}, 0.0, 0.0, "n = 0"},
    {"js", {}, {}, {}, 0.0, 0.0, "n = 0"},
};

TEST(FloatKernels, NamedCasesAtEveryLevel) {
  for (const DenseCase& c : kDenseCases) {
    for (const auto& [s, v] : both_rows(c.op)) {
      const double got = call(v, s, c.a, c.b, c.c);
      const std::string at = std::string(qd::kTable[s].name) + " " + v.name() + ": " + c.what;
      if (std::isnan(c.want)) {
        EXPECT_TRUE(std::isnan(got)) << at << " gave " << got;
      } else if (std::isinf(c.want)) {
        EXPECT_EQ(got, c.want) << at;
      } else {
        EXPECT_NEAR(got, c.want, c.tol) << at;
        EXPECT_GE(got, 0.0) << at;
      }
    }
  }
}

// The same quantity two ways at one level: Mahalanobis over the identity is l2, and l2 is
// the root of l2sq (exact at the vector levels, approx_rsqrt's 0.07 percent at serial).
TEST(FloatKernels, RootsAndIdentityFormsAgreeWithinALevel) {
  Values identity(kMixed.size() * kMixed.size(), 0.0);
  for (std::size_t i = 0; i < kMixed.size(); ++i) identity[i * kMixed.size() + i] = 1.0;
  const Values b(kMixed.rbegin(), kMixed.rend());
  for (const char* row : {"_f32", "_f64"}) {
    const std::size_t l2 = slot(std::string("l2") + row), l2sq = slot(std::string("l2sq") + row);
    const std::size_t maha = slot(std::string("mahalanobis") + row);
    for (const Variant& v : variants(l2)) {
      auto same_level = [&](const Variant& w) { return w.level == v.level && w.emulated == v.emulated; };
      const std::vector<Variant> sums = variants(l2sq), mahas = variants(maha);
      const double root = call(v, l2, kMixed, b), sum = call(*std::ranges::find_if(sums, same_level), l2sq, kMixed, b);
      const double rel = v.level == Level::serial ? 1e-3 : 1e-7;
      EXPECT_NEAR(root, std::sqrt(sum), rel * std::sqrt(sum)) << qd::kTable[l2].name << " " << v.name();
      for (const Variant& m : mahas) {
        if (same_level(m)) {
          EXPECT_EQ(call(m, maha, kMixed, b, identity), root) << qd::kTable[maha].name << " " << m.name();
        }
      }
    }
  }
}

// ---- stated orders ----

// 1 - ab y(aa) y(bb) on aa = 1, bb = 2, ab = 1, with each level's y.
double newton(double x, double y) { return y * 1.5 - 0.5 * x * y * (y * y); }
double sse_rsqrt(double x) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(static_cast<float>(x)))); }
double emulated_rsqrt14(double x) {  // the emulation's estimate: the root's reciprocal rounded to 14 bits
  int e;
  const double m = std::frexp(1.0 / std::sqrt(x), &e);
  return std::ldexp(std::nearbyint(std::ldexp(m, 14)), e - 14);
}

TEST(FloatKernels, CosineRefinesTheEstimateInF64) {
  namespace sc = quillmere::kernels::scalar;
  for (const char* row : {"_f32", "_f64"}) {
    const std::size_t s = slot(std::string("cos") + row);
    const bool f32 = qd::kTable[s].element == Element::f32;
    for (const Variant& v : variants(s)) {
      double want;
      if (v.level == Level::serial && f32) want = 1.0f - sc::approx_rsqrt(1.0f) * 1.0f * sc::approx_rsqrt(2.0f);
      else if (v.level == Level::serial) want = 1.0 - 1.0 * sc::approx_rsqrt(1.0f) * sc::approx_rsqrt(2.0f);
      else if (v.level == Level::avx2) want = 1.0 - newton(1.0, sse_rsqrt(1.0)) * newton(2.0, sse_rsqrt(2.0));
      else if (v.emulated) want = 1.0 - newton(1.0, emulated_rsqrt14(1.0)) * newton(2.0, emulated_rsqrt14(2.0));
      else continue;  // the hardware's 14-bit estimate is not known here
      EXPECT_EQ(call(v, s, {1, 0}, {1, 1}), want) << qd::kTable[s].name << " " << v.name();
    }
  }
}

// Element-wise kernels on 9 elements: at avx2 the first 8 are whole blocks and the last a
// remaining element, for f32 (blocks of 8) and f64 (blocks of 4) alike.
struct ElementCase {
  const char* op;
  double alpha, beta;
  Values a, b, c;
  Values serial, avx2, avx512;  // expected outputs per level; NaN asks for NaN
};

// u is a power of 2 whose square falls below the rounding of 1 + 2u in the element type, so
// that (1 + u)^2 rounded on its own gives 1 + 2u and fused keeps the u^2.
std::vector<ElementCase> element_cases(double u) {
  const Values ones(9, 1.0), near1(9, 1.0 + u);
  const Values rounded(9, 2 * u);
  Values split = rounded;
  split[8] = 2 * u + u * u;
  Values a(9), b(9);
  for (int i = 0; i < 9; ++i) a[i] = i + 1.0, b[i] = 0.5 * i;
  // v with its ends (a whole-block element and a remaining one) set to x.
  auto ends = [](Values v, double x) {
    v[0] = v[8] = x;
    return v;
  };
  auto times = [](Values v, double k) {
    for (double& x : v) x *= k;
    return v;
  };
  return {
      // The vector levels read no b when beta = 0 (and no a when alpha = 0); serial has no cases.
      {"wsum", 2.0, 0.0, a, ends(b, kInf), {}, ends(times(a, 2), kNaN), times(a, 2), times(a, 2)},
      {"wsum", 0.0, -1.0, ends(a, kInf), b, {}, ends(times(b, -1), kNaN), times(b, -1), times(b, -1)},
      // avx2: blocks alpha a + beta b rounded step by step, the rest alpha a fused onto beta b;
      // avx512: beta b fused onto alpha a.
      {"wsum", 1.0 + u, -1.0, near1, ones, {}, rounded, split, rounded},
      // avx2: blocks alpha (a b) + beta c rounded, the rest (alpha a) b fused onto beta c;
      // avx512: beta c fused onto alpha (a b).
      {"fma", 1.0, -1.0, near1, near1, ones, rounded, split, rounded},
      {"fma", 1.0 + u, -1.0, near1, ones, ones, rounded, rounded, rounded},
  };
}

template <class T>
void check_elementwise(const std::string& op, std::size_t s, double u) {
  for (const ElementCase& c : element_cases(u)) {
    if (op != c.op) continue;
    for (const Variant& v : variants(s)) {
      const std::vector<T> a(c.a.begin(), c.a.end()), b(c.b.begin(), c.b.end()), cc(c.c.begin(), c.c.end());
      std::vector<T> out(9, T{-7});
      if (qd::kTable[s].form == Form::fma)
        reinterpret_cast<void (*)(const T*, const T*, const T*, std::uint64_t, double, double, T*)>(v.fn)(
            a.data(), b.data(), cc.data(), 9, c.alpha, c.beta, out.data());
      else
        reinterpret_cast<void (*)(const T*, const T*, std::uint64_t, double, double, T*)>(v.fn)(
            a.data(), b.data(), 9, c.alpha, c.beta, out.data());
      const Values& want = v.level == Level::serial ? c.serial : v.level == Level::avx2 ? c.avx2 : c.avx512;
      for (int i = 0; i < 9; ++i) {
        const std::string at = std::string(qd::kTable[s].name) + " " + v.name() + " alpha=" + std::to_string(c.alpha) +
                               " beta=" + std::to_string(c.beta) + " i=" + std::to_string(i);
        if (std::isnan(want[i])) EXPECT_TRUE(std::isnan(out[i])) << at;
        else EXPECT_EQ(static_cast<double>(out[i]), want[i]) << at;
      }
    }
  }
}

TEST(FloatKernels, ElementWiseCasesAndRoundingOrders) {
  for (const char* op : {"wsum", "fma"}) {
    check_elementwise<float>(op, slot(std::string(op) + "_f32"), 0x1p-13);
    check_elementwise<double>(op, slot(std::string(op) + "_f64"), 0x1p-27);
  }
}

}  // namespace
