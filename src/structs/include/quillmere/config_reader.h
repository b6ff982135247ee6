// The YAML configuration file: one document whose root mapping is an IndexConfig.
#pragma once

#include <string>
#include <string_view>

#include "quillmere/config.h"
#include "quillmere/error.h"

namespace quillmere {

// Reads an IndexConfig from YAML text. Keys in any order, unknown keys skipped at any
// depth, every key required except weights_path. Failure is Error::invalid_yaml(detail):
// libyaml's problem with its place, "EOF while parsing a value" (no document), the
// multi-document refusal, or "<path>: <reader message> at line N column M".
Result<IndexConfig> read_index_config_yaml(std::string_view text);

// Reads the whole file at `path` and parses it as above. A file that cannot be opened
// or read is Error::file_operation(os error text); anything but a regular file, and a file
// of more than 4 MiB, is refused before it is read (Error::file_operation naming the path);
// one that is not UTF-8 is Error::file_operation("stream did not contain valid UTF-8").
Result<IndexConfig> read_index_config_yaml_file(const std::string& path);

}  // namespace quillmere
