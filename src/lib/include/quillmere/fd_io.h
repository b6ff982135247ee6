// Whole transfers on an open descriptor, retrying short and interrupted calls.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quillmere {

// Writes all of `data` at the current position. Returns 0 or the errno value
// (EIO when a write moves nothing; EPIPE, never a SIGPIPE, for a pipe without reader).
int write_all(int fd, std::string_view data) noexcept;

// Reads from the current position to the end of the file; on failure the errno
// value. Throws only std::bad_alloc.
std::expected<std::string, int> read_to_end(int fd);

}  // namespace quillmere
