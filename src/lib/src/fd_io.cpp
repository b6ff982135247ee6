#include "quillmere/fd_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace quillmere {

int write_all(int fd, std::string_view data) noexcept {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a regular write never returns 0 for a non-empty buffer; do not spin
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::expected<std::string, int> read_to_end(int fd) {
  std::string text;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < (off_t{1} << 30))
    text.reserve(static_cast<std::size_t>(st.st_size));
  char block[65536];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    text.append(block, static_cast<std::size_t>(n));
  }
}

}  // namespace quillmere
