// The .pt/.bin weights reader. An input starting with the zip signature is the whole file;
// anything else is the archive's contents (data.pkl, byteorder, then the storages data/0,
// data/1, ... separated by the part marker) packed into a valid zip here, so mutations reach
// the pickle machine instead of dying at the zip checksums.
#include <cstddef>
#include <cstdint>
#include <string>

#include <ATen/Parallel.h>
#include <caffe2/serialize/inline_container.h>

#include "fuzz_support.h"
#include "model_check.h"
#include "pt_reader.h"

namespace {

constexpr std::size_t kMaxStorages = 16;

bool write_archive(const std::string& path, std::string_view input) {
  const auto parts = qmfuzz::split_parts(input, 2 + kMaxStorages);
  try {
    caffe2::serialize::PyTorchStreamWriter writer(path);
    writer.writeRecord("data.pkl", parts[0].data(), parts[0].size());
    if (parts.size() > 1 && !parts[1].empty()) writer.writeRecord("byteorder", parts[1].data(), parts[1].size());
    for (std::size_t i = 2; i < parts.size(); ++i)
      writer.writeRecord("data/" + std::to_string(i - 2), parts[i].data(), parts[i].size());
    writer.writeEndOfFile();
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot pack the archive: %s\n", e.what());
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  at::set_num_threads(1);
  qmfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = qmfuzz::scratch_path("w.pt");
  const auto input = qmfuzz::as_text(data, size);
  if (input.starts_with("PK")) {
    qmfuzz::write_file(path, input);
  } else if (!write_archive(path, input)) {
    return 0;
  }
  auto tensors = quillmere::read_pt_weights(path);
  if (!tensors) {
    qmfuzz::note("read_pt_weights", tensors.error());
    if (tensors.error().empty()) __builtin_trap();
    return 0;
  }
  for (const auto& [name, t] : *tensors) {
    if (!t.defined() || !t.is_contiguous()) __builtin_trap();
    (void)name;
  }
  qmfuzz::check_weights_file(path);
  return 0;
}
