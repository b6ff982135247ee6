// The i8 and u8 kernels beyond the generic contracts: exact sums on vectors long enough for
// 32-bit sums to wrap, the two rounding rules per level, the clamps and NaN scalars, and the
// named cosine and Euclidean cases. Every kernel of every level runs (avx512 emulated).
#include <cmath>
#include <functional>

#include "harness.h"

namespace {

using namespace harness;

template <Element E>
constexpr std::size_t kDot = E == Element::i8 ? qd::slot_of("dot_i8") : qd::slot_of("dot_u8");
template <Element E>
constexpr std::size_t kWsum = E == Element::i8 ? qd::slot_of("wsum_i8") : qd::slot_of("wsum_u8");
template <Element E>
constexpr std::size_t kFma = E == Element::i8 ? qd::slot_of("fma_i8") : qd::slot_of("fma_u8");

template <Element E>
std::string with_type(const char* op) {
  return std::string(op) + (E == Element::i8 ? "_i8" : "_u8");
}

template <Element E>
std::vector<T<E>> elements(const std::vector<int>& v) {
  return {v.begin(), v.end()};
}

// Every dense kernel of a type shares one call form.
template <Element E>
double run_dense(const Variant& v, const std::vector<T<E>>& a, const std::vector<T<E>>& b) {
  double out = -12345.0;
  run<kDot<E>>(v, a.data(), b.data(), static_cast<std::uint64_t>(a.size()), &out);
  return out;
}

// ---- integer sums past the 32-bit range ----

// n, then a's and b's element (kRandom: seeded values over the whole range). The constant
// cases give sums past 2^31 (255 * 255 * 40,000; 128 * 128 * 140,000; 255^2 per element for
// the squared distances); at 1.1 million, 255^2 per element would wrap single 32-bit lanes
// of every vector level without their folding.
constexpr int kRandom = 1000;
struct LongCase {
  std::uint64_t n;
  int a, b;
};

template <Element E>
void check_long_vectors() {
  using L = std::numeric_limits<T<E>>;
  const int big = E == Element::i8 ? L::min() : L::max(), other = E == Element::i8 ? L::max() : L::min();
  const LongCase cases[] = {{5000, kRandom, kRandom}, {40000, big, big},   {40000, big, other},
                            {140000, big, big},       {140000, big, other},
                            {1100000, big, other}};
  for (const LongCase& c : cases) {
    std::mt19937 rng(static_cast<unsigned>(c.n));
    std::uniform_int_distribution<int> any(L::min(), L::max());
    std::vector<T<E>> a(c.n), b(c.n);
    for (std::uint64_t i = 0; i < c.n; ++i) {
      a[i] = static_cast<T<E>>(c.a == kRandom ? any(rng) : c.a);
      b[i] = static_cast<T<E>>(c.b == kRandom ? any(rng) : c.b);
    }
    std::int64_t ab = 0, aa = 0, bb = 0, d2 = 0;
    for (std::uint64_t i = 0; i < c.n; ++i) {
      const std::int64_t x = a[i], y = b[i];
      ab += x * y, aa += x * x, bb += y * y, d2 += (x - y) * (x - y);
    }
    const double cosine = aa == 0 && bb == 0 ? 0.0 : ab == 0 ? 1.0 : 1.0 - ab / std::sqrt(double(aa) * double(bb));
    const std::string at = " n=" + std::to_string(c.n) + " a=" + std::to_string(c.a) + " b=" + std::to_string(c.b);
    for (const char* op : {"dot", "l2sq", "l2", "cos"}) {
      for (const Variant& v : variants(slot(with_type<E>(op)))) {
        const double got = run_dense<E>(v, a, b);
        const std::string where = with_type<E>(op) + " " + v.name() + at;
        const std::string_view name = op;
        if (name == "dot") {
          EXPECT_EQ(got, static_cast<double>(ab)) << where;
        } else if (name == "l2sq") {
          EXPECT_EQ(got, static_cast<double>(d2)) << where;
        } else if (name == "l2") {
          EXPECT_NEAR(got, std::sqrt(double(d2)), 1e-3 * std::sqrt(double(d2))) << where;
        } else {
          EXPECT_NEAR(got, cosine, 2e-3 * std::max(1.0, cosine)) << where;
        }
      }
    }
    if (c.a != kRandom) continue;
    // alpha = beta = 1 is exact at every level: a saturating byte sum, and a b + c saturated.
    std::vector<T<E>> out(c.n);
    for (const Variant& v : variants(kWsum<E>)) {
      run<kWsum<E>>(v, a.data(), b.data(), c.n, 1.0, 1.0, out.data());
      for (std::uint64_t i = 0; i < c.n; ++i)
        ASSERT_EQ(int{out[i]}, std::clamp(int{a[i]} + b[i], int{L::min()}, int{L::max()})) << v.name() << " i=" << i;
    }
    for (const Variant& v : variants(kFma<E>)) {
      run<kFma<E>>(v, a.data(), b.data(), a.data(), c.n, 1.0, 1.0, out.data());
      for (std::uint64_t i = 0; i < c.n; ++i)
        ASSERT_EQ(int{out[i]}, std::clamp(int{a[i]} * b[i] + a[i], int{L::min()}, int{L::max()}))
            << v.name() << " i=" << i;
    }
  }
}

TEST(Int8, SumsAreExactPastThe32BitRange) {
  check_long_vectors<Element::i8>();
  check_long_vectors<Element::u8>();
}

// ---- the named cosine and Euclidean cases ----

std::vector<int> rep(int n, int x) { return std::vector<int>(static_cast<std::size_t>(n), x); }
std::vector<int> alternate(int n, int x, int y) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(i % 2 ? y : x);
  return v;
}
std::vector<int> ramp(int n, int from, int step = 1) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(from + step * i);
  return v;
}

struct DenseCase {
  const char* op;
  std::vector<int> a, b;
  double want;
  double tol;
  double serial_want = NAN;  // when the serial square root gives another value
};

const DenseCase kDenseCases[] = {
    {"cos_u8", rep(5, 0), rep(5, 0), 0.0, 0.0},
    {"cos_i8", rep(40, 0), ramp(40, -20), 1.0, 0.0},
    {"cos_u8", alternate(70, 9, 0), alternate(70, 0, 200), 1.0, 0.0},
    {"cos_i8", ramp(100, -50), ramp(100, -50), 0.0, 1e-3},
    {"cos_u8", ramp(200, 50), ramp(200, 50), 0.0, 1e-3},
    {"cos_i8", ramp(100, -49), ramp(100, 49, -1), 2.0, 4e-3},
    {"dot_i8", rep(32, -128), rep(32, -128), 524288.0, 0.0},
    {"l2sq_u8", {0}, {255}, 65025.0, 0.0},
    {"l2_u8", {0}, {255}, 255.0, 0.0, 255.028473},
};

template <Element E>
void check_dense_case(const DenseCase& c) {
  for (const Variant& v : variants(slot(c.op))) {
    const double got = run_dense<E>(v, elements<E>(c.a), elements<E>(c.b));
    const bool serial_value = v.level == Level::serial && !std::isnan(c.serial_want);
    EXPECT_NEAR(got, serial_value ? c.serial_want : c.want, serial_value ? 1e-5 : c.tol) << c.op << " " << v.name();
    EXPECT_GE(got, 0.0) << c.op << " " << v.name();
  }
}

TEST(Int8, NamedDistanceCases) {
  for (const DenseCase& c : kDenseCases) {
    if (std::string_view(c.op).ends_with("i8")) check_dense_case<Element::i8>(c);
    else check_dense_case<Element::u8>(c);
  }
}

// ---- rounding, clamps and NaN scalars ----

// Every element of a, b and c is the same; `vector` is the result under round-to-even with
// a saturating narrow (avx512_fp16, and avx2 in its steps of 8), `scalar` under the serial
// rule (serial, and avx2 after its last step).
struct RoundCase {
  const char* op;
  double alpha, beta;
  int a, b, c;
  int vector, scalar;
};

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kJustBelowHalf = 0.49999997f;  // + 0.5 rounds to 1 in f32

const RoundCase kRoundCases[] = {
    {"wsum_u8", 0.5, 0.0, 5, 0, 0, 2, 3},
    {"wsum_i8", 0.5, 0.0, 5, 0, 0, 2, 3},
    {"wsum_i8", 0.5, 0.0, -5, 0, 0, -2, -3},
    {"wsum_i8", 0.0, 0.5, 0, 5, 0, 2, 3},
    {"wsum_u8", kJustBelowHalf, 0.0, 1, 0, 0, 0, 0},
    {"wsum_i8", kJustBelowHalf, 0.0, 1, 0, 0, 0, 0},
    {"wsum_i8", 1e10, 0.0, 5, 0, 0, 127, 127},
    {"wsum_i8", -1e10, 0.0, 5, 0, 0, -128, -128},
    {"wsum_u8", 1e10, 0.0, 5, 0, 0, 255, 255},
    {"wsum_u8", -1e10, 0.0, 5, 0, 0, 0, 0},
    {"wsum_u8", -1.0, 0.0, 5, 0, 0, 0, 0},
    {"wsum_i8", -1.0, 0.0, 5, 0, 0, -5, -5},
    {"fma_i8", 1e10, 0.0, 5, 5, 0, 127, 127},
    {"fma_u8", -1e10, 1.0, 5, 5, 1, 0, 0},
    {"wsum_i8", kNan, 1.0, 5, 5, 0, 0, 0},
    {"wsum_u8", kNan, 0.0, 5, 5, 0, 0, 0},
    {"fma_i8", 1.0, kNan, 5, 5, 5, 0, 0},
    {"fma_u8", kNan, 1.0, 5, 5, 5, 0, 0},
    {"wsum_i8", 1.0, 1.0, 100, 100, 0, 127, 127},
    {"wsum_i8", 1.0, 1.0, -100, -100, 0, -128, -128},
    {"wsum_u8", 1.0, 1.0, 200, 100, 0, 255, 255},
    {"fma_i8", 1.0, 1.0, 100, 100, 0, 127, 127},
};

template <Element E>
void check_round_case(const RoundCase& c) {
  constexpr std::uint64_t n = 33;  // avx2: four steps of 8 (one block of 32 bytes), then one scalar
  const auto a = elements<E>(rep(n, c.a)), b = elements<E>(rep(n, c.b)), cc = elements<E>(rep(n, c.c));
  const bool fma = std::string_view(c.op).starts_with("fma");
  for (const Variant& v : variants(slot(c.op))) {
    std::vector<T<E>> out(n, 99);
    if (fma) run<kFma<E>>(v, a.data(), b.data(), cc.data(), n, c.alpha, c.beta, out.data());
    else run<kWsum<E>>(v, a.data(), b.data(), n, c.alpha, c.beta, out.data());
    for (std::uint64_t i = 0; i < n; ++i) {
      const bool vector = v.level == Level::avx512_fp16 || (v.level == Level::avx2 && i < 32);
      ASSERT_EQ(int{out[i]}, vector ? c.vector : c.scalar)
          << c.op << " " << v.name() << " alpha=" << c.alpha << " beta=" << c.beta << " i=" << i;
    }
  }
}

TEST(Int8, RoundingRulesClampsAndNanScalars) {
  for (const RoundCase& c : kRoundCases) {
    if (std::string_view(c.op).ends_with("i8")) check_round_case<Element::i8>(c);
    else check_round_case<Element::u8>(c);
  }
}

}  // namespace
