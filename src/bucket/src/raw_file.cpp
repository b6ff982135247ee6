#include "quillmere/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "quillmere/checked.h"
#include "quillmere/fd_io.h"

namespace quillmere::raw {
namespace {

// The file error of `action` on `path`. Building its text may find memory exhausted;
// that is reported instead of ending the process.
template <class Why>  // an errno value or a text
std::unexpected<Error> failure(std::string_view action, std::string_view path, Why why) noexcept {
  try {
    return fail(Error::file_operation(file_error_text(action, path, why)));
  } catch (...) {
    return fail(Error{ErrorKind::OutOfMemory, "out of memory"});
  }
}

// Bytes written between two requests to start writing them to the device.
constexpr std::uint64_t kWritebackChunk = std::uint64_t{8} << 20;

// Every byte of [data, data + bytes) at the current position. The device starts writing each
// chunk as soon as it is in the page cache, so the flush that ends a dump mostly finds the
// work done. Measured on a 190 MB Fashion-MNIST dump (bench/persist_bench): without any
// flush 1.2 to 1.3 times the speed of `cp -r`; flushing each file only when it is complete,
// which left the disk idle while the dump filled the cache, 0.45 times; with this, 0.6 to 0.8.
Result<void> write_bytes(FileRef file, const unsigned char* data, std::uint64_t bytes) noexcept {
  const int fd = file.fd;
  off_t at = ::lseek(fd, 0, SEEK_CUR);  // -1 where the file has no position: no early writeback
  while (bytes > 0) {
    const std::size_t chunk = bytes < kWritebackChunk ? static_cast<std::size_t>(bytes) : kWritebackChunk;
    const ssize_t n = ::write(fd, data, chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure("write", file.path, errno);
    }
    if (n == 0) return failure("write", file.path, EIO);  // no progress: do not spin
    // Only a request: its failure shows again, and is reported, when the file is flushed.
    if (at >= 0) {
      (void)::sync_file_range(fd, at, n, SYNC_FILE_RANGE_WRITE);
      at += n;
    }
    data += n;
    bytes -= static_cast<std::uint64_t>(n);
  }
  return {};
}

Result<void> read_bytes_at(FileRef file, std::uint64_t offset, unsigned char* data, std::uint64_t bytes) noexcept {
  while (bytes > 0) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return failure("read", file.path, EFBIG);
    const std::size_t chunk = bytes < (std::uint64_t{1} << 30) ? static_cast<std::size_t>(bytes) : std::size_t{1} << 30;
    const ssize_t n = ::pread(file.fd, data, chunk, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return failure("read", file.path, errno);
    }
    // Its size was checked before reading: the file shrank meanwhile.
    if (n == 0) return failure("read", file.path, std::string_view("unexpected end of file"));
    data += n;
    offset += static_cast<std::uint64_t>(n);
    bytes -= static_cast<std::uint64_t>(n);
  }
  return {};
}

template <class T>
Result<void> write_le(FileRef file, std::span<const T> values) noexcept {
  static_assert(sizeof(T) == 4);
  if constexpr (std::endian::native == std::endian::little) {
    return write_bytes(file, reinterpret_cast<const unsigned char*>(values.data()), values.size_bytes());
  } else {
    std::array<std::uint32_t, 4096> block;
    while (!values.empty()) {
      const std::size_t n = values.size() < block.size() ? values.size() : block.size();
      for (std::size_t i = 0; i < n; ++i) block[i] = std::byteswap(std::bit_cast<std::uint32_t>(values[i]));
      if (auto r = write_bytes(file, reinterpret_cast<const unsigned char*>(block.data()), n * 4); !r) return r;
      values = values.subspan(n);
    }
    return {};
  }
}

template <class T>
Result<void> read_le_at(FileRef file, std::uint64_t offset, std::span<T> out) noexcept {
  static_assert(sizeof(T) == 4);
  if (auto r = read_bytes_at(file, offset, reinterpret_cast<unsigned char*>(out.data()), out.size_bytes()); !r) return r;
  if constexpr (std::endian::native != std::endian::little) {
    for (auto& v : out) v = std::bit_cast<T>(std::byteswap(std::bit_cast<std::uint32_t>(v)));
  }
  return {};
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> File::close() noexcept {
  const int fd = std::exchange(fd_, -1);
  // The descriptor is gone after close() whatever it reports, so it is never retried.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return failure("close", path_, errno);
  return {};
}

Result<void> File::sync_and_close() noexcept {
  if (const int err = sync_fd(fd_); err != 0) return failure("flush", path_, err);
  return close();
}

Result<File> open_regular(const std::string& path) noexcept {
  try {
    std::string owned = path;  // copied before anything is opened
    auto fd = open_regular_file(path);
    if (!fd) return fail(fd.error());
    return File(*fd, std::move(owned));
  } catch (...) {
    return fail(Error::out_of_memory("out of memory while opening a file"));
  }
}

Result<File> create(const std::string& path) noexcept {
  try {
    std::string owned = path;
    int fd;
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return failure("create", path, errno);
    return File(fd, std::move(owned));
  } catch (...) {
    return fail(Error::out_of_memory("out of memory while creating a file"));
  }
}

Result<std::uint64_t> file_size(FileRef file) noexcept {
  struct stat st;
  if (::fstat(file.fd, &st) != 0) return failure("inspect", file.path, errno);
  if (st.st_size < 0) return failure("inspect", file.path, EOVERFLOW);
  return static_cast<std::uint64_t>(st.st_size);
}

Result<std::uint64_t> position(FileRef file) noexcept {
  const off_t at = ::lseek(file.fd, 0, SEEK_CUR);
  if (at < 0) return failure("seek in", file.path, errno);
  return static_cast<std::uint64_t>(at);
}

Result<void> write_f32(FileRef file, std::span<const float> values) noexcept { return write_le(file, values); }
Result<void> write_u32(FileRef file, std::span<const std::uint32_t> values) noexcept {
  return write_le(file, values);
}
Result<void> read_f32_at(FileRef file, std::uint64_t offset, std::span<float> out) noexcept {
  return read_le_at(file, offset, out);
}
Result<void> read_u32_at(FileRef file, std::uint64_t offset, std::span<std::uint32_t> out) noexcept {
  return read_le_at(file, offset, out);
}

Result<std::uint64_t> extent_in_file(std::uint64_t offset, std::uint64_t count, std::uint64_t per_count,
                                     std::uint64_t elem_bytes, std::uint64_t size, std::string_view file,
                                     std::string_view what) noexcept {
  try {
    auto elems = checked_mul(count, per_count);
    auto bytes = elems ? checked_mul(*elems, elem_bytes) : std::nullopt;
    auto end = bytes ? checked_add(offset, *bytes) : std::nullopt;
    if (!end)
      return fail(Error::file_operation(std::string(what) + " of " + std::to_string(count) +
                                        " records overflows the largest file size (" + std::string(file) + ")"));
    if (*end > size)
      return fail(Error::file_operation(std::string(what) + " of " + std::to_string(count) + " records at offset " +
                                        std::to_string(offset) + " needs " + std::to_string(*end) + " bytes but " +
                                        std::string(file) + " holds " + std::to_string(size)));
    return *bytes;
  } catch (...) {
    return fail(Error::out_of_memory("out of memory while describing a file error"));
  }
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace quillmere::raw
