// Weights files of any extension but safetensors, pt and bin: libtorch's named-tensor archive,
// loaded as the index loads it (a classifier created with the file as its weights_path). An
// input is the whole file, or the records data.pkl, code/__torch__.py and the storages
// data/0, data/1, ... separated by the part marker, in the layout OutputArchive writes.
#include <cstddef>
#include <cstdint>
#include <string>

#include <ATen/Parallel.h>

#include "archive_input.h"
#include "fuzz_support.h"
#include "model_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  at::set_num_threads(1);
  qmfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = qmfuzz::scratch_path("w.ot");
  if (qmfuzz::write_archive(path, qmfuzz::as_text(data, size), {"data.pkl", "code/__torch__.py"}))
    qmfuzz::check_weights_file(path);
  return 0;
}
