// Helpers shared by the classifier tests: builders, a scratch directory, raw file access,
// a capturing logger, and reference arithmetic in double precision.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "quillmere/bucket_model.h"
#include "quillmere/log.h"
#include "quillmere/testing/capture_logger.h"

namespace quillmere::test {

namespace fs = std::filesystem;
using namespace quillmere;

inline BucketModelBuilder builder(std::uint64_t input, std::uint64_t labels, std::vector<ModelLayer> layers = {},
                                  DistanceFn method = DistanceFn::l2) {
  BucketModelBuilder b;
  b.input_nodes = input;
  b.labels = labels;
  b.device = ModelDevice::cpu();
  b.label_method = method;
  b.layers = std::move(layers);
  return b;
}

inline BucketModel make(const BucketModelBuilder& b) {
  auto m = BucketModel::create(b);
  if (!m) ADD_FAILURE() << m.error().message();
  return std::move(*m);
}

class TempDir {
 public:
  TempDir() {
    static int counter = 0;
    path_ = fs::temp_directory_path() /
            ("qm_model_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<float> random_values(std::size_t n, std::uint32_t seed, float scale = 1.0f) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> dist(0.0f, scale);
  std::vector<float> v(n);
  for (float& x : v) x = dist(gen);
  return v;
}

// One fully connected layer in double precision: y = W x + b, W row-major [out, in].
inline std::vector<double> affine(const std::vector<float>& w, const std::vector<float>& b,
                                  const std::vector<double>& x) {
  std::vector<double> y(b.size());
  for (std::size_t o = 0; o < b.size(); ++o) {
    double s = b[o];
    for (std::size_t i = 0; i < x.size(); ++i) s += static_cast<double>(w[o * x.size() + i]) * x[i];
    y[o] = s;
  }
  return y;
}

}  // namespace quillmere::test
