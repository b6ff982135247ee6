#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"
#include "quillmere/kernels.h"

namespace qk = quillmere::kernels;
namespace qd = quillmere::kernels::detail;
using qk::Level;

namespace {

// ---- references written from the summation orders, one scalar operation at a time ----

float product(float a, float b, bool l2) {
  if (!l2) return a * b;
  const float d = a - b;
  return d * d;
}

double ref_serial(const float* a, const float* b, std::uint64_t n, bool l2) {
  float s = 0.0f;
  for (std::uint64_t i = 0; i < n; ++i) s = s + product(a[i], b[i], l2);
  return s;
}

float lane_fma(float a, float b, float acc, bool l2) {
  if (!l2) return std::fmaf(a, b, acc);
  const float d = a - b;
  return std::fmaf(d, d, acc);
}

double ref_avx2(const float* a, const float* b, std::uint64_t n, bool l2) {
  float lane[8] = {};
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int j = 0; j < 8; ++j) lane[j] = lane_fma(a[i + j], b[i + j], lane[j], l2);
  double t[4];
  for (int j = 0; j < 4; ++j) t[j] = static_cast<double>(lane[j]) + static_cast<double>(lane[j + 4]);
  double sum = (t[0] + t[2]) + (t[1] + t[3]);
  for (; i < n; ++i) sum += static_cast<double>(product(a[i], b[i], l2));
  return sum;
}

double ref_avx512(const float* a, const float* b, std::uint64_t n, bool l2) {
  float lane[16] = {};
  std::uint64_t i = 0;
  for (; n - i >= 16; i += 16)
    for (int j = 0; j < 16; ++j) lane[j] = lane_fma(a[i + j], b[i + j], lane[j], l2);
  const std::uint64_t r = n - i;
  if (r != 0 || n == 0) {
    for (std::uint64_t j = 0; j < 16; ++j) {
      const float x = j < r ? a[i + j] : 0.0f;
      const float y = j < r ? b[i + j] : 0.0f;
      lane[j] = lane_fma(x, y, lane[j], l2);
    }
  }
  for (int j = 0; j < 8; ++j) lane[j] = lane[j] + lane[j + 8];
  for (int j = 0; j < 4; ++j) lane[j] = lane[j] + lane[j + 4];
  const float s01 = lane[0] + lane[1];
  const float s23 = lane[2] + lane[3];
  return static_cast<double>(s01 + s23);
}

using RefFn = double (*)(const float*, const float*, std::uint64_t, bool);

RefFn reference_of(Level level) {
  switch (level) {
    case Level::serial: return ref_serial;
    case Level::avx2: return ref_avx2;
    default: return ref_avx512;
  }
}

bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// Values spread over several magnitudes and signs, so that any other summation order shows.
std::vector<float> random_vector(std::size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<float> mant(-1.0f, 1.0f);
  std::uniform_int_distribution<int> expo(-12, 12);
  std::vector<float> v(n);
  for (float& x : v) x = std::ldexp(mant(rng), expo(rng));
  return v;
}

using Dense = void (*)(const float*, const float*, std::uint64_t, double*);

class SummationOrder : public ::testing::TestWithParam<std::uint64_t> {};

// dot_f32 and l2sq_f32 follow their stated summation orders to the last bit, at every level
// (the AVX-512 one emulated too).
TEST_P(SummationOrder, MatchesBitForBit) {
  const std::uint64_t n = GetParam();
  for (bool l2 : {false, true}) {
    for (const harness::Variant& v : harness::variants(harness::slot(l2 ? "l2sq_f32" : "dot_f32"))) {
      std::mt19937 rng(static_cast<unsigned>(n * 7 + 1));
      for (int round = 0; round < 20; ++round) {
        // One element past the end is poisoned: a kernel that reads it gives another result.
        std::vector<float> a = random_vector(n + 1, rng), b = random_vector(n + 1, rng);
        a[n] = std::nanf("");
        b[n] = std::nanf("");
        double got = -1.0;
        reinterpret_cast<Dense>(v.fn)(a.data(), b.data(), n, &got);
        EXPECT_TRUE(same_bits(got, reference_of(v.level)(a.data(), b.data(), n, l2)))
            << (l2 ? "l2sq " : "dot ") << v.name() << " n=" << n << " got " << got;
      }
      // A vector's distance to itself is 0; an infinity times a zero is NaN.
      std::vector<float> a = random_vector(n, rng), b = random_vector(n, rng);
      double got = -1.0;
      if (l2) {
        reinterpret_cast<Dense>(v.fn)(a.data(), a.data(), n, &got);
        EXPECT_TRUE(same_bits(got, 0.0)) << v.name();
      } else if (n > 0) {
        a[n / 2] = INFINITY;
        b[n / 2] = 0.0f;
        reinterpret_cast<Dense>(v.fn)(a.data(), b.data(), n, &got);
        EXPECT_TRUE(std::isnan(got)) << v.name();
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, SummationOrder, ::testing::Values<std::uint64_t>(0, 1, 7, 8, 9, 15, 16, 17, 33, 768),
                         [](const auto& info) { return "n" + std::to_string(info.param); });

TEST(Dispatch, EntriesUseTheBestLevelOfThisProcessor) {
  const Level chosen = qk::choose_level(*qk::find_slot("dot_f32"), qk::cpu_capabilities());
  std::mt19937 rng(11);
  std::vector<float> a = random_vector(100, rng), b = random_vector(100, rng);
  double got = 0.0;
  qk::dot_f32(a.data(), b.data(), a.size(), &got);
  EXPECT_TRUE(same_bits(got, reference_of(chosen)(a.data(), b.data(), a.size(), false)));
  qk::l2sq_f32(a.data(), b.data(), a.size(), &got);
  EXPECT_TRUE(same_bits(got, reference_of(chosen)(a.data(), b.data(), a.size(), true)));
  EXPECT_EQ(qk::choose_level(*qk::find_slot("l2sq_f32"), qk::cpu_capabilities()), chosen);
}

TEST(Dispatch, ConcurrentFirstCallsAgree) {
  std::mt19937 rng(5);
  const std::vector<float> a = random_vector(777, rng), b = random_vector(777, rng);
  constexpr int kThreads = 16;
  std::vector<double> dots(kThreads), l2s(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      qk::dot_f32(a.data(), b.data(), a.size(), &dots[t]);
      qk::l2sq_f32(a.data(), b.data(), a.size(), &l2s[t]);
    });
  for (std::thread& t : threads) t.join();
  const qk::CapabilitySet caps = qk::cpu_capabilities();
  EXPECT_NE(caps, qk::kNotComputed);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(same_bits(dots[t], dots[0]));
    EXPECT_TRUE(same_bits(l2s[t], l2s[0]));
  }
  EXPECT_EQ(qk::cpu_capabilities(), caps);
}

// ---- capability detection from synthetic registers ----

constexpr std::uint32_t kOsxsave = 1u << 27, kFma = 1u << 12, kF16c = 1u << 29, kPopcnt = 1u << 23;
constexpr std::uint32_t kAvx2Ecx = kFma | kF16c | kPopcnt;
// AVX512F, DQ, BW and VL, which every AVX-512 level but avx512f needs besides its own.
constexpr std::uint32_t kBaseEbx = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
constexpr std::uint32_t kAvx2Ebx = 1u << 5, kAvx512fEbx = 1u << 16, kIfmaEbx = 1u << 21;
constexpr std::uint32_t kIntEcx = (1u << 11) | (1u << 6) | (1u << 12) | (1u << 14);
constexpr std::uint32_t kFp16Edx = 1u << 23, kVp2Edx = 1u << 8, kBf16Eax = 1u << 5;
constexpr std::uint64_t kYmmState = 0x7, kZmmState = 0xE7;

qk::CpuidRegisters regs(std::uint32_t ecx1, std::uint32_t ebx7, std::uint32_t ecx7, std::uint32_t edx7,
                        std::uint32_t eax71, std::uint64_t xcr0) {
  qk::CpuidRegisters r;
  r.max_basic_leaf = 0xD;
  r.leaf1_ecx = ecx1;
  r.leaf7_max_subleaf = 1;
  r.leaf7_ebx = ebx7;
  r.leaf7_ecx = ecx7;
  r.leaf7_edx = edx7;
  r.leaf7_1_eax = eax71;
  r.xcr0 = xcr0;
  return r;
}

struct DetectCase {
  const char* name;
  qk::CpuidRegisters regs;
  qk::CapabilitySet expected;
};

qk::CpuidRegisters with_leaf_limits(qk::CpuidRegisters r, std::uint32_t max_leaf, std::uint32_t max_sub) {
  r.max_basic_leaf = max_leaf;
  r.leaf7_max_subleaf = max_sub;
  return r;
}

const qk::CpuidRegisters kEverything = regs(kOsxsave | kAvx2Ecx, kAvx2Ebx | kBaseEbx | kIfmaEbx, kIntEcx,
                                            kFp16Edx | kVp2Edx, kBf16Eax, kZmmState);
constexpr qk::CapabilitySet kAllBits = qk::kSerial | qk::kAvx2 | qk::kAvx512f | qk::kAvx512Int | qk::kAvx512Bf16 |
                                       qk::kAvx512Fp16 | qk::kAvx512Vp2intersect;

const DetectCase kDetectCases[] = {
    {"nothing", regs(0, 0, 0, 0, 0, 0), qk::kSerial},
    {"everything", kEverything, kAllBits},
    {"avx2_needs_all_three", regs(kOsxsave | kFma, kAvx2Ebx, 0, 0, 0, kYmmState), qk::kSerial},
    {"avx2", regs(kOsxsave | kAvx2Ecx, kAvx2Ebx, 0, 0, 0, kYmmState), qk::kSerial | qk::kAvx2},
    {"avx2_needs_popcnt", regs(kOsxsave | kFma | kF16c, kAvx2Ebx, 0, 0, 0, kYmmState), qk::kSerial},
    {"avx2_without_osxsave", regs(kAvx2Ecx, kAvx2Ebx, 0, 0, 0, kYmmState), qk::kSerial},
    {"avx2_ymm_state_off", regs(kOsxsave | kAvx2Ecx, kAvx2Ebx, 0, 0, 0, 0x3), qk::kSerial},
    {"avx512f_without_avx2", regs(kOsxsave, kAvx512fEbx, 0, 0, 0, kZmmState), qk::kSerial | qk::kAvx512f},
    {"avx512_zmm_state_off", regs(kOsxsave | kAvx2Ecx, kAvx2Ebx | kAvx512fEbx, 0, 0, 0, kYmmState),
     qk::kSerial | qk::kAvx2},
    {"avx512_opmask_state_off", regs(kOsxsave, kAvx512fEbx, 0, 0, 0, 0xC7), qk::kSerial},
    {"int_needs_all_five", regs(kOsxsave, kAvx512fEbx, kIntEcx & ~(1u << 14), 0, 0, kZmmState) ,
     qk::kSerial | qk::kAvx512f},
    {"int", regs(kOsxsave, kBaseEbx | kIfmaEbx, kIntEcx, 0, 0, kZmmState), qk::kSerial | qk::kAvx512f | qk::kAvx512Int},
    {"int_needs_the_base_set", regs(kOsxsave, kIfmaEbx, kIntEcx, 0, 0, kZmmState), qk::kSerial},
    {"fp16", regs(kOsxsave, kBaseEbx, 0, kFp16Edx, 0, kZmmState), qk::kSerial | qk::kAvx512f | qk::kAvx512Fp16},
    {"fp16_needs_bw", regs(kOsxsave, kBaseEbx & ~(1u << 30), 0, kFp16Edx, 0, kZmmState), qk::kSerial | qk::kAvx512f},
    {"bf16_needs_vl", regs(kOsxsave, kBaseEbx & ~(1u << 31), 0, 0, kBf16Eax, kZmmState), qk::kSerial | qk::kAvx512f},
    {"vp2intersect_needs_bf16", regs(kOsxsave, kBaseEbx, 0, kVp2Edx, 0, kZmmState), qk::kSerial | qk::kAvx512f},
    {"vp2intersect", regs(kOsxsave, kBaseEbx, 0, kVp2Edx, kBf16Eax, kZmmState),
     qk::kSerial | qk::kAvx512f | qk::kAvx512Bf16 | qk::kAvx512Vp2intersect},
    {"leaf7_beyond_limit", with_leaf_limits(kEverything, 6, 1), qk::kSerial},
    {"subleaf1_beyond_limit", with_leaf_limits(kEverything, 0xD, 0),
     qk::kSerial | qk::kAvx2 | qk::kAvx512f | qk::kAvx512Int | qk::kAvx512Fp16},
    {"leaf1_beyond_limit", with_leaf_limits(kEverything, 0, 1), qk::kSerial},
};

class DetectTest : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, BuildsTheSetFromRegisters) {
  EXPECT_EQ(qk::capabilities_from_registers(GetParam().regs), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Synthetic, DetectTest, ::testing::ValuesIn(kDetectCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The kernel's view of this processor against the flags it publishes (which already
// account for the operating system's register state).
TEST(Detect, AgreesWithTheOperatingSystemsFlags) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  std::set<std::string> flags;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    for (std::string w; words >> w;) flags.insert(w);
    break;
  }
  if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo flags";
  auto has = [&](std::initializer_list<const char*> names) {
    for (const char* n : names)
      if (!flags.count(n)) return false;
    return true;
  };
  const qk::CapabilitySet caps = qk::capabilities_from_registers(qk::read_cpuid_registers());
  EXPECT_EQ(caps, qk::cpu_capabilities());
  EXPECT_TRUE(caps & qk::kSerial);
  EXPECT_EQ((caps & qk::kAvx2) != 0, has({"avx2", "fma", "f16c", "popcnt"}));
  const bool base = has({"avx512f", "avx512bw", "avx512dq", "avx512vl"});
  EXPECT_EQ((caps & qk::kAvx512f) != 0, has({"avx512f"}));
  EXPECT_EQ((caps & qk::kAvx512Int) != 0,
            base && has({"avx512_vnni", "avx512ifma", "avx512_vbmi2", "avx512_bitalg", "avx512_vpopcntdq"}));
  EXPECT_EQ((caps & qk::kAvx512Bf16) != 0, base && has({"avx512_bf16"}));
  EXPECT_EQ((caps & qk::kAvx512Fp16) != 0, base && has({"avx512_fp16"}));
  EXPECT_EQ((caps & qk::kAvx512Vp2intersect) != 0, base && has({"avx512_vp2intersect", "avx512_bf16"}));
}

// ---- the slot table ----

struct ChooseCase {
  const char* op;
  qk::CapabilitySet caps;
  Level expected;
};

const ChooseCase kChooseCases[] = {
    {"dot_f32", qk::kSerial | qk::kAvx512f, Level::avx512f},
    {"l2sq_f32", qk::kSerial | qk::kAvx512f, Level::avx512f},
    {"dot_i8", qk::kSerial | qk::kAvx512f, Level::serial},
    {"cos_f16", qk::kSerial | qk::kAvx512f, Level::serial},
    {"kl_f32", qk::kSerial | qk::kAvx512f, Level::avx512f},
    {"wsum_bf16", qk::kSerial | qk::kAvx512f | qk::kAvx512Bf16, Level::avx512f},
    {"fma_i8", qk::kSerial | qk::kAvx512f, Level::serial},
    {"fma_i8", qk::kSerial | qk::kAvx512Fp16, Level::avx512_fp16},
    {"dot_f32", qk::kSerial | qk::kAvx2, Level::avx2},
    {"dot_f64", qk::kSerial | qk::kAvx2, Level::serial},
    {"cos_f64", qk::kSerial | qk::kAvx2, Level::avx2},
    {"dot_bf16c", qk::kSerial | qk::kAvx2, Level::serial},
    {"intersect_u16", qk::kSerial | qk::kAvx2 | qk::kAvx512Int, Level::avx512_int},
    {"intersect_u32", kAllBits, Level::avx512_vp2intersect},
    {"kl_f64", kAllBits, Level::serial},
    {"mahalanobis_f64", kAllBits, Level::serial},
    {"dot_f32", qk::kSerial, Level::serial},
};

class ChooseTest : public ::testing::TestWithParam<ChooseCase> {};

TEST_P(ChooseTest, TakesTheFirstLevelInTheSet) {
  const auto slot = qk::find_slot(GetParam().op);
  ASSERT_TRUE(slot.has_value()) << GetParam().op;
  EXPECT_EQ(qk::choose_level(*slot, GetParam().caps), GetParam().expected)
      << GetParam().op << " caps=" << std::hex << GetParam().caps;
}

INSTANTIATE_TEST_SUITE_P(Table, ChooseTest, ::testing::ValuesIn(kChooseCases), [](const auto& info) {
  return std::string(info.param.op) + "_" + std::to_string(info.index);
});

// Every level of every row has its kernel (the entries rely on it), and the tests reach each
// AVX-512 one through its emulated build.
TEST(Registry, EveryLevelOfEveryOperationHasItsKernel) {
  for (std::size_t slot = 0; slot < qk::kSlotCount; ++slot) {
    const qk::SlotInfo& info = qk::slot_table()[slot];
    for (std::size_t i = 0; i < info.n_levels; ++i) {
      const Level l = info.levels[i];
      EXPECT_NE(qd::kernel_table().get(slot, l), nullptr) << info.name << " " << qk::level_name(l);
      if (harness::is_avx512(l)) {
        EXPECT_NE(harness::emulated_table().get(slot, l), nullptr) << info.name << " " << qk::level_name(l);
      }
    }
  }
}

TEST(SlotTable, SixtyFourUniqueOperationsEndingInSerial) {
  const auto table = qk::slot_table();
  std::set<std::string_view> names;
  for (const qk::SlotInfo& s : table) {
    names.insert(s.name);
    ASSERT_GE(s.n_levels, 1);
    EXPECT_EQ(s.levels[s.n_levels - 1], Level::serial) << s.name;
  }
  EXPECT_EQ(names.size(), qk::kSlotCount);
  EXPECT_EQ(qk::find_slot("dot_i8"), 0u);
  EXPECT_EQ(qk::find_slot("dot_f32"), 4u);
  EXPECT_EQ(qk::find_slot("l2sq_f32"), 24u);
  EXPECT_EQ(qk::find_slot("fma_u8"), 63u);
  EXPECT_FALSE(qk::find_slot("dot_f128").has_value());
}

}  // namespace
