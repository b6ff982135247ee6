// The safetensors weights reader, reached as the index reaches it: a classifier created with
// the file as its weights_path.
#include <cstddef>
#include <cstdint>

#include <ATen/Parallel.h>

#include "fuzz_support.h"
#include "model_check.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  at::set_num_threads(1);
  qmfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = qmfuzz::scratch_path("w.safetensors");
  qmfuzz::write_file(path, qmfuzz::as_text(data, size));
  qmfuzz::check_weights_file(path);
  return 0;
}
