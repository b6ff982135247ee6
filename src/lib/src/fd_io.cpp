#include "quillmere/fd_io.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace quillmere {
namespace {

int write_loop(int fd, std::string_view data) noexcept {
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

}  // namespace

int write_all(int fd, std::string_view data) noexcept {
  // A pipe whose reader has gone raises SIGPIPE, which ends a host that keeps
  // its default action: hold it back on this thread and take back the one this
  // write raised, so the failure is EPIPE only.
  sigset_t pipe_only, old_mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  if (::pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask) != 0) return write_loop(fd, data);
  bool was_pending = false;
  if (sigismember(&old_mask, SIGPIPE) == 1) {
    sigset_t pending;
    was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  const int err = write_loop(fd, data);
  if (err == EPIPE && !was_pending) {
    const timespec zero{0, 0};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return err;
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
