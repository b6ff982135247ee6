// Distance kernels chosen at run time by the processor's capabilities.
//
// Each operation has a dispatch entry (e.g. dot_f32) that, on its first call, picks the best
// kernel the processor supports and keeps it for the life of the process. Kernels check no
// lengths, report no errors and allocate nothing: the caller guarantees that every vector
// holds at least n elements. Levels agree on the mathematics but not to the last bit.
#pragma once

#include <cstdint>

#include "quillmere/capabilities.h"

namespace quillmere::kernels {

// Inner product of the first n elements of a and b.
void dot_f32(const float* a, const float* b, std::uint64_t n, double* out);
// Sum over i of (a[i] - b[i])^2, no square root.
void l2sq_f32(const float* a, const float* b, std::uint64_t n, double* out);

// The kernels behind the entries, one per level. Calling a level the processor lacks is an
// illegal instruction; check cpu_capabilities() first.
//   serial: one sequential f32 sum of f32 products, no fused multiply-add.
//   avx2:   8 f32 lanes of fused multiply-adds, lanes summed in f64, scalar tail added in f64.
//   avx512: 16 f32 lanes of fused multiply-adds, masked tail, fixed f32 reduction tree.
void dot_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void dot_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_serial(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx2(const float* a, const float* b, std::uint64_t n, double* out);
void l2sq_f32_avx512(const float* a, const float* b, std::uint64_t n, double* out);

}  // namespace quillmere::kernels
