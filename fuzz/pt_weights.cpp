// The .pt/.bin weights reader. An input starting with the zip signature is the whole file;
// anything else is the archive's contents (data.pkl, byteorder, then the storages data/0,
// data/1, ... separated by the part marker) packed into a valid zip here, so mutations reach
// the pickle machine instead of dying at the zip checksums.
#include <cstddef>
#include <cstdint>
#include <string>

#include <ATen/Parallel.h>

#include "archive_input.h"
#include "fuzz_support.h"
#include "model_check.h"
#include "pt_reader.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  at::set_num_threads(1);
  qmfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = qmfuzz::scratch_path("w.pt");
  if (!qmfuzz::write_archive(path, qmfuzz::as_text(data, size), {"data.pkl", "byteorder"})) return 0;
  auto tensors = quillmere::read_pt_weights(path);
  if (!tensors) {
    qmfuzz::note("read_pt_weights", tensors.error());
    if (tensors.error().empty()) __builtin_trap();
    return 0;
  }
  for (const auto& [name, t] : *tensors) {
    if (!t.defined() || !t.is_cpu()) __builtin_trap();
    (void)name;
  }
  qmfuzz::check_weights_file(path);
  return 0;
}
