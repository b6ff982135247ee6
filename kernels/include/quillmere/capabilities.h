// Processor capability levels and the table of kernel slots that the dispatch entries
// resolve against. Detection is a pure function of the CPUID / XGETBV register values, so
// any processor can be described to it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillmere::kernels {

// One bit per capability level; every other bit is 0.
using CapabilitySet = std::uint32_t;

enum class Level : std::uint8_t {
  serial,
  avx2,
  avx512f,
  avx512_int,
  avx512_bf16,
  avx512_fp16,
  avx512_vp2intersect,
};

inline constexpr CapabilitySet kSerial = 0x1;
inline constexpr CapabilitySet kAvx2 = 0x400;
inline constexpr CapabilitySet kAvx512f = 0x800;
inline constexpr CapabilitySet kAvx512Int = 0x1000;
inline constexpr CapabilitySet kAvx512Bf16 = 0x2000;
inline constexpr CapabilitySet kAvx512Fp16 = 0x4000;
inline constexpr CapabilitySet kAvx512Vp2intersect = 0x8000;

// The cached set's value before detection; no computed set equals it.
inline constexpr CapabilitySet kNotComputed = 0x7FFFFFFF;

constexpr CapabilitySet level_bit(Level level) {
  switch (level) {
    case Level::serial: return kSerial;
    case Level::avx2: return kAvx2;
    case Level::avx512f: return kAvx512f;
    case Level::avx512_int: return kAvx512Int;
    case Level::avx512_bf16: return kAvx512Bf16;
    case Level::avx512_fp16: return kAvx512Fp16;
    case Level::avx512_vp2intersect: return kAvx512Vp2intersect;
  }
  return 0;
}

std::string_view level_name(Level level);

// The raw registers detection looks at. Registers of a leaf (or sub-leaf) beyond what the
// processor reports are ignored, and xcr0 only counts when leaf 1 ECX has OSXSAVE (bit 27).
struct CpuidRegisters {
  std::uint32_t max_basic_leaf = 0;    // leaf 0 EAX
  std::uint32_t leaf1_ecx = 0;
  std::uint32_t leaf7_max_subleaf = 0; // leaf 7.0 EAX
  std::uint32_t leaf7_ebx = 0;
  std::uint32_t leaf7_ecx = 0;
  std::uint32_t leaf7_edx = 0;
  std::uint32_t leaf7_1_eax = 0;
  std::uint64_t xcr0 = 0;              // XGETBV(0)
};

// Reads this processor's registers (XGETBV only when the OS reports OSXSAVE).
CpuidRegisters read_cpuid_registers();

// The capability set the registers describe. A vector level counts only when the operating
// system saves its register state: YMM state (XCR0 bits 1-2) for avx2, and additionally the
// opmask and ZMM state (bits 5-7) for the AVX-512 levels. Besides its own features, avx2
// needs POPCNT, and every AVX-512 level but avx512f needs AVX512F, BW, DQ and VL, because
// their kernels use those instructions too.
CapabilitySet capabilities_from_registers(const CpuidRegisters& regs);

// This process's set: computed on the first call, which also resolves every kernel slot
// once; later calls return the cached value.
CapabilitySet cpu_capabilities();

// ---- the slot table ----

enum class Form : std::uint8_t { dense, complex, sparse, matrix, wsum, fma };

enum class Element : std::uint8_t { i8, u8, f16, bf16, f32, f64, f16c, bf16c, f32c, f64c, b8, u16, u32 };

inline constexpr std::size_t kSlotCount = 64;

struct SlotInfo {
  std::string_view name;
  Element element;
  Form form;
  std::array<Level, 3> levels;  // best first; only the first `n_levels` count
  std::uint8_t n_levels;
};

// The 64 operations in slot order.
std::span<const SlotInfo, kSlotCount> slot_table();

// Index of the named operation, if any.
std::optional<std::size_t> find_slot(std::string_view name);

// The level a slot's entry takes for `caps`: its first level whose bit is in `caps`
// (serial when none is, which every real set contains).
Level choose_level(std::size_t slot, CapabilitySet caps);

}  // namespace quillmere::kernels
