// Slot storage shared by the dispatch entries of every kernel family.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "quillmere/capabilities.h"

namespace quillmere::kernels::detail {

// Any kernel, stored type-erased; each entry casts back to its own form.
using AnyKernel = void (*)();

// The kernels of one slot, indexed like the slot's level list; null while not built.
using SlotKernels = std::array<AnyKernel, 3>;

// Calls the slot's entry once with n = 0 on the zeroed 256-byte scratch area; results go to
// the 16-byte `out` (or the scratch area for element-wise forms).
using ProbeFn = void (*)(unsigned char* scratch, double* out);

struct SlotImpl {
  SlotKernels kernels;
  ProbeFn probe;  // null while the operation has no entry
};

extern std::atomic<AnyKernel> g_slots[kSlotCount];

// Chooses and stores the slot's kernel (may run detection and the probe first).
AnyKernel resolve_slot(std::size_t slot) noexcept;

template <class Fn>
inline Fn slot_kernel(std::size_t slot) noexcept {
  AnyKernel k = g_slots[slot].load(std::memory_order_relaxed);
  if (k == nullptr) k = resolve_slot(slot);
  return reinterpret_cast<Fn>(k);
}

template <class Fn>
inline AnyKernel erase(Fn fn) noexcept {
  return reinterpret_cast<AnyKernel>(fn);
}

// Slot indices of the operations with entries.
inline constexpr std::size_t kDotF32 = 4;
inline constexpr std::size_t kL2sqF32 = 24;

}  // namespace quillmere::kernels::detail
