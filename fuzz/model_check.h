// Loads a weights file into the classifiers the fuzz targets use and exercises whatever loads.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "quillmere/bucket_model.h"

namespace qmfuzz {

// The shapes of the seed files: a hidden layer with few buckets (names "0.*" and "2.*"), and
// no hidden layer with more buckets than the small-count ranking handles.
inline std::vector<quillmere::BucketModelBuilder> fuzz_model_builders(const std::string& weights_path) {
  using namespace quillmere;
  BucketModelBuilder hidden;
  hidden.input_nodes = 3;
  hidden.labels = 2;
  hidden.device = ModelDevice::cpu();
  hidden.layers = {ModelLayer::linear(4), ModelLayer::relu()};
  hidden.label_method = DistanceFn::l2;
  hidden.weights_path = weights_path;
  BucketModelBuilder wide = hidden;
  wide.labels = 70;
  wide.layers = {};
  return {hidden, wide};
}

inline bool same_bits(const std::vector<quillmere::BucketProbability>& a,
                      const std::vector<quillmere::BucketProbability>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].first != b[i].first || std::memcmp(&a[i].second, &b[i].second, sizeof(float)) != 0) return false;
  }
  return true;
}

// Creates every fuzz model from `path`; each that loads must predict, refuse a query of the
// wrong length, and survive a save and reload with identical predictions.
inline void check_weights_file(const std::string& path) {
  using namespace quillmere;
  for (const auto& builder : fuzz_model_builders(path)) {
    auto model = BucketModel::create(builder);
    if (!model) {
      note("create", model.error().message());
      if (model.error().kind != ErrorKind::ModelCreation) __builtin_trap();
      continue;
    }
    note("loaded", path);
    const std::vector<float> query = {0.5f, -1.0f, 2.0f};
    auto ranked = model->predict(query);
    if (!ranked || ranked->size() != *builder.labels) __builtin_trap();
    const std::vector<float> records = {0.5f, -1.0f, 2.0f, 1e30f, -1e30f, 0.0f};
    auto labels = model->predict_labels(records);
    if (!labels || labels->size() != 2) __builtin_trap();
    for (auto l : *labels)
      if (l >= *builder.labels) __builtin_trap();
    if (model->predict(std::vector<float>{1.0f})) __builtin_trap();

    const std::string again_path = scratch_path("again.safetensors");
    auto saved = model->save_weights(again_path);
    if (!saved) {
      std::fprintf(stderr, "cannot save loaded weights: %s\n", saved.error().message().c_str());
      __builtin_trap();
    }
    BucketModelBuilder reload = builder;
    reload.weights_path = again_path;
    auto reloaded = BucketModel::create(reload);
    if (!reloaded) {
      std::fprintf(stderr, "saved weights do not load: %s\n", reloaded.error().message().c_str());
      __builtin_trap();
    }
    auto ranked_again = reloaded->predict(query);
    if (!ranked_again || !same_bits(*ranked, *ranked_again)) __builtin_trap();
  }
}

}  // namespace qmfuzz
