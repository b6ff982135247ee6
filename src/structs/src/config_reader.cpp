#include "quillmere/config_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <utility>

#include "quillmere/fd_io.h"
#include "typed_reader.h"
#include "value_tree.h"

namespace quillmere {
namespace {

// A configuration is a few hundred bytes; this leaves room for any comments a person writes.
constexpr std::uint64_t kMaxConfigBytes = std::uint64_t{4} << 20;

}  // namespace

Result<IndexConfig> read_index_config_yaml(std::string_view text) {
  try {
    const detail::ParsedTree tree = detail::parse_yaml(text);
    auto config = detail::index_config_from_yaml_tree(tree);
    if (!config) return fail(Error::invalid_yaml(std::move(config.error())));
    return std::move(*config);
  } catch (const std::bad_alloc&) {
    return fail(Error::out_of_memory("out of memory while reading the YAML configuration"));
  }
}

Result<IndexConfig> read_index_config_yaml_file(const std::string& path) {
  std::string text;
  int fd = -1;
  try {
    // A device (/dev/zero), a pipe or a huge file would be read until memory runs out or
    // never end: they are refused before a byte is read.
    auto opened = open_regular_file(path);
    if (!opened) return fail(opened.error());
    fd = *opened;
    auto read = read_to_end(fd, kMaxConfigBytes);
    ::close(std::exchange(fd, -1));
    if (!read && read.error() == EFBIG)
      return fail(Error::file_operation(path + " is larger than the " + std::to_string(kMaxConfigBytes >> 20) +
                                        " MiB a configuration file may hold"));
    if (!read) return fail(file_error("read", path, read.error()));
    text = std::move(*read);
  } catch (const std::bad_alloc&) {
    if (fd >= 0) ::close(fd);
    return fail(Error::out_of_memory("out of memory while reading the YAML configuration"));
  }
  if (!detail::valid_utf8(text)) return fail(Error::file_operation("stream did not contain valid UTF-8"));
  return read_index_config_yaml(text);
}

}  // namespace quillmere
