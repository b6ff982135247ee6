// POSIX file helpers for the raw record and id files of an index directory. Every
// failure is an Error of kind FileOperation naming the file; nothing throws.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quillmere/error.h"

namespace quillmere::raw {

// A borrowed open file: its descriptor, and its path for error texts.
struct FileRef {
  int fd = -1;
  std::string_view path;
};

// An owned descriptor, closed when dropped. close() reports what dropping cannot.
class File {
 public:
  File() noexcept = default;
  File(int fd, std::string path) noexcept : fd_(fd), path_(std::move(path)) {}
  File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  int fd() const noexcept { return fd_; }
  const std::string& path() const noexcept { return path_; }
  FileRef ref() const noexcept { return {fd_, path_}; }
  Result<void> close() noexcept;
  // Flushes what was written to the device (fsync), then closes: a power loss cannot lose
  // what a later step (meta.json naming the file) relies on.
  Result<void> sync_and_close() noexcept;

 private:
  int fd_ = -1;
  std::string path_;
};

// Opens an existing file read-only. Anything but a regular file is refused without
// blocking (a FIFO would otherwise wait for a writer).
Result<File> open_regular(const std::string& path) noexcept;
// Creates the file with mode 0666 (less the umask), or truncates it, for writing.
Result<File> create(const std::string& path) noexcept;

// Current size in bytes of an open file.
Result<std::uint64_t> file_size(FileRef file) noexcept;
// Current position of an open file.
Result<std::uint64_t> position(FileRef file) noexcept;

// Writes the values at the file's current position as little-endian, looping over
// short writes and interruptions.
Result<void> write_f32(FileRef file, std::span<const float> values) noexcept;
Result<void> write_u32(FileRef file, std::span<const std::uint32_t> values) noexcept;
// Reads exactly out.size() little-endian values starting at byte `offset`; a file that
// ends early is an error.
Result<void> read_f32_at(FileRef file, std::uint64_t offset, std::span<float> out) noexcept;
Result<void> read_u32_at(FileRef file, std::uint64_t offset, std::span<std::uint32_t> out) noexcept;

// Checks that count x per_count elements of elem_bytes bytes starting at `offset` lie
// inside a file of `size` bytes, without overflow; returns their length in bytes.
// `file` and `what` only name things in the error text.
Result<std::uint64_t> extent_in_file(std::uint64_t offset, std::uint64_t count, std::uint64_t per_count,
                                     std::uint64_t elem_bytes, std::uint64_t size, std::string_view file,
                                     std::string_view what) noexcept;

// `dir` and `name` with one separator between them (none added when `dir` is empty or
// already ends with one).
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace quillmere::raw
