// Every kernel of every operation against one f64 reference per contract: native levels the
// processor has and the emulated build of every AVX-512 level, over lengths around every
// block boundary, on inputs whose sums are exact (results must match exactly) and on inputs
// of several magnitudes (results within the precision the level sums in). Every input is
// followed by poisoned elements, and every output by guard elements that must stay as they
// were, so a kernel that reads or writes past n fails.
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <utility>

#include "harness.h"

namespace {

using namespace harness;

constexpr std::uint64_t kSizes[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 257, 1000};

template <std::size_t... S, class Fn>
void with_slot(std::size_t slot, std::index_sequence<S...>, Fn&& fn) {
  ((slot == S ? fn.template operator()<S>() : void()), ...);
}

std::string where(const Variant& v, std::uint64_t n, Kind kind) {
  return v.name() + " n=" + std::to_string(n) + (kind == Kind::grid ? " grid" : kind == Kind::wide ? " wide" : " simplex");
}

// ---- dense ----

template <Element E>
Expect dense_reference(std::size_t slot, Level level, const std::vector<T<E>>& a, const std::vector<T<E>>& b,
                       std::uint64_t n, bool exact) {
  const std::string_view kind = op_kind(slot);
  if constexpr (E == Element::b8) {
    std::uint64_t x = 0, i = 0, u = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
      x += std::popcount(static_cast<unsigned>(a[k] ^ b[k]));
      i += std::popcount(static_cast<unsigned>(a[k] & b[k]));
      u += std::popcount(static_cast<unsigned>(a[k] | b[k]));
    }
    if (kind == "hamming") return {static_cast<double>(x), 0.0};
    return {u == 0 ? 1.0 : 1.0 - static_cast<double>(i) / static_cast<double>(u), 0.0};
  } else {
  Sum ab, aa, bb, d2, kl, js;
  for (std::uint64_t k = 0; k < n; ++k) {
    const double x = to_double<E>(a[k]), y = to_double<E>(b[k]);
    ab.add(x * y), aa.add(x * x), bb.add(y * y), d2.add((x - y) * (x - y));
    if (kind == "kl") kl.add(x * std::log((x + 1e-7) / (y + 1e-7)));
    if (kind == "js") {
      const double m = (x + y) / 2 + 1e-7;
      js.add(x * std::log((x + 1e-7) / m) + y * std::log((y + 1e-7) / m));
    }
  }
  const bool integral = !is_float(E);
  if (kind == "dot") return {ab.value, sum_tol(ab, n, slot, level, exact || integral)};
  if (kind == "l2sq") return {d2.value, sum_tol(d2, n, slot, level, exact || integral)};
  if (kind == "l2") return root_of(d2, sum_tol(d2, n, slot, level, exact || integral));
  if (kind == "cos") {
    if (aa.value == 0.0 && bb.value == 0.0) return {0.0, 0.0};
    if (ab.value == 0.0) return {1.0, exact || integral ? 0.0 : 2e-3};
    const double c = 1.0 - ab.value / std::sqrt(aa.value * bb.value);
    const double spread = 4.0 * static_cast<double>(n + 2) * sum_unit(slot, level) *
                          (1.0 + ab.magnitude / std::sqrt(aa.value * bb.value));
    return {std::max(c, 0.0), 2e-3 + spread};
  }
  if (kind == "kl") return {kl.value, 2e-3 * std::fabs(kl.value) + 1e-6};
  if (kind == "js") {
    const double d = js.value / 2;
    const double r = d > 0 ? std::sqrt(d) : 0.0;
    return {r, 2e-3 * r + 1e-5};
  }
  ADD_FAILURE() << "no reference for " << qd::kTable[slot].name;
  return {0.0, 0.0};
  }
}

template <std::size_t S>
void check_dense() {
  constexpr Element E = qd::kTable[S].element;
  const std::string_view kind = op_kind(S);
  const bool divergence = kind == "kl" || kind == "js";
  const std::vector<Kind> kinds = divergence ? std::vector{Kind::simplex} : std::vector{Kind::grid, Kind::wide};
  std::vector<std::uint64_t> sizes(std::begin(kSizes), std::end(kSizes));
  if (E == Element::b8) {
    for (std::uint64_t n = 2; n <= 300; ++n) sizes.push_back(n);
  }
  for (const Variant& v : variants(S)) {
    for (std::uint64_t n : sizes) {
      for (Kind k : kinds) {
        std::mt19937 rng(static_cast<unsigned>(n * 131 + static_cast<int>(k)));
        const auto a = guarded<E>(make<E>(n, k, rng)), b = guarded<E>(make<E>(n, k, rng));
        const Expect want = dense_reference<E>(S, v.level, a, b, n, k == Kind::grid);
        double got = -12345.0;
        run<S>(v, a.data(), b.data(), n, &got);
        EXPECT_NEAR(got, want.value, want.tol) << where(v, n, k);
        if (kind == "cos") {
          EXPECT_GE(got, 0.0) << where(v, n, k);
        }
      }
      // One squared norm infinite (an infinite element, or one that overflows the sum): no
      // level may leave the distance's range [0, 2].
      if constexpr (is_float(E)) {
        for (double big : {double{INFINITY}, 1e20}) {
          if (kind != "cos" || n == 0) break;
          std::vector<T<E>> a(n, from_double<E>(1.0)), b = a;
          a[0] = E == Element::f16 ? T<E>(0x7C00) : from_double<E>(big);
          double got = -1.0;
          run<S>(v, a.data(), b.data(), n, &got);
          EXPECT_TRUE(got >= 0.0 && got <= 2.0) << where(v, n, Kind::wide) << " a[0]=" << big << ": " << got;
        }
      }
    }
  }
}

// ---- complex ----

template <std::size_t S>
void check_complex() {
  constexpr Element E = qd::kTable[S].element;
  const bool conj = op_kind(S) == "vdot";
  for (const Variant& v : variants(S)) {
    for (std::uint64_t n : kSizes) {
      for (Kind k : {Kind::grid, Kind::wide}) {
        std::mt19937 rng(static_cast<unsigned>(n * 17 + static_cast<int>(k)));
        const auto a = guarded<E>(make<E>(2 * n, k, rng)), b = guarded<E>(make<E>(2 * n, k, rng));
        Sum re, im;
        for (std::uint64_t i = 0; i < n; ++i) {
          const double ar = to_double<E>(a[2 * i]), ai = to_double<E>(a[2 * i + 1]);
          const double br = to_double<E>(b[2 * i]), bi = to_double<E>(b[2 * i + 1]);
          re.add(ar * br), re.add(conj ? ai * bi : -ai * bi);
          im.add(ar * bi), im.add(conj ? -ai * br : ai * br);
        }
        double out[2] = {-1.0, -1.0};
        run<S>(v, a.data(), b.data(), n, out);
        const bool exact = k == Kind::grid;
        EXPECT_NEAR(out[0], re.value, sum_tol(re, 2 * n, S, v.level, exact)) << "real " << where(v, n, k);
        EXPECT_NEAR(out[1], im.value, sum_tol(im, 2 * n, S, v.level, exact)) << "imaginary " << where(v, n, k);
      }
    }
  }
}

// ---- sparse ----

template <std::size_t S>
void check_sparse() {
  using U = T<qd::kTable[S].element>;
  const std::uint64_t limit = sizeof(U) == 2 ? 65536 : 1u << 20;
  // Lengths on both sides of the 64:1 galloping ratio, and near the vector blocks.
  const std::pair<std::size_t, std::size_t> shapes[] = {
      {0, 0},    {0, 50},    {5, 0},     {1, 64},     {64, 1},     {3, 191},    {3, 193},  {16, 16},
      {15, 17},  {31, 33},   {32, 32},   {63, 65},    {64, 64},    {100, 7000}, {7000, 100}, {2000, 2000},
      {500, 1500}, {40, 2000}, {2000, 31}, {1000, 1000}};
  for (const Variant& v : variants(S)) {
    for (auto [na, nb] : shapes) {
      for (std::uint64_t range : {std::uint64_t{3} * (na + nb) + 1, limit}) {
        std::mt19937 rng(static_cast<unsigned>(na * 7919 + nb + range));
        const auto a = make_set<U>(na, std::min(range, limit), rng), b = make_set<U>(nb, std::min(range, limit), rng);
        std::vector<U> both;
        std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
        double out = -1.0;
        run<S>(v, a.data(), b.data(), a.size(), b.size(), &out);
        EXPECT_EQ(out, static_cast<double>(both.size())) << v.name() << " sizes " << na << ", " << nb;
      }
    }
  }
}

// ---- matrix ----

template <std::size_t S>
void check_matrix() {
  constexpr Element E = qd::kTable[S].element;
  const bool mahalanobis = op_kind(S) == "mahalanobis";
  for (const Variant& v : variants(S)) {
    for (std::uint64_t n : kSizes) {
      for (Kind k : {Kind::grid, Kind::wide}) {
        std::mt19937 rng(static_cast<unsigned>(n * 29 + static_cast<int>(k)));
        const auto a = guarded<E>(make<E>(n, k, rng)), b = guarded<E>(make<E>(n, k, rng));
        // A form that is positive for mahalanobis (diagonally dominant), any for bilinear.
        std::vector<T<E>> c = make<E>(n * n, k, rng, k == Kind::grid ? 0.5 : 1.0);
        if (mahalanobis)
          for (std::uint64_t i = 0; i < n; ++i)
            for (std::uint64_t j = 0; j < n; ++j)
              c[i * n + j] = from_double<E>(i == j ? 2.0 : k == Kind::grid ? 0.0 : to_double<E>(c[i * n + j]) / (2.0 * n));
        c = guarded<E>(std::move(c));
        Sum form;
        for (std::uint64_t i = 0; i < n; ++i) {
          const double xi = mahalanobis ? to_double<E>(a[i]) - to_double<E>(b[i]) : to_double<E>(a[i]);
          for (std::uint64_t j = 0; j < n; ++j) {
            const double yj = mahalanobis ? to_double<E>(a[j]) - to_double<E>(b[j]) : to_double<E>(b[j]);
            form.add(xi * to_double<E>(c[i * n + j]) * yj);
          }
        }
        const double err = sum_tol(form, 2 * n, S, v.level, k == Kind::grid);
        const Expect want = mahalanobis ? root_of(form, err) : Expect{form.value, err};
        double out = -1.0;
        run<S>(v, a.data(), b.data(), c.data(), n, &out);
        EXPECT_NEAR(out, want.value, want.tol) << where(v, n, k);
      }
    }
  }
}

// ---- element-wise ----

// The integer a result must round to, brought into the element type's range.
template <Element E>
double saturate(double x) {
  using L = std::numeric_limits<T<E>>;
  return std::clamp(x, static_cast<double>(L::min()), static_cast<double>(L::max()));
}

template <std::size_t S>
void check_elementwise() {
  constexpr Element E = qd::kTable[S].element;
  constexpr bool fma = qd::kTable[S].form == Form::fma;
  using El = T<E>;
  const std::pair<double, double> scalars[] = {{1.0, 1.0}, {0.5, 0.0}, {0.0, 2.0}, {-1.5, 0.25}, {3.0, -0.75}};
  for (const Variant& v : variants(S)) {
    for (std::uint64_t n : kSizes) {
      for (Kind k : {Kind::grid, Kind::wide}) {
        for (auto [alpha, beta] : scalars) {
          std::mt19937 rng(static_cast<unsigned>(n * 37 + static_cast<int>(k)));
          const auto a = guarded<E>(make<E>(n, k, rng)), b = guarded<E>(make<E>(n, k, rng)),
                     c = guarded<E>(make<E>(n, k, rng));
          std::vector<El> out = guarded<E>(std::vector<El>(n, El{}));
          if constexpr (fma)
            run<S>(v, a.data(), b.data(), c.data(), n, alpha, beta, out.data());
          else
            run<S>(v, a.data(), b.data(), n, alpha, beta, out.data());
          const std::string at = where(v, n, k) + " alpha=" + std::to_string(alpha) + " beta=" + std::to_string(beta);
          for (std::uint64_t i = 0; i < n; ++i) {
            const double x = to_double<E>(a[i]), y = to_double<E>(b[i]), z = to_double<E>(c[i]);
            const double p = fma ? alpha * x * y : alpha * x, q = fma ? beta * z : beta * y;
            const double got = to_double<E>(out[i]);
            if constexpr (is_float(E)) {
              const double tol = k == Kind::grid ? 0.0 : 8.0 * element_unit(E) * (std::fabs(p) + std::fabs(q)) + 1e-7;
              ASSERT_NEAR(got, p + q, tol) << at << " i=" << i;
            } else {
              const bool exact = alpha == 1.0 && beta == 1.0;
              ASSERT_NEAR(got, saturate<E>(std::round(p + q)), exact ? 0.0 : 1.0) << at << " i=" << i;
            }
          }
          for (std::size_t i = n; i < out.size(); ++i)
            ASSERT_EQ(std::memcmp(&out[i], &a[n], sizeof(El)), 0) << at << ": wrote past n at " << i;
          // In place: the output may be the first input.
          std::vector<El> inplace = a;
          if constexpr (fma)
            run<S>(v, inplace.data(), b.data(), c.data(), n, alpha, beta, inplace.data());
          else
            run<S>(v, inplace.data(), b.data(), n, alpha, beta, inplace.data());
          ASSERT_EQ(std::memcmp(inplace.data(), out.data(), n * sizeof(El)), 0) << at << ": in place differs";
        }
      }
    }
  }
}

// ---- sums outside f32's normal range ----

// Finite inputs whose sums f32 cannot hold as normal values, though the finishes of some
// levels read them in f32 (the serial square root, the reciprocal-square-root estimates).
// a and b are repeated to n elements; a matrix is the identity, so Mahalanobis is l2. The
// avx512_bf16 level takes subnormal products as 0 by its own rules: `flushed` is its result.
struct RangeCase {
  const char* op;
  std::vector<double> a, b;
  std::uint64_t n;
  double flushed = 0.0;
};

const RangeCase kRangeCases[] = {
    {"l2_f64", {1e20}, {0}, 17},
    {"l2_f64", {1e-30}, {0}, 17},
    {"mahalanobis_f64", {1e20}, {0}, 1},
    {"cos_f64", {3e19, 1}, {3e19, 1}, 2},
    {"cos_f64", {1e-25}, {-1e-25}, 17},
    {"cos_f32", {1e-20}, {-1e-20}, 17},
    {"js_f64", {1e300, 0}, {0, 1e300}, 2},
    {"l2_f32", {1e-20}, {0}, 17},
    {"mahalanobis_f32", {1e-20}, {0}, 3},
    {"cos_bf16", {1e-20}, {-1e-20}, 17},
    {"l2_bf16", {1e-20}, {0}, 17},
};

TEST(Contract, SumsOutsideTheF32Range) {
  for (const RangeCase& c : kRangeCases) {
    with_slot(slot(c.op), std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() {
      constexpr Element E = qd::kTable[S].element;
      constexpr Form form = qd::kTable[S].form;
      if constexpr (form == Form::dense || form == Form::matrix) {
        std::vector<T<E>> a(c.n), b(c.n), identity(c.n * c.n);
        for (std::uint64_t i = 0; i < c.n; ++i) {
          a[i] = from_double<E>(c.a[i % c.a.size()]), b[i] = from_double<E>(c.b[i % c.b.size()]);
          identity[i * c.n + i] = from_double<E>(1.0);
        }
        const std::string suffix = std::string(c.op).substr(std::string_view(c.op).rfind('_'));
        const std::size_t reference = form == Form::matrix ? slot("l2" + suffix) : S;
        for (const Variant& v : variants(S)) {
          double got = -1.0;
          if constexpr (form == Form::matrix) run<S>(v, a.data(), b.data(), identity.data(), c.n, &got);
          else run<S>(v, a.data(), b.data(), c.n, &got);
          // Relative to the value (the reference's tolerances have absolute floors far above
          // these values): the serial estimates' 0.07 percent per root.
          const double want = v.level == Level::avx512_bf16
                                  ? c.flushed
                                  : dense_reference<E>(reference, v.level, a, b, c.n, false).value;
          EXPECT_NEAR(got, want, 2e-3 * (want == 0.0 ? 1.0 : want)) << c.op << " " << v.name() << " a[0]=" << c.a[0];
        }
      }
    });
  }
}

class Contract : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Contract, EveryKernelAgreesWithTheReference) {
  const std::size_t slot = GetParam();
  with_slot(slot, std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() {
    constexpr Form form = qd::kTable[S].form;
    if constexpr (form == Form::dense) check_dense<S>();
    else if constexpr (form == Form::complex) check_complex<S>();
    else if constexpr (form == Form::sparse) check_sparse<S>();
    else if constexpr (form == Form::matrix) check_matrix<S>();
    else check_elementwise<S>();
  });
}

INSTANTIATE_TEST_SUITE_P(AllOperations, Contract, ::testing::Range<std::size_t>(0, qk::kSlotCount),
                         [](const auto& info) { return std::string(qd::kTable[info.param].name); });

// ---- native against emulated, bit for bit ----
//
// Where the processor has a level, its native kernels must give exactly what the emulated
// build gives, for every n up to 300 and for 1000 and 4096, on inputs with every kind of
// value. Two results agree when their bits are equal or both are NaN: which NaN an instruction
// returns depends on the order of its operands, which the compiler may swap in either build,
// and no contract promises a payload or a sign. The one other allowance is for the finishes
// that refine a hardware estimate, whose bits only the hardware knows (see estimate_gap).

std::vector<std::uint64_t> comparison_sizes() {
  std::vector<std::uint64_t> n(301);
  std::iota(n.begin(), n.end(), 0);
  n.insert(n.end(), {1000, 4096});
  return n;
}

// The b (and c) vector that goes with an a of each mix: tiny values meet the whole range, so
// that their products land on both sides of the smallest normal.
Mix partner(Mix m) {
  if (m == Mix::tiny) return Mix::full_range;
  if (m == Mix::zeros) return Mix::tiny;
  if (m == Mix::infinity || m == Mix::nan) return Mix::ordinary;
  return m;
}

// How far a native result may lie from the emulated one where the kernel refines an estimate
// of 1/sqrt(x) once (the AVX-512 cosines): each estimate is within its documented relative
// error e of the true value (2^-14 for rsqrt14, 1.5 * 2^-12 for the SSE estimate), one Newton
// step leaves 1.5 e^2 + e^3 / 2 of it, and the refinement and the finish add a few roundings
// of their precision u. The cosine 1 - ab r_a r_b carries both refined errors times ab r_a r_b.
double estimate_gap(std::size_t slot, Level level, double x, double y) {
  if (op_kind(slot) != "cos") return 0.0;
  const Element e = qd::kTable[slot].element;
  const double est = level == Level::avx512_int ? 1.5 * 0x1p-12 : 0x1p-14;
  const double u = e == Element::f32 || e == Element::f64 ? 0x1p-53 : 0x1p-24;
  const double product = std::max(std::fabs(1.0 - x), std::fabs(1.0 - y));
  return product * (2.0 * (1.5 * est * est + 0.5 * est * est * est) + 16.0 * u) + 4.0 * u;
}

// Counts disagreements and reports the first few of each kernel in full.
struct Agreement {
  std::size_t slot;
  Level level;
  int faults = 0;
  bool enough() const { return faults >= 8; }

  static std::string show(double x) {
    std::ostringstream s;
    s << std::hexfloat << x << " (bits " << std::hex << std::bit_cast<std::uint64_t>(x) << ")";
    return s.str();
  }

  // One f64 result of each build.
  void result(double native, double emulated, const std::string& at) {
    if (std::bit_cast<std::uint64_t>(native) == std::bit_cast<std::uint64_t>(emulated)) return;
    if (std::isnan(native) && std::isnan(emulated)) return;
    if (std::fabs(native - emulated) <= estimate_gap(slot, level, native, emulated)) return;
    ++faults;
    ADD_FAILURE() << qd::kTable[slot].name << " " << qk::level_name(level) << " " << at << ": native "
                  << show(native) << ", emulated " << show(emulated);
  }

  // The n elements each build wrote.
  template <Element E>
  void elements(const std::vector<T<E>>& native, const std::vector<T<E>>& emulated, std::uint64_t n,
                const std::string& at) {
    for (std::uint64_t i = 0; i < n && !enough(); ++i) {
      if (bits_of<E>(native[i]) == bits_of<E>(emulated[i]) || (is_nan<E>(native[i]) && is_nan<E>(emulated[i])))
        continue;
      ++faults;
      ADD_FAILURE() << qd::kTable[slot].name << " " << qk::level_name(level) << " " << at << " element " << i
                    << ": native bits " << std::hex << bits_of<E>(native[i]) << ", emulated bits "
                    << bits_of<E>(emulated[i]);
    }
  }
};

std::string at(std::uint64_t n, Mix mix) { return std::string("n=") + std::to_string(n) + " " + mix_name(mix); }

// The mixes an element type has (integers have no infinity or NaN).
std::vector<Mix> mixes_of(Element e) {
  std::vector<Mix> m(std::begin(kMixes), std::end(kMixes));
  if (!is_float(e)) m.resize(4);
  return m;
}

template <std::size_t S>
void compare_dense(const Variant& native, const Variant& emulated, Agreement& agree) {
  constexpr Element E = qd::kTable[S].element;
  constexpr bool kComplex = qd::kTable[S].form == Form::complex;
  std::mt19937_64 rng(S);
  for (std::uint64_t n : comparison_sizes()) {
    for (Mix mix : mixes_of(E)) {
      const std::uint64_t len = kComplex ? 2 * n : n;
      const auto a = guarded<E>(mixed<E>(len, mix, rng)), b = guarded<E>(mixed<E>(len, partner(mix), rng));
      double x[2] = {-1.0, -1.0}, y[2] = {-2.0, -2.0};
      run<S>(native, a.data(), b.data(), n, x);
      run<S>(emulated, a.data(), b.data(), n, y);
      agree.result(x[0], y[0], at(n, mix));
      if (kComplex) agree.result(x[1], y[1], at(n, mix) + " imaginary");
      if (agree.enough()) return;
    }
  }
}

template <std::size_t S>
void compare_matrix(const Variant& native, const Variant& emulated, Agreement& agree) {
  constexpr Element E = qd::kTable[S].element;
  std::mt19937_64 rng(S);
  for (std::uint64_t n : comparison_sizes()) {
    for (Mix mix : mixes_of(E)) {
      const auto a = guarded<E>(mixed<E>(n, mix, rng)), b = guarded<E>(mixed<E>(n, partner(mix), rng));
      const auto c = guarded<E>(mixed<E>(n * n, partner(mix), rng));
      double x = -1.0, y = -2.0;
      run<S>(native, a.data(), b.data(), c.data(), n, &x);
      run<S>(emulated, a.data(), b.data(), c.data(), n, &y);
      agree.result(x, y, at(n, mix));
      if (agree.enough()) return;
    }
  }
}

template <std::size_t S>
void compare_elementwise(const Variant& native, const Variant& emulated, Agreement& agree) {
  constexpr Element E = qd::kTable[S].element;
  const std::pair<double, double> scalars[] = {{1.0, 1.0},    {0.5, 0.0},       {0.0, -2.0}, {-1.5, 0.25},
                                               {1e5, -3e-5}, {std::nan(""), 1.0}, {INFINITY, 0.5}};
  std::mt19937_64 rng(S);
  for (std::uint64_t n : comparison_sizes()) {
    for (Mix mix : mixes_of(E)) {
      const auto a = guarded<E>(mixed<E>(n, mix, rng)), b = guarded<E>(mixed<E>(n, partner(mix), rng)),
                 c = guarded<E>(mixed<E>(n, partner(mix), rng));
      for (auto [alpha, beta] : scalars) {
        std::vector<T<E>> x(n), y(n);
        if constexpr (qd::kTable[S].form == Form::fma) {
          run<S>(native, a.data(), b.data(), c.data(), n, alpha, beta, x.data());
          run<S>(emulated, a.data(), b.data(), c.data(), n, alpha, beta, y.data());
        } else {
          run<S>(native, a.data(), b.data(), n, alpha, beta, x.data());
          run<S>(emulated, a.data(), b.data(), n, alpha, beta, y.data());
        }
        agree.elements<E>(x, y, n, at(n, mix) + " alpha=" + std::to_string(alpha) + " beta=" + std::to_string(beta));
        if (agree.enough()) return;
      }
    }
  }
}

// Set lengths n against several others, over values packed near 0, packed near the type's
// largest value (where a signed comparison would go wrong) and spread over the whole type.
template <std::size_t S>
void compare_sparse(const Variant& native, const Variant& emulated, Agreement& agree) {
  using U = T<qd::kTable[S].element>;
  constexpr std::uint64_t kTop = std::numeric_limits<U>::max();
  std::mt19937_64 rng(S);
  for (std::uint64_t n : comparison_sizes()) {
    for (std::uint64_t m : {n, n + 17, 2 * n + 1, n / 3, 70 * n + 1}) {
      for (int where = 0; where < 3; ++where) {
        const std::uint64_t range = where == 2 ? kTop + 1 : std::min<std::uint64_t>(kTop, 2 * (n + m) + 1);
        const std::uint64_t base = where == 1 ? kTop + 1 - range : 0;
        // About len values: each value of a small range taken with chance len / range, or len
        // draws from a large one less the repeats.
        auto set = [&](std::uint64_t len) {
          std::vector<U> v;
          if (range <= 4 * len + 64) {
            for (std::uint64_t x = 0; x < range; ++x)
              if (rng() % range < len) v.push_back(static_cast<U>(base + x));
          } else {
            for (std::uint64_t k = 0; k < len; ++k) v.push_back(static_cast<U>(base + rng() % range));
            std::sort(v.begin(), v.end());
            v.erase(std::unique(v.begin(), v.end()), v.end());
          }
          return v;
        };
        const std::vector<U> a = set(n), b = set(m);
        double x = -1.0, y = -2.0;
        run<S>(native, a.data(), b.data(), a.size(), b.size(), &x);
        run<S>(emulated, a.data(), b.data(), a.size(), b.size(), &y);
        agree.result(x, y, "lengths " + std::to_string(a.size()) + ", " + std::to_string(b.size()));
        if (agree.enough()) return;
      }
    }
  }
}

// Every AVX-512 kernel built both ways, as (slot, level).
std::vector<std::pair<std::size_t, Level>> both_builds() {
  std::vector<std::pair<std::size_t, Level>> out;
  for (std::size_t s = 0; s < qk::kSlotCount; ++s)
    for (std::size_t i = 0; i < qd::kTable[s].n_levels; ++i)
      if (const Level l = qd::kTable[s].levels[i];
          is_avx512(l) && qd::kernel_table().get(s, l) != nullptr && emulated_table().get(s, l) != nullptr)
        out.emplace_back(s, l);
  return out;
}

class NativeMatchesEmulated : public ::testing::TestWithParam<std::pair<std::size_t, Level>> {};

TEST_P(NativeMatchesEmulated, BitForBit) {
  const auto [slot, level] = GetParam();
  if (!cpu_has(level)) GTEST_SKIP() << "no " << qk::level_name(level) << " on this processor";
  const Variant native{level, false, qd::kernel_table().get(slot, level)};
  const Variant emulated{level, true, emulated_table().get(slot, level)};
  Agreement agree{slot, level};
  with_slot(slot, std::make_index_sequence<qk::kSlotCount>(), [&]<std::size_t S>() {
    constexpr Form form = qd::kTable[S].form;
    if constexpr (form == Form::dense || form == Form::complex) compare_dense<S>(native, emulated, agree);
    else if constexpr (form == Form::sparse) compare_sparse<S>(native, emulated, agree);
    else if constexpr (form == Form::matrix) compare_matrix<S>(native, emulated, agree);
    else compare_elementwise<S>(native, emulated, agree);
  });
}

INSTANTIATE_TEST_SUITE_P(AllAvx512Kernels, NativeMatchesEmulated, ::testing::ValuesIn(both_builds()),
                         [](const auto& info) {
                           return std::string(qd::kTable[info.param.first].name) + "_" +
                                  std::string(qk::level_name(info.param.second));
                         });

}  // namespace
