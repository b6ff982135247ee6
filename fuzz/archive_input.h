// Packs a fuzz input into a weights archive: mutations of the records then reach the readers
// instead of dying at the zip checksums. Needs libtorch (its own zip writer).
#pragma once

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>

#include <caffe2/serialize/inline_container.h>

#include "fuzz_support.h"

namespace qmfuzz {

// An input starting with the zip signature is the whole file. Otherwise its parts are the
// records `named` (the first always written, the others when not empty), then the storages
// data/0, data/1, ... Returns false when libtorch's writer refuses (nothing to fuzz then).
inline bool write_archive(const std::string& path, std::string_view input, std::initializer_list<const char*> named) {
  if (input.starts_with("PK")) {
    write_file(path, input);
    return true;
  }
  constexpr std::size_t kMaxStorages = 16;
  const auto parts = split_parts(input, named.size() + kMaxStorages);
  try {
    caffe2::serialize::PyTorchStreamWriter writer(path);
    std::size_t i = 0;
    for (const char* name : named) {
      if (i < parts.size() && (i == 0 || !parts[i].empty())) writer.writeRecord(name, parts[i].data(), parts[i].size());
      ++i;
    }
    for (; i < parts.size(); ++i)
      writer.writeRecord("data/" + std::to_string(i - named.size()), parts[i].data(), parts[i].size());
    writer.writeEndOfFile();
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot pack the archive: %s\n", e.what());
    return false;
  }
}

}  // namespace qmfuzz
