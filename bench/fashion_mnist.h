// Fashion-MNIST for the C++ benchmarks: idx3 image files read through gzip; and the load
// average that every benchmark reports beside its figures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "quillmere/index.h"

namespace bench {

// An idx3 image file read through gzip; values scaled to [0, 1]. Empty on any failure.
inline std::vector<float> read_images(const std::string& path, std::uint64_t& rows, std::uint64_t& dim) {
  const std::string cmd = "gzip -dc '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) return {};
  unsigned char header[16];
  if (std::fread(header, 1, 16, pipe.get()) != 16) return {};
  auto be32 = [&](int at) {
    return (std::uint32_t(header[at]) << 24) | (std::uint32_t(header[at + 1]) << 16) |
           (std::uint32_t(header[at + 2]) << 8) | header[at + 3];
  };
  rows = be32(4);
  dim = std::uint64_t(be32(8)) * be32(12);
  std::vector<unsigned char> bytes(rows * dim);
  if (std::fread(bytes.data(), 1, bytes.size(), pipe.get()) != bytes.size()) return {};
  std::vector<float> out(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = bytes[i] / 255.0f;
  return out;
}

// The Python builder's default configuration, with the data set's width.
inline quillmere::IndexBuilder default_builder(std::uint64_t dim) {
  quillmere::IndexBuilder b = quillmere::IndexBuilder::defaults();
  b.input_shape = dim;
  return b;
}

// The one-minute load average (0 when it cannot be read).
inline double load_average() {
  double one = 0.0;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &one) != 1) one = 0.0;
    std::fclose(f);
  }
  return one;
}

}  // namespace bench
