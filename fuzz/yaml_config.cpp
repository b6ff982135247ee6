// The YAML configuration reader over arbitrary text.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "quillmere/config_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto config = quillmere::read_index_config_yaml(qmfuzz::as_text(data, size));
  if (!config) {
    // Every refusal is a reader error with a text, never anything else.
    if (config.error().kind != quillmere::ErrorKind::InvalidYamlConfig || config.error().detail.empty()) __builtin_trap();
  }
  return 0;
}
