// Reader for every weights file but safetensors: the zip archive that PyTorch's save of a
// dictionary of tensors writes (".pt", ".bin"), and libtorch's own named-tensor archive
// (OutputArchive::save_to; any other extension).
// Internal to src/model: it exposes libtorch types.
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

#include <ATen/core/Tensor.h>

namespace quillmere {

// The named tensors of the archive at `path`, in file order, as CPU tensors of the stored
// dtype, each a view of its storage as the file lays it out (the caller copies, converts and
// checks shapes). Nested modules of a libtorch archive
// are flattened to "child.name". The file is untrusted: its pickle is interpreted by a
// restricted reader that knows only tensor dictionaries and executes nothing; every problem
// is returned as an error text, never thrown.
std::expected<std::vector<std::pair<std::string, at::Tensor>>, std::string> read_pt_weights(
    const std::string& path);

}  // namespace quillmere
