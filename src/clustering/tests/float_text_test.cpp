#include <bit>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "quillmere/clustering.h"

namespace quillmere {
namespace {

struct FloatText {
  std::uint32_t bits;
  const char* text;
};

void PrintTo(const FloatText& f, std::ostream* os) { *os << f.text; }

class FloatTexts : public ::testing::TestWithParam<FloatText> {};

TEST_P(FloatTexts, ShortestDigitsWithFractionOrExponent) {
  EXPECT_EQ(format_f32(std::bit_cast<float>(GetParam().bits)), GetParam().text);
}

// Expected texts come from an independent shortest-digits formatter (NumPy's), laid out by hand.
INSTANTIATE_TEST_SUITE_P(
    Table, FloatTexts,
    ::testing::Values(FloatText{0x3f800000u, "1.0"}, FloatText{0x3e800000u, "0.25"}, FloatText{0xc0600000u, "-3.5"},
                      FloatText{0x00000000u, "0.0"}, FloatText{0x80000000u, "-0.0"}, FloatText{0x3727c5acu, "1e-5"},
                      FloatText{0x5ab1a2bcu, "2.5e16"}, FloatText{0x5a0e1bcau, "1e16"},
                      FloatText{0x38d1b717u, "0.0001"}, FloatText{0x38d1b68eu, "9.9999e-5"},
                      FloatText{0x3dcccccdu, "0.1"}, FloatText{0x3eaaaaabu, "0.33333334"},
                      FloatText{0x47f12065u, "123456.79"}, FloatText{0x4b800000u, "16777216.0"},
                      FloatText{0x58635fa9u, "1000000000000000.0"}, FloatText{0x5a0e1bc9u, "9999999000000000.0"},
                      FloatText{0x00000001u, "1e-45"}, FloatText{0x7f7fffffu, "3.4028235e38"},
                      FloatText{0x00800000u, "1.1754944e-38"}, FloatText{0xb3d6bf95u, "-1e-7"},
                      FloatText{0x60ad78ecu, "1e20"}, FloatText{0x42f6e979u, "123.456"},
                      FloatText{0x3e99999au, "0.3"}, FloatText{0x42c80000u, "100.0"},
                      FloatText{0x3a378034u, "0.0007"}, FloatText{0xc77fe080u, "-65504.5"},
                      FloatText{0x7fc00000u, "NaN"}, FloatText{0xffc00000u, "NaN"},
                      FloatText{0x7f800000u, "inf"}, FloatText{0xff800000u, "-inf"}),
    [](const auto& info) {
      char name[16];
      std::snprintf(name, sizeof name, "bits_%08x", static_cast<unsigned>(info.param.bits));
      return std::string(name);
    });

TEST(FloatText, ReadsBackToTheSameValue) {
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    const float v = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(v)) continue;
    const std::string text = format_f32(v);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<std::uint32_t>(v))
        << text;
  }
}

}  // namespace
}  // namespace quillmere
