// Whole transfers on an open descriptor, retrying short and interrupted calls, and the one
// writer of the core's lines on standard output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <string_view>

#include "quillmere/error.h"

namespace quillmere {

// Writes all of `data` at the current position. Returns 0 or the errno value
// (EIO when a write moves nothing; EPIPE, never a SIGPIPE, for a pipe without reader).
// `written`, when given, receives the bytes written, also when the write fails part-way.
int write_all(int fd, std::string_view data, std::size_t* written = nullptr) noexcept;

// Writes `text` to standard output in one piece, after whatever the C stream `stdout` still
// holds, with SIGPIPE held back as above. A closed or broken standard output is ignored:
// what the core prints is informational and must never fail or end the caller.
void print_stdout(std::string_view text) noexcept;

// Reads from the current position to the end of the file; on failure the errno
// value, EFBIG when more than `limit` bytes follow: a regular file already larger than
// `limit` is refused before a byte is read. Throws only std::bad_alloc.
std::expected<std::string, int> read_to_end(int fd, std::size_t limit = std::numeric_limits<std::size_t>::max());

// Opens an existing file read-only and returns its descriptor, which the caller closes.
// Anything but a regular file is refused without blocking (a FIFO would otherwise wait for
// a writer, a device may never end): Error::file_operation("<path> is not a regular file");
// other failures are the file_error of opening it.
Result<int> open_regular_file(const std::string& path) noexcept;

// Flushes the file's data and metadata to the device (fsync), retrying interruptions;
// 0 or the errno value.
int sync_fd(int fd) noexcept;
// Opens the directory at `path` and flushes its entries (new names, renames) to the device;
// 0 or the errno value.
int sync_directory(const std::string& path) noexcept;

}  // namespace quillmere
