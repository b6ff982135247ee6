// The meta.json reader over arbitrary text. Whatever it accepts must survive the writer and
// read back to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz_support.h"
#include "quillmere/disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillmere;
  auto disk = read_meta_json(qmfuzz::as_text(data, size));
  if (!disk) {
    if (disk.error().kind != ErrorKind::InvalidJsonConfig || disk.error().detail.empty()) __builtin_trap();
    return 0;
  }
  auto text = write_meta_json(*disk);
  if (!text) {
    // Only a path that is not UTF-8 stops the writer.
    if (text.error().kind != ErrorKind::InvalidJsonConfig) __builtin_trap();
    return 0;
  }
  auto again = read_meta_json(*text);
  if (!again) {
    std::fprintf(stderr, "written meta.json does not read back: %s\n", again.error().message().c_str());
    __builtin_trap();
  }
  if (!(*again == *disk)) {
    std::fprintf(stderr, "meta.json read back to other records\n");
    __builtin_trap();
  }
  auto text2 = write_meta_json(*again);
  if (!text2 || *text2 != *text) __builtin_trap();
  return 0;
}
