#include <cpuid.h>

#include <algorithm>
#include <array>
#include <utility>

#include "dispatch.h"
#include "quillmere/kernels.h"

namespace quillmere::kernels {
namespace {

using detail::kTable;
using enum Level;

static_assert(std::ranges::all_of(kTable, [](const SlotInfo& s) { return s.levels[s.n_levels - 1] == serial; }),
              "every operation must end with a serial kernel");

detail::KernelTable make_table() {
  detail::KernelTable t;
  detail::add_f32_kernels(t);
  detail::add_f64_kernels(t);
  detail::add_f16_kernels(t);
  detail::add_bf16_kernels(t);
  detail::add_int8_kernels(t);
  detail::add_binary_kernels(t);
  detail::add_complex_kernels(t);
  detail::add_sparse_kernels(t);
  add_avx512_kernels(t);
  return t;
}

std::atomic<CapabilitySet> g_caps{kNotComputed};

// One call of slot S's entry with n = 0 on the zeroed scratch area.
template <std::size_t S>
void probe_slot(unsigned char* scratch, double* out) {
  using T = detail::ElementOf<S>;
  T* v = reinterpret_cast<T*>(scratch);
  constexpr Form form = kTable[S].form;
  if constexpr (form == Form::dense || form == Form::complex) detail::call<S>(v, v, 0, out);
  else if constexpr (form == Form::sparse) detail::call<S>(v, v, 0, 0, out);
  else if constexpr (form == Form::matrix) detail::call<S>(v, v, v, 0, out);
  else if constexpr (form == Form::wsum) detail::call<S>(v, v, 0, 0.0, 0.0, v);
  else detail::call<S>(v, v, v, 0, 0.0, 0.0, v);
}

template <std::size_t... S>
void probe_all(unsigned char* scratch, double* out, std::index_sequence<S...>) {
  (probe_slot<S>(scratch, out), ...);
}

void run_probe() noexcept {
  alignas(64) unsigned char scratch[256] = {};
  alignas(16) double out[2] = {0.0, 0.0};
  probe_all(scratch, out, std::make_index_sequence<kSlotCount>());
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

const KernelTable& kernel_table() {
  static const KernelTable table = make_table();
  return table;
}

AnyKernel resolve_slot(std::size_t slot) noexcept {
  const CapabilitySet caps = cpu_capabilities();
  const SlotInfo& info = kTable[slot];
  for (std::size_t i = 0; i < info.n_levels; ++i) {
    if ((caps & level_bit(info.levels[i])) != 0) {
      const AnyKernel k = kernel_table().kernels[slot][i];
      g_slots[slot].store(k, std::memory_order_relaxed);
      return k;
    }
  }
  return nullptr;  // unreachable: every row ends with serial, which every set holds
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

  // The avx2 kernels also count bits with POPCNT. The kernels of the narrower AVX-512 levels
  // load, store and shuffle bytes and words under masks, which takes the BW, DQ and VL
  // extensions besides F; every processor with those levels has them, but none is assumed.
  const bool avx512_base = zmm && bit(ebx7, 16) && bit(ebx7, 17) && bit(ebx7, 30) && bit(ebx7, 31);

  CapabilitySet set = kSerial;
  if (ymm && bit(ecx1, 12) && bit(ecx1, 23) && bit(ecx1, 29) && bit(ebx7, 5)) set |= kAvx2;
  if (zmm && bit(ebx7, 16)) set |= kAvx512f;
  if (avx512_base && bit(ecx7, 11) && bit(ebx7, 21) && bit(ecx7, 6) && bit(ecx7, 12) && bit(ecx7, 14))
    set |= kAvx512Int;
  if (avx512_base && bit(eax71, 5)) set |= kAvx512Bf16;
  if (avx512_base && bit(edx7, 23)) set |= kAvx512Fp16;
  if (avx512_base && bit(edx7, 8) && bit(eax71, 5)) set |= kAvx512Vp2intersect;
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


}  // namespace quillmere::kernels
