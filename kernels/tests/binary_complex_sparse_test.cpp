// What the generic contract test cannot show for the bit-vector, complex and set kernels:
// their named exact values, the summation orders the levels state, inputs that end flush
// against an unreadable page, counts beyond 32 bits, and first calls from many threads of a
// fresh process.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <span>
#include <thread>

#include "harness.h"

namespace {

using namespace harness;
using qd::slot_of;

// ---- memory ----

std::size_t page_size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }

// An anonymous mapping, unmapped at the end.
struct Pages {
  char* base;
  std::size_t size;
  explicit Pages(std::size_t bytes, int prot = PROT_READ | PROT_WRITE)
      : base(static_cast<char*>(mmap(nullptr, bytes, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0))),
        size(bytes) {
    if (base == MAP_FAILED) throw std::bad_alloc();
  }
  Pages(const Pages&) = delete;
  ~Pages() { munmap(base, size); }
};

// A copy of `values` whose last byte is the last one before an unreadable page.
template <class T>
struct Flush {
  Pages pages;
  T* data;
  explicit Flush(std::span<const T> values)
      : pages((values.size_bytes() + page_size() - 1) / page_size() * page_size() + page_size()) {
    char* guard = pages.base + pages.size - page_size();
    EXPECT_EQ(mprotect(guard, page_size(), PROT_NONE), 0);
    data = reinterpret_cast<T*>(guard - values.size_bytes());
    if (!values.empty()) std::memcpy(data, values.data(), values.size_bytes());
  }
};

// n bytes of one value without n bytes of memory: one 1 MiB shared run mapped over and over.
struct Repeated {
  static constexpr std::size_t kRun = std::size_t{1} << 20;
  Pages pages;
  Repeated(std::uint8_t value, std::size_t n) : pages((n + kRun - 1) / kRun * kRun, PROT_NONE) {
    const int fd = memfd_create("bits", 0);
    EXPECT_EQ(ftruncate(fd, kRun), 0);
    for (std::size_t off = 0; off < pages.size; off += kRun)
      EXPECT_NE(mmap(pages.base + off, kRun, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
    std::memset(pages.base, value, kRun);
    close(fd);
  }
  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(pages.base); }
};

template <std::size_t S>
void call(const Variant& v, auto... args) {
  reinterpret_cast<qd::Kernel<S>>(v.fn)(args...);
}

template <std::size_t... S>
void for_slots(auto&& fn) {
  (fn.template operator()<S>(), ...);
}

// ---- bit vectors ----

struct BitCase {
  std::uint8_t a, b;
  double hamming_per_byte;  // times n
  double jaccard;           // for n > 0
};

constexpr BitCase kBitCases[] = {
    {0xFF, 0x00, 8.0, 1.0},
    {0x5A, 0x5A, 0.0, 0.0},  // a non-zero vector against itself
    {0x00, 0x00, 0.0, 1.0},  // no bit set in either
    {0x0F, 0x3C, 4.0, 1.0 - 2.0 / 6.0},
};

TEST(BitVectors, NamedValuesAcrossTheBlockSizesWithTailsAgainstAGuardPage) {
  constexpr std::uint64_t kSizes[] = {0, 1, 8, 63, 64, 65, 127, 128, 129, 192, 193, 255, 256, 257, 320, 321, 1000};
  for (const BitCase& c : kBitCases) {
    for (std::uint64_t n : kSizes) {
      const std::vector<std::uint8_t> va(n, c.a), vb(n, c.b);
      const Flush<std::uint8_t> a(va), b(vb);
      for_slots<slot_of("hamming_b8"), slot_of("jaccard_b8")>([&]<std::size_t S>() {
        const double want = S == slot_of("hamming_b8") ? c.hamming_per_byte * static_cast<double>(n)
                            : n == 0                   ? 1.0
                                                       : c.jaccard;
        for (const Variant& v : variants(S)) {
          double out = -1.0;
          call<S>(v, a.data, b.data, n, &out);
          EXPECT_EQ(out, want) << qd::kTable[S].name << " " << v.name() << " n=" << n << " a=" << int{c.a};
        }
      });
    }
  }
}

// More than 2^32 bits: counts held in 32 bits would wrap. (The vector levels count in 64-bit
// lanes; their emulation would take too long here.)
TEST(BitVectors, CountsBeyondThirtyTwoBits) {
  constexpr std::size_t n = (std::size_t{1} << 29) + 64;
  const Repeated ones(0xFF, n), zeros(0x00, n), low(0x0F, n);
  for_slots<slot_of("hamming_b8"), slot_of("jaccard_b8")>([&]<std::size_t S>() {
    const bool hamming = S == slot_of("hamming_b8");
    for (const Variant& v : variants(S)) {
      if (v.emulated) continue;
      double out = -1.0;
      call<S>(v, ones.data(), hamming ? zeros.data() : low.data(), n, &out);
      EXPECT_EQ(out, hamming ? 8.0 * n : 0.5) << v.name();
    }
  });
}

// ---- complex ----

// n copies of (1 + 2i) and (3 + 4i) give (-5n, 10n) and, conjugated, (11n, -2n). (Random
// pairs are the contract test's.)
TEST(Complex, NamedProductsAtEveryLevel) {
  for_slots<slot_of("dot_f16c"), slot_of("dot_bf16c"), slot_of("dot_f32c"), slot_of("dot_f64c"), slot_of("vdot_f16c"),
            slot_of("vdot_bf16c"), slot_of("vdot_f32c"), slot_of("vdot_f64c")>([]<std::size_t S>() {
    constexpr Element E = qd::kTable[S].element;
    const bool conj = op_kind(S) == "vdot";
    for (const Variant& v : variants(S)) {
      for (std::uint64_t n : {1, 4, 5, 8, 9, 16, 17, 33}) {
        std::vector<T<E>> a, b;
        for (std::uint64_t k = 0; k < n; ++k) {
          a.insert(a.end(), {from_double<E>(1.0), from_double<E>(2.0)});
          b.insert(b.end(), {from_double<E>(3.0), from_double<E>(4.0)});
        }
        double out[2] = {-1.0, -1.0};
        call<S>(v, a.data(), b.data(), n, out);
        const double dn = static_cast<double>(n);
        EXPECT_EQ(out[0], conj ? 11.0 * dn : -5.0 * dn) << v.name() << " n=" << n;
        EXPECT_EQ(out[1], conj ? -2.0 * dn : 10.0 * dn) << v.name() << " n=" << n;
      }
    }
  });
}

// At avx512_fp16 the sums are f16: past 65504 they become infinite, and a term far smaller
// than the running sum is lost; every other level sums in f32.
TEST(Complex, HalfPrecisionSumsOverflowAndLoseSmallTerms) {
  // 512 pairs (16)(16) sum to 131072; (2048)(1) and, 16 pairs later in the same lane, (1)(1).
  std::vector<std::uint16_t> sixteens(1024, 0), ones(1024, 0), spread(34, 0);
  for (std::size_t k = 0; k < 512; ++k) sixteens[2 * k] = to_f16(16.0), ones[2 * k] = to_f16(1.0);
  spread[0] = to_f16(2048.0), spread[32] = to_f16(1.0);
  struct Case {
    const std::uint16_t *a, *b;
    std::uint64_t n;
    double in_f16, in_f32;
  };
  const Case cases[] = {{sixteens.data(), sixteens.data(), 512, INFINITY, 131072.0},
                        {spread.data(), ones.data(), 17, 2048.0, 2049.0}};
  for (const Case& c : cases) {
    for_slots<slot_of("dot_f16c"), slot_of("vdot_f16c")>([&]<std::size_t S>() {
      for (const Variant& v : variants(S)) {
        double out[2] = {-1.0, -1.0};
        call<S>(v, c.a, c.b, c.n, out);
        EXPECT_EQ(out[0], v.level == Level::avx512_fp16 ? c.in_f16 : c.in_f32) << v.name() << " n=" << c.n;
        EXPECT_EQ(out[1], 0.0) << v.name() << " n=" << c.n;
      }
    });
  }
}

// The summation orders of f32c and f64c, written out one rounding at a time: serial sums in
// index order; avx2 keeps 8 f32 lanes, sums them in f64 and adds the last pairs (fused, in
// f32) in f64; avx512 keeps 16 f32 (8 f64) lanes with a masked last block and sums them in
// the type's fixed tree. The sign flip of the imaginary-position lanes comes before the sums.
template <class F>
std::array<double, 2> ordered(Level level, const F* a, const F* b, std::uint64_t n, bool conj) {
  if (level == Level::serial) {
    F re = 0, im = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
      const F ar = a[2 * k], ai = a[2 * k + 1], br = b[2 * k], bi = b[2 * k + 1];
      const F rr = ar * br, ii = (conj ? ai : -ai) * bi, ri = ar * bi, ir = (conj ? -ai : ai) * br;
      re = re + (rr + ii), im = im + (ri + ir);
    }
    return {static_cast<double>(re), static_cast<double>(im)};
  }
  const std::uint64_t lanes = level == Level::avx2 ? 8 : 64 / sizeof(F), pairs = lanes / 2;
  std::vector<F> p(lanes, F{0}), q(lanes, F{0});
  std::uint64_t k = 0;
  auto block = [&](std::uint64_t count) {
    for (std::uint64_t j = 0; j < lanes; ++j) {
      const F x = j < count ? a[2 * k + j] : 0, y = j < count ? b[2 * k + j] : 0;
      const F s = j < count ? b[2 * k + (j ^ 1)] : 0;
      p[j] = std::fma(x, y, p[j]), q[j] = std::fma(x, s, q[j]);
    }
  };
  for (; n - k >= pairs; k += pairs) block(lanes);
  if (level != Level::avx2 && (n - k != 0 || n == 0)) block(2 * (n - k)), k = n;
  for (std::uint64_t j = 1; j < lanes; j += 2) (conj ? q : p)[j] = -(conj ? q : p)[j];
  auto sum = [&](std::vector<F> l) -> double {
    if (level == Level::avx2) {
      auto d = [&](int i) { return static_cast<double>(l[i]); };
      return ((d(0) + d(4)) + (d(2) + d(6))) + ((d(1) + d(5)) + (d(3) + d(7)));
    }
    for (std::size_t w = lanes / 2; w >= (sizeof(F) == 4 ? 4 : 1); w /= 2)
      for (std::size_t j = 0; j < w; ++j) l[j] = l[j] + l[j + w];
    return sizeof(F) == 4 ? static_cast<double>((l[0] + l[1]) + (l[2] + l[3])) : static_cast<double>(l[0]);
  };
  std::array<double, 2> r = {sum(p), sum(q)};
  for (; k < n; ++k) {  // avx2's last pairs
    const F ar = a[2 * k], ai = a[2 * k + 1], br = b[2 * k], bi = b[2 * k + 1];
    const F ii = (conj ? ai : -ai) * bi, ir = (conj ? -ai : ai) * br;
    r[0] += static_cast<double>(std::fma(ar, br, ii));
    r[1] += static_cast<double>(std::fma(ar, bi, ir));
  }
  return r;
}

TEST(Complex, LevelsFollowTheirSummationOrdersBitForBit) {
  for_slots<slot_of("dot_f32c"), slot_of("vdot_f32c"), slot_of("dot_f64c"), slot_of("vdot_f64c")>([]<std::size_t S>() {
    using F = T<qd::kTable[S].element>;
    const bool conj = op_kind(S) == "vdot";
    for (const Variant& v : variants(S)) {
      for (std::uint64_t n : {0, 1, 3, 4, 5, 7, 8, 9, 17, 33, 100}) {
        std::mt19937 rng(static_cast<unsigned>(n + 99));
        const auto a = make<qd::kTable[S].element>(2 * n, Kind::wide, rng);
        const auto b = make<qd::kTable[S].element>(2 * n, Kind::wide, rng);
        double out[2] = {-1.0, -1.0};
        call<S>(v, a.data(), b.data(), n, out);
        const std::array<double, 2> want = ordered<F>(v.level, a.data(), b.data(), n, conj);
        for (int part : {0, 1})
          EXPECT_EQ(std::bit_cast<std::uint64_t>(out[part]), std::bit_cast<std::uint64_t>(want[part]))
              << v.name() << " n=" << n << " part " << part;
      }
    }
  });
}

// ---- sets ----

template <std::size_t S, class U>
double intersect(const Variant& v, const std::vector<U>& a, const std::vector<U>& b) {
  const Flush<U> fa(a), fb(b);
  double out = -1.0;
  call<S>(v, fa.data, fb.data, std::uint64_t{a.size()}, std::uint64_t{b.size()}, &out);
  return out;
}

template <class U>
std::vector<U> range(U first, U last) {
  std::vector<U> v;
  for (U x = first; x <= last; ++x) v.push_back(x);
  return v;
}

// Both sets end against an unreadable page, so a read past either one fails.
TEST(Sets, NamedCasesAndRandomSetsAgainstAGuardPage) {
  // Lengths near the blocks (16, 32, 64 values), far apart, and on both sides of 64:1.
  const std::uint64_t kLengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 191, 193, 500, 2000};
  for_slots<slot_of("intersect_u16"), slot_of("intersect_u32")>([&]<std::size_t S>() {
    using U = T<qd::kTable[S].element>;
    for (const Variant& v : variants(S)) {
      EXPECT_EQ((intersect<S, U>(v, {1, 3, 5}, {3, 4, 5, 6})), 2.0) << v.name();
      EXPECT_EQ((intersect<S, U>(v, {1, 3, 5}, {})), 0.0) << v.name();
      EXPECT_EQ((intersect<S, U>(v, {}, {1, 3, 5})), 0.0) << v.name();
      EXPECT_EQ((intersect<S, U>(v, {500}, range<U>(0, 63))), 0.0) << v.name();  // galloping (64 >= 64 * 1)
      EXPECT_EQ((intersect<S, U>(v, {5}, range<U>(0, 63))), 1.0) << v.name();
      EXPECT_EQ((intersect<S, U>(v, range<U>(1000, 1999), range<U>(1000, 1999))), 1000.0) << v.name();
      // Galloping past the end of the larger set: once 500 is beyond it, 600 probes nothing.
      EXPECT_EQ((intersect<S, U>(v, {500, 600}, range<U>(0, 127))), 0.0) << v.name();
      EXPECT_EQ((intersect<S, U>(v, range<U>(0, 191), {191, 500, 600})), 1.0) << v.name();

      for (std::uint64_t na : kLengths) {
        for (std::uint64_t nb : kLengths) {
          for (std::uint64_t limit : {2 * (na + nb) + 2, std::uint64_t{60000}}) {
            std::mt19937 rng(static_cast<unsigned>(na * 4099 + nb * 7 + limit));
            const auto a = make_set<U>(na, limit, rng), b = make_set<U>(nb, limit, rng);
            std::vector<U> both;
            std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
            EXPECT_EQ((intersect<S, U>(v, a, b)), static_cast<double>(both.size()))
                << v.name() << " lengths " << na << ", " << nb << " below " << limit;
          }
        }
      }
    }
  });
}

// ---- first calls from many threads of a fresh process ----

constexpr const char* kThreadsVariable = "QUILLMERE_FIRST_CALL_THREADS";

struct EntryInputs {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint16_t> f16, bf16, u16a, u16b;
  std::vector<float> f32;
  std::vector<double> f64;
  std::vector<std::uint32_t> u32a, u32b;
};

const EntryInputs& entry_inputs() {
  static const EntryInputs in = [] {
    std::mt19937 rng(1);
    return EntryInputs{make<Element::b8>(600, Kind::wide, rng),     make<Element::f16c>(400, Kind::wide, rng),
                       make<Element::bf16c>(400, Kind::wide, rng),  make_set<std::uint16_t>(300, 2000, rng),
                       make_set<std::uint16_t>(900, 2000, rng),     make<Element::f32c>(400, Kind::wide, rng),
                       make<Element::f64c>(400, Kind::wide, rng),   make_set<std::uint32_t>(300, 2000, rng),
                       make_set<std::uint32_t>(900, 2000, rng)};
  }();
  return in;
}

// Every entry of these families; each writes one or two values.
using EntryCall = void (*)(const EntryInputs&, double*);
constexpr EntryCall kEntryCalls[] = {
    [](const EntryInputs& in, double* r) { qk::hamming_b8(in.bytes.data(), in.bytes.data() + 300, 300, r); },
    [](const EntryInputs& in, double* r) { qk::jaccard_b8(in.bytes.data(), in.bytes.data() + 300, 300, r); },
    [](const EntryInputs& in, double* r) { qk::dot_f16c(in.f16.data(), in.f16.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::vdot_f16c(in.f16.data(), in.f16.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::dot_bf16c(in.bf16.data(), in.bf16.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::vdot_bf16c(in.bf16.data(), in.bf16.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::dot_f32c(in.f32.data(), in.f32.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::vdot_f32c(in.f32.data(), in.f32.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::dot_f64c(in.f64.data(), in.f64.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::vdot_f64c(in.f64.data(), in.f64.data() + 200, 100, r); },
    [](const EntryInputs& in, double* r) { qk::intersect_u16(in.u16a.data(), in.u16b.data(), 300, 900, r); },
    [](const EntryInputs& in, double* r) { qk::intersect_u32(in.u32a.data(), in.u32b.data(), 300, 900, r); },
};
constexpr std::size_t kEntries = std::size(kEntryCalls);

// Started with kThreadsVariable set (by EightThreadsAgreeWithOneThread), the test binary does
// only this, before anything else of the process could call a kernel: the threads start
// together, thread t making its first call to entry t, and every thread then calls every entry.
int first_calls_of_this_process(int threads) {
  for (std::size_t s = 0; s < qk::kSlotCount; ++s)
    if (qd::g_slots[s].load() != nullptr) {
      std::printf("slot %zu resolved before the first call\n", s);
      return 1;
    }
  const EntryInputs& in = entry_inputs();
  using Results = std::vector<std::array<double, 2>>;
  std::vector<Results> results(threads, Results(kEntries, {0.0, 0.0}));
  std::latch start(threads);
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      start.arrive_and_wait();
      for (std::size_t i = 0; i < kEntries; ++i) {
        const std::size_t op = (t + i) % kEntries;
        kEntryCalls[op](in, results[t][op].data());
      }
    });
  for (std::thread& t : pool) t.join();
  for (int t = 1; t < threads; ++t)
    if (results[t] != results[0]) {
      std::printf("thread %d differs\n", t);
      return 1;
    }
  for (std::size_t op = 0; op < kEntries; ++op)
    std::printf("result %zu %a %a\n", op, results[0][op][0], results[0][op][1]);
  return 0;
}

[[maybe_unused]] const bool kRunAsChild = [] {
  const char* threads = std::getenv(kThreadsVariable);
  if (threads == nullptr) return false;
  const int status = first_calls_of_this_process(std::atoi(threads));
  std::fflush(stdout);
  std::_Exit(status);
}();

// The child's "result" lines, after checking that it ran its test and passed.
std::string child_results(int threads) {
  char exe[PATH_MAX] = {};
  EXPECT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string command = std::string(kThreadsVariable) + "=" + std::to_string(threads) + " '" + exe + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot start " << command;
    return {};
  }
  std::string output, results;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    output += line;
    if (std::string_view(line).starts_with("result ")) results += line;
  }
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  return results;
}

TEST(FreshProcess, EightThreadsAgreeWithOneThread) {
  const std::string one = child_results(1);
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), kEntries) << one;
  EXPECT_EQ(child_results(8), one);
}

}  // namespace
