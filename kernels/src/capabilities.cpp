#include <cpuid.h>

#include <algorithm>
#include <array>

#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

using enum Level;
using E = Element;
using F = Form;

constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0) { return {name, e, f, {l0, serial, serial}, 1}; }
constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0, Level l1) {
  return {name, e, f, {l0, l1, serial}, 2};
}
constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0, Level l1, Level l2) {
  return {name, e, f, {l0, l1, l2}, 3};
}

// Slot order is the probe order.
constexpr std::array<SlotInfo, kSlotCount> kTable = {
    row("dot_i8", E::i8, F::dense, avx512_int, avx2, serial),
    row("dot_u8", E::u8, F::dense, avx512_int, avx2, serial),
    row("dot_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("dot_bf16", E::bf16, F::dense, avx512_bf16, avx2, serial),
    row("dot_f32", E::f32, F::dense, avx512f, avx2, serial),
    row("dot_f64", E::f64, F::dense, avx512f, serial),
    row("dot_f16c", E::f16c, F::complex, avx512_fp16, avx2, serial),
    row("dot_bf16c", E::bf16c, F::complex, avx512_bf16, serial),
    row("dot_f32c", E::f32c, F::complex, avx512f, avx2, serial),
    row("dot_f64c", E::f64c, F::complex, avx512f, serial),
    row("vdot_f16c", E::f16c, F::complex, avx512_fp16, avx2, serial),
    row("vdot_bf16c", E::bf16c, F::complex, avx512_bf16, serial),
    row("vdot_f32c", E::f32c, F::complex, avx512f, avx2, serial),
    row("vdot_f64c", E::f64c, F::complex, avx512f, serial),
    row("cos_i8", E::i8, F::dense, avx512_int, avx2, serial),
    row("cos_u8", E::u8, F::dense, avx512_int, avx2, serial),
    row("cos_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("cos_bf16", E::bf16, F::dense, avx512_bf16, avx2, serial),
    row("cos_f32", E::f32, F::dense, avx512f, avx2, serial),
    row("cos_f64", E::f64, F::dense, avx512f, avx2, serial),
    row("l2sq_i8", E::i8, F::dense, avx512_int, avx2, serial),
    row("l2sq_u8", E::u8, F::dense, avx512_int, avx2, serial),
    row("l2sq_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("l2sq_bf16", E::bf16, F::dense, avx512_bf16, avx2, serial),
    row("l2sq_f32", E::f32, F::dense, avx512f, avx2, serial),
    row("l2sq_f64", E::f64, F::dense, avx512f, avx2, serial),
    row("l2_i8", E::i8, F::dense, avx512_int, avx2, serial),
    row("l2_u8", E::u8, F::dense, avx512_int, avx2, serial),
    row("l2_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("l2_bf16", E::bf16, F::dense, avx512_bf16, avx2, serial),
    row("l2_f32", E::f32, F::dense, avx512f, avx2, serial),
    row("l2_f64", E::f64, F::dense, avx512f, avx2, serial),
    row("hamming_b8", E::b8, F::dense, avx512_int, avx2, serial),
    row("jaccard_b8", E::b8, F::dense, avx512_int, avx2, serial),
    row("kl_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("kl_bf16", E::bf16, F::dense, serial),
    row("kl_f32", E::f32, F::dense, avx512f, serial),
    row("kl_f64", E::f64, F::dense, serial),
    row("js_f16", E::f16, F::dense, avx512_fp16, avx2, serial),
    row("js_bf16", E::bf16, F::dense, serial),
    row("js_f32", E::f32, F::dense, avx512f, serial),
    row("js_f64", E::f64, F::dense, serial),
    row("intersect_u16", E::u16, F::sparse, avx512_vp2intersect, avx512_int, serial),
    row("intersect_u32", E::u32, F::sparse, avx512_vp2intersect, avx512_int, serial),
    row("bilinear_f64", E::f64, F::matrix, serial),
    row("mahalanobis_f64", E::f64, F::matrix, serial),
    row("bilinear_f32", E::f32, F::matrix, avx512f, serial),
    row("mahalanobis_f32", E::f32, F::matrix, avx512f, serial),
    row("bilinear_f16", E::f16, F::matrix, avx512_fp16, avx2, serial),
    row("mahalanobis_f16", E::f16, F::matrix, avx512_fp16, avx2, serial),
    row("bilinear_bf16", E::bf16, F::matrix, avx512_bf16, avx2, serial),
    row("mahalanobis_bf16", E::bf16, F::matrix, avx512_bf16, avx2, serial),
    row("wsum_f64", E::f64, F::wsum, avx512f, avx2, serial),
    row("wsum_f32", E::f32, F::wsum, avx512f, avx2, serial),
    row("wsum_f16", E::f16, F::wsum, avx512_fp16, avx2, serial),
    row("wsum_bf16", E::bf16, F::wsum, avx512f, avx2, serial),
    row("wsum_i8", E::i8, F::wsum, avx512_fp16, avx2, serial),
    row("wsum_u8", E::u8, F::wsum, avx512_fp16, avx2, serial),
    row("fma_f64", E::f64, F::fma, avx512f, avx2, serial),
    row("fma_f32", E::f32, F::fma, avx512f, avx2, serial),
    row("fma_f16", E::f16, F::fma, avx512_fp16, avx2, serial),
    row("fma_bf16", E::bf16, F::fma, avx512f, avx2, serial),
    row("fma_i8", E::i8, F::fma, avx512_fp16, avx2, serial),
    row("fma_u8", E::u8, F::fma, avx512_fp16, avx2, serial),
};

static_assert(std::ranges::all_of(kTable, [](const SlotInfo& s) { return s.levels[s.n_levels - 1] == serial; }),
              "every operation must end with a serial kernel");

// ---- kernels of each slot, in the order of the slot's levels; filled per built family ----

template <class T, void (*Entry)(const T*, const T*, std::uint64_t, double*)>
void probe_dense(unsigned char* scratch, double* out) {
  const T* v = reinterpret_cast<const T*>(scratch);
  Entry(v, v, 0, out);
}

std::array<detail::SlotImpl, kSlotCount> make_impls() {
  using detail::erase;
  std::array<detail::SlotImpl, kSlotCount> t{};
  t[detail::kDotF32] = {{erase(&dot_f32_avx512), erase(&dot_f32_avx2), erase(&dot_f32_serial)},
                        &probe_dense<float, &dot_f32>};
  t[detail::kL2sqF32] = {{erase(&l2sq_f32_avx512), erase(&l2sq_f32_avx2), erase(&l2sq_f32_serial)},
                         &probe_dense<float, &l2sq_f32>};
  return t;
}

// Built on first use, so that an entry called from another file's static initialiser still
// finds its kernels.
const std::array<detail::SlotImpl, kSlotCount>& impls() {
  static const std::array<detail::SlotImpl, kSlotCount> table = make_impls();
  return table;
}

std::atomic<CapabilitySet> g_caps{kNotComputed};

void run_probe() noexcept {
  alignas(64) unsigned char scratch[256] = {};
  alignas(16) double out[2] = {0.0, 0.0};
  for (const detail::SlotImpl& impl : impls())
    if (impl.probe != nullptr) impl.probe(scratch, out);
}

std::uint64_t read_xcr0() {
  std::uint32_t lo = 0, hi = 0;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

constexpr bool bit(std::uint32_t reg, unsigned n) { return ((reg >> n) & 1u) != 0; }

}  // namespace

namespace detail {
std::atomic<AnyKernel> g_slots[kSlotCount];

AnyKernel resolve_slot(std::size_t slot) noexcept {
  const CapabilitySet caps = cpu_capabilities();
  const SlotInfo& info = kTable[slot];
  const SlotImpl& impl = impls()[slot];
  for (std::size_t i = 0; i < info.n_levels; ++i) {
    if ((caps & level_bit(info.levels[i])) != 0 && impl.kernels[i] != nullptr) {
      g_slots[slot].store(impl.kernels[i], std::memory_order_relaxed);
      return impl.kernels[i];
    }
  }
  return nullptr;  // only for operations without kernels, which have no entry to call it
}
}  // namespace detail

std::string_view level_name(Level level) {
  switch (level) {
    case serial: return "serial";
    case avx2: return "avx2";
    case avx512f: return "avx512f";
    case avx512_int: return "avx512_int";
    case avx512_bf16: return "avx512_bf16";
    case avx512_fp16: return "avx512_fp16";
    case avx512_vp2intersect: return "avx512_vp2intersect";
  }
  return "unknown";
}

CpuidRegisters read_cpuid_registers() {
  CpuidRegisters r;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(0, &a, &b, &c, &d) == 0) return r;
  r.max_basic_leaf = a;
  if (r.max_basic_leaf >= 1) {
    __cpuid_count(1, 0, a, b, c, d);
    r.leaf1_ecx = c;
  }
  if (r.max_basic_leaf >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    r.leaf7_max_subleaf = a;
    r.leaf7_ebx = b;
    r.leaf7_ecx = c;
    r.leaf7_edx = d;
    if (r.leaf7_max_subleaf >= 1) {
      __cpuid_count(7, 1, a, b, c, d);
      r.leaf7_1_eax = a;
    }
  }
  if (bit(r.leaf1_ecx, 27)) r.xcr0 = read_xcr0();
  return r;
}

CapabilitySet capabilities_from_registers(const CpuidRegisters& regs) {
  const std::uint32_t ecx1 = regs.max_basic_leaf >= 1 ? regs.leaf1_ecx : 0;
  const bool has7 = regs.max_basic_leaf >= 7;
  const std::uint32_t ebx7 = has7 ? regs.leaf7_ebx : 0;
  const std::uint32_t ecx7 = has7 ? regs.leaf7_ecx : 0;
  const std::uint32_t edx7 = has7 ? regs.leaf7_edx : 0;
  const std::uint32_t eax71 = has7 && regs.leaf7_max_subleaf >= 1 ? regs.leaf7_1_eax : 0;
  const std::uint64_t xcr0 = bit(ecx1, 27) ? regs.xcr0 : 0;
  const bool ymm = (xcr0 & 0x6) == 0x6;
  const bool zmm = ymm && (xcr0 & 0xE0) == 0xE0;

  CapabilitySet set = kSerial;
  if (ymm && bit(ecx1, 12) && bit(ecx1, 29) && bit(ebx7, 5)) set |= kAvx2;
  if (zmm && bit(ebx7, 16)) set |= kAvx512f;
  if (zmm && bit(ecx7, 11) && bit(ebx7, 21) && bit(ecx7, 6) && bit(ecx7, 12) && bit(ecx7, 14)) set |= kAvx512Int;
  if (zmm && bit(eax71, 5)) set |= kAvx512Bf16;
  if (zmm && bit(edx7, 23)) set |= kAvx512Fp16;
  if (zmm && bit(edx7, 8) && bit(eax71, 5)) set |= kAvx512Vp2intersect;
  return set;
}

CapabilitySet cpu_capabilities() {
  CapabilitySet caps = g_caps.load(std::memory_order_relaxed);
  if (caps != kNotComputed) return caps;
  // Store before probing: the probe's entries ask for the set again and must find it.
  g_caps.store(capabilities_from_registers(read_cpuid_registers()), std::memory_order_relaxed);
  run_probe();
  return g_caps.load(std::memory_order_relaxed);
}

std::span<const SlotInfo, kSlotCount> slot_table() { return kTable; }

std::optional<std::size_t> find_slot(std::string_view name) {
  for (std::size_t i = 0; i < kSlotCount; ++i)
    if (kTable[i].name == name) return i;
  return std::nullopt;
}

Level choose_level(std::size_t slot, CapabilitySet caps) {
  if (slot >= kSlotCount) return serial;
  const SlotInfo& info = kTable[slot];
  for (std::size_t i = 0; i < info.n_levels; ++i)
    if ((caps & level_bit(info.levels[i])) != 0) return info.levels[i];
  return serial;
}

bool slot_has_kernels(std::size_t slot) { return slot < kSlotCount && impls()[slot].probe != nullptr; }

}  // namespace quillmere::kernels
