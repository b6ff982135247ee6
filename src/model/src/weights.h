// Weights files of a classifier, chosen by the file name's extension. Internal to the model.
#pragma once

#include <ATen/ATen.h>

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::detail {

using NamedTensors = std::vector<std::pair<std::string, at::Tensor>>;

// The file name's extension without its dot ("" when there is none).
std::string weights_extension(const std::string& path);

// Loads every tensor of `params` from `path`: each one must be present with exactly its
// shape; extra tensors in the file are ignored. Nothing is changed unless all of them fit.
// Never throws; the error is a readable text.
std::expected<void, std::string> load_weights(const std::string& path, NamedTensors& params);

// Writes `params` under their names as f32. Never throws.
std::expected<void, std::string> save_weights(const std::string& path, const NamedTensors& params);

}  // namespace quillmere::detail
