// Whole transfers on an open descriptor, retrying short and interrupted calls, and the one
// writer of the core's lines on standard output.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace quillmere {

// Writes all of `data` at the current position. Returns 0 or the errno value
// (EIO when a write moves nothing; EPIPE, never a SIGPIPE, for a pipe without reader).
int write_all(int fd, std::string_view data) noexcept;

// Writes `text` to standard output in one piece, after whatever the C stream `stdout` still
// holds, with SIGPIPE held back as above. A closed or broken standard output is ignored:
// what the core prints is informational and must never fail or end the caller.
void print_stdout(std::string_view text) noexcept;

// Reads from the current position to the end of the file; on failure the errno
// value. Throws only std::bad_alloc.
std::expected<std::string, int> read_to_end(int fd);

}  // namespace quillmere
