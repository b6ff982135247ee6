#include "weights.h"

#include <torch/serialize/output-archive.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>

#include "pt_reader.h"
#include "quillmere/error.h"
#include "safetensors.h"

namespace quillmere::detail {
namespace {

std::unexpected<std::string> bad(std::string text) { return std::unexpected<std::string>(std::move(text)); }

std::string shape_text(at::IntArrayRef sizes) {
  std::string s = "[";
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(sizes[i]);
  }
  return s + "]";
}

// The text of whatever libtorch (or an allocation) threw.
std::string current_exception_text() {
  try {
    throw;
  } catch (const c10::Error& e) {
    return e.what_without_backtrace();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

at::ScalarType scalar_type(safetensors::Dtype d) {
  using safetensors::Dtype;
  switch (d) {
    case Dtype::BOOL: return at::kBool;
    case Dtype::U8: return at::kByte;
    case Dtype::I8: return at::kChar;
    case Dtype::I16: return at::kShort;
    case Dtype::I32: return at::kInt;
    case Dtype::I64: return at::kLong;
    case Dtype::F16: return at::kHalf;
    case Dtype::BF16: return at::kBFloat16;
    case Dtype::F32: return at::kFloat;
    case Dtype::F64: return at::kDouble;
  }
  return at::kFloat;
}

std::expected<NamedTensors, std::string> read_safetensors(const std::string& path,
                                                          const std::vector<std::string>& wanted) {
  auto file = safetensors::read_file(path);
  if (!file) return std::unexpected(std::move(file.error()));
  NamedTensors out;
  for (const auto& entry : file->tensors) {
    if (std::find(wanted.begin(), wanted.end(), entry.name) == wanted.end()) continue;
    at::Tensor t = at::empty(entry.shape, at::TensorOptions().dtype(scalar_type(entry.dtype)));
    auto src = file->data_of(entry);
    if (!src.empty()) std::memcpy(t.data_ptr(), src.data(), src.size());
    if constexpr (std::endian::native == std::endian::big) {
      const std::size_t w = safetensors::dtype_size(entry.dtype);
      auto* p = static_cast<unsigned char*>(t.data_ptr());
      for (std::size_t i = 0; w > 1 && i < src.size(); i += w) std::reverse(p + i, p + i + w);
    }
    out.emplace_back(entry.name, std::move(t));
  }
  return out;
}

}  // namespace

std::string weights_extension(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  return ext.empty() ? ext : ext.substr(1);
}

std::expected<void, std::string> load_weights(const std::string& path, NamedTensors& params) {
  try {
    // A FIFO would block the readers until a writer comes, a device could feed them without
    // end, and a directory is no file. A missing file is worded here, as every file error is,
    // and not by each reader (libtorch's archive reader has a text of its own).
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) return bad(file_error_text("open", path, ec ? ec.value() : ENOENT));
    if (!std::filesystem::is_regular_file(status)) return bad(path + " is not a regular file");
    std::vector<std::string> wanted;
    for (const auto& p : params) wanted.push_back(p.first);
    // ".pt"/".bin" and libtorch's named-tensor archive (any other extension) are the same zip
    // of pickles, read by our own restricted reader. libtorch's archive loader, which compiles
    // the archive's code and recurses through it and the pickle without bound, is never used.
    std::expected<NamedTensors, std::string> loaded =
        weights_extension(path) == "safetensors" ? read_safetensors(path, wanted) : read_pt_weights(path);
    if (!loaded) return std::unexpected(std::move(loaded.error()));

    // Check everything before touching any parameter.
    std::vector<const at::Tensor*> sources;
    for (const auto& [name, param] : params) {
      auto it = std::find_if(loaded->begin(), loaded->end(), [&](const auto& e) { return e.first == name; });
      if (it == loaded->end()) return bad("cannot find the tensor named \"" + name + "\" in " + path);
      if (it->second.sizes() != param.sizes()) {
        return bad("the tensor named \"" + name + "\" in " + path + " has shape " + shape_text(it->second.sizes()) +
                   ", the model needs " + shape_text(param.sizes()));
      }
      sources.push_back(&it->second);
    }
    at::NoGradGuard no_grad;
    for (std::size_t i = 0; i < params.size(); ++i) params[i].second.copy_(*sources[i]);
    return {};
  } catch (...) {
    return bad(current_exception_text());
  }
}

std::expected<void, std::string> save_weights(const std::string& path, const NamedTensors& params) {
  try {
    if (weights_extension(path) == "safetensors") {
      std::vector<at::Tensor> host;
      std::vector<safetensors::OutTensor> out;
      host.reserve(params.size());
      for (const auto& [name, p] : params) {
        host.push_back(p.detach().to(at::kCPU, at::kFloat).contiguous());
        const at::Tensor& h = host.back();
        out.push_back({name, h.sizes().vec(),
                       std::span<const float>(h.data_ptr<float>(), static_cast<std::size_t>(h.numel()))});
      }
      auto bytes = safetensors::encode(out);
      if (!bytes) return std::unexpected(std::move(bytes.error()));
      return safetensors::write_file(path, *bytes);
    }
    torch::serialize::OutputArchive archive;
    for (const auto& [name, p] : params) archive.write(name, p.detach().to(at::kFloat));
    archive.save_to(path);
    return {};
  } catch (...) {
    return bad(current_exception_text());
  }
}

}  // namespace quillmere::detail
