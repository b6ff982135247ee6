// The safetensors container: an 8-byte little-endian header length, a JSON header
// padded with spaces, then the raw little-endian tensor bytes. No libtorch here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace quillmere::safetensors {

enum class Dtype : std::uint8_t { BOOL, U8, I8, I16, I32, I64, F16, BF16, F32, F64 };

std::size_t dtype_size(Dtype d) noexcept;

// Headers beyond this are refused before any allocation.
inline constexpr std::uint64_t kMaxHeaderBytes = 100u * 1024u * 1024u;

struct TensorEntry {
  std::string name;
  Dtype dtype;
  std::vector<std::int64_t> shape;
  std::uint64_t begin = 0;  // byte range within the data area
  std::uint64_t end = 0;
};

struct File {
  std::vector<std::byte> bytes;  // the whole file
  std::uint64_t data_start = 0;  // offset of the data area within bytes
  std::vector<TensorEntry> tensors;

  std::span<const std::byte> data_of(const TensorEntry& t) const {
    return {bytes.data() + data_start + t.begin, static_cast<std::size_t>(t.end - t.begin)};
  }
};

// Validates an untrusted image: header bounds, a JSON object, known dtypes, shape
// products that fit, byte ranges inside the data area that match the shapes.
std::expected<File, std::string> parse(std::vector<std::byte> bytes);

// Reads and parses `path`.
std::expected<File, std::string> read_file(const std::string& path);

struct OutTensor {
  std::string name;
  std::vector<std::int64_t> shape;
  std::span<const float> values;  // row-major, host order
};

// Serialises f32 tensors in the given order.
std::expected<std::vector<std::byte>, std::string> encode(std::span<const OutTensor> tensors);

// Writes `bytes` to `path`, creating or truncating it, and flushes them to the device.
std::expected<void, std::string> write_file(const std::string& path, std::span<const std::byte> bytes);

}  // namespace quillmere::safetensors
