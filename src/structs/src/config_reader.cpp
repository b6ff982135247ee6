#include "quillmere/config_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <utility>

#include "quillmere/fd_io.h"
#include "typed_reader.h"
#include "value_tree.h"

namespace quillmere {

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
    // Not blocking in open: a FIFO that no one writes would wait there for good.
    // Reads block again, so a pipe with a writer is read whole; one without ends at once.
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(Error::file_operation(os_error_text(errno)));
    if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    auto read = read_to_end(fd);
    ::close(std::exchange(fd, -1));
    if (!read) return fail(Error::file_operation(os_error_text(read.error())));
    text = std::move(*read);
  } catch (const std::bad_alloc&) {
    if (fd >= 0) ::close(fd);
    return fail(Error::out_of_memory("out of memory while reading the YAML configuration"));
  }
  if (!detail::valid_utf8(text)) return fail(Error::file_operation("stream did not contain valid UTF-8"));
  return read_index_config_yaml(text);
}

}  // namespace quillmere
