// The operation table, the slot storage of the dispatch entries and the registry of every
// kernel, shared by all kernel families.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quillmere/capabilities.h"

namespace quillmere::kernels::detail {

using enum Level;

constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0) { return {name, e, f, {l0, serial, serial}, 1}; }
constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0, Level l1) {
  return {name, e, f, {l0, l1, serial}, 2};
}
constexpr SlotInfo row(std::string_view name, Element e, Form f, Level l0, Level l1, Level l2) {
  return {name, e, f, {l0, l1, l2}, 3};
}

using E = Element;
using F = Form;

// Slot order is the probe order; each row lists its levels best first.
inline constexpr std::array<SlotInfo, kSlotCount> kTable = {
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

// The slot of a named operation; a misspelt name does not compile.
consteval std::size_t slot_of(std::string_view name) {
  for (std::size_t i = 0; i < kSlotCount; ++i)
    if (kTable[i].name == name) return i;
  throw "no such operation";
}

// Position of `level` in the slot's row, or n_levels when the row lacks it.
constexpr std::size_t level_index(std::size_t slot, Level level) {
  const SlotInfo& info = kTable[slot];
  for (std::size_t i = 0; i < info.n_levels; ++i)
    if (info.levels[i] == level) return i;
  return info.n_levels;
}

// ---- the C++ type of a kernel of each slot ----

template <Element> struct ElementType;
template <> struct ElementType<Element::i8> { using type = std::int8_t; };
template <> struct ElementType<Element::u8> { using type = std::uint8_t; };
template <> struct ElementType<Element::b8> { using type = std::uint8_t; };
template <> struct ElementType<Element::f16> { using type = std::uint16_t; };
template <> struct ElementType<Element::bf16> { using type = std::uint16_t; };
template <> struct ElementType<Element::f16c> { using type = std::uint16_t; };
template <> struct ElementType<Element::bf16c> { using type = std::uint16_t; };
template <> struct ElementType<Element::u16> { using type = std::uint16_t; };
template <> struct ElementType<Element::f32> { using type = float; };
template <> struct ElementType<Element::f32c> { using type = float; };
template <> struct ElementType<Element::f64> { using type = double; };
template <> struct ElementType<Element::f64c> { using type = double; };
template <> struct ElementType<Element::u32> { using type = std::uint32_t; };

template <Form, class T> struct FormSignature;
template <class T> struct FormSignature<Form::dense, T> {
  using type = void (*)(const T*, const T*, std::uint64_t, double*);
};
template <class T> struct FormSignature<Form::complex, T> {
  using type = void (*)(const T*, const T*, std::uint64_t, double*);
};
template <class T> struct FormSignature<Form::sparse, T> {
  using type = void (*)(const T*, const T*, std::uint64_t, std::uint64_t, double*);
};
template <class T> struct FormSignature<Form::matrix, T> {
  using type = void (*)(const T*, const T*, const T*, std::uint64_t, double*);
};
template <class T> struct FormSignature<Form::wsum, T> {
  using type = void (*)(const T*, const T*, std::uint64_t, double, double, T*);
};
template <class T> struct FormSignature<Form::fma, T> {
  using type = void (*)(const T*, const T*, const T*, std::uint64_t, double, double, T*);
};

template <std::size_t S>
using ElementOf = typename ElementType<kTable[S].element>::type;

// The function-pointer type of every kernel (and the entry) of slot S.
template <std::size_t S>
using Kernel = typename FormSignature<kTable[S].form, ElementOf<S>>::type;

// ---- the registry: every kernel built into the library, by slot and level ----

// Any kernel, stored type-erased; each entry casts back to its own form.
using AnyKernel = void (*)();

struct KernelTable {
  // Indexed like each slot's level list; null where no kernel is built.
  std::array<std::array<AnyKernel, 3>, kSlotCount> kernels{};

  template <std::size_t S, Level L>
  void put(Kernel<S> fn) {
    static_assert(level_index(S, L) < kTable[S].n_levels, "the operation has no such level");
    kernels[S][level_index(S, L)] = reinterpret_cast<AnyKernel>(fn);
  }

  AnyKernel get(std::size_t slot, Level level) const {
    const std::size_t i = level_index(slot, level);
    return i < kTable[slot].n_levels ? kernels[slot][i] : nullptr;
  }
};

// The native kernels of every family, built on first use (so that an entry called from
// another file's static initialiser still finds them).
const KernelTable& kernel_table();

// ---- slots and entries ----

extern std::atomic<AnyKernel> g_slots[kSlotCount];

// Chooses and stores the slot's kernel (may run detection and the probe first).
AnyKernel resolve_slot(std::size_t slot) noexcept;

// What an entry does: one load of its slot, one indirect call.
template <std::size_t S, class... Args>
inline void call(Args... args) noexcept {
  AnyKernel k = g_slots[S].load(std::memory_order_relaxed);
  if (k == nullptr) k = resolve_slot(S);
  reinterpret_cast<Kernel<S>>(k)(args...);
}

// Each family adds its native serial and avx2 kernels ...
void add_f32_kernels(KernelTable& t);
void add_f64_kernels(KernelTable& t);
void add_f16_kernels(KernelTable& t);
void add_bf16_kernels(KernelTable& t);
void add_int8_kernels(KernelTable& t);
void add_binary_kernels(KernelTable& t);
void add_complex_kernels(KernelTable& t);
void add_sparse_kernels(KernelTable& t);

}  // namespace quillmere::kernels::detail

namespace quillmere::kernels {
// ... and the AVX-512 kernels come from the files that are also built over the emulation
// (see vec512.h), which register under this name in either namespace.
void add_avx512_kernels(detail::KernelTable& t);
}  // namespace quillmere::kernels
