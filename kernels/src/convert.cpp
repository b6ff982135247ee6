// The public element conversions.
#include "quillmere/kernels.h"
#include "scalar.h"

namespace quillmere::kernels {

float f16_to_f32(std::uint16_t h) { return scalar::f16_to_f32(h); }
std::uint16_t f32_to_f16(float v) { return scalar::f32_to_f16(v); }
float bf16_to_f32(std::uint16_t b) { return scalar::bf16_to_f32(b); }
std::uint16_t f32_to_bf16(float v) { return scalar::f32_to_bf16(v); }

}  // namespace quillmere::kernels
