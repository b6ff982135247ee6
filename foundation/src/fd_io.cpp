#include "quillmere/fd_io.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace quillmere {
namespace {

int write_loop(int fd, std::string_view data, std::size_t* written) noexcept {
  const std::size_t total = data.size();
  int err = 0;
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    if (n == 0) {  // a regular write never returns 0 for a non-empty buffer; do not spin
      err = EIO;
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  if (written != nullptr) *written = total - data.size();
  return err;
}

// A pipe whose reader has gone raises SIGPIPE, which ends a host that keeps its default
// action. While a guard lives, SIGPIPE is held back on this thread; when it ends, the one
// the guarded writes raised is taken back (unless one was already pending before), so a
// broken pipe shows only as EPIPE.
class SigpipeHeld {
 public:
  SigpipeHeld() noexcept {
    sigemptyset(&pipe_only_);
    sigaddset(&pipe_only_, SIGPIPE);
    masked_ = ::pthread_sigmask(SIG_BLOCK, &pipe_only_, &old_mask_) == 0;
    if (masked_ && sigismember(&old_mask_, SIGPIPE) == 1) was_pending_ = pipe_pending();
  }
  ~SigpipeHeld() {
    if (!masked_) return;
    if (!was_pending_ && pipe_pending()) {
      const timespec zero{0, 0};
      while (::sigtimedwait(&pipe_only_, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

 private:
  static bool pipe_pending() noexcept {
    sigset_t pending;
    return ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }

  sigset_t pipe_only_, old_mask_;
  bool masked_ = false;
  bool was_pending_ = false;
};

}  // namespace

int write_all(int fd, std::string_view data, std::size_t* written) noexcept {
  SigpipeHeld held;
  return write_loop(fd, data, written);
}

void print_stdout(std::string_view text) noexcept {
  const int saved_errno = errno;
  {
    SigpipeHeld held;
    if (std::fflush(stdout) != 0) std::clearerr(stdout);
    (void)write_loop(STDOUT_FILENO, text, nullptr);
  }
  errno = saved_errno;
}

std::expected<std::string, int> read_to_end(int fd, std::size_t limit) {
  std::string text;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    if (static_cast<std::uint64_t>(st.st_size) > limit) return std::unexpected(EFBIG);
    if (st.st_size < (off_t{1} << 30)) text.reserve(static_cast<std::size_t>(st.st_size));
  }
  char block[65536];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n == 0) return text;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (static_cast<std::size_t>(n) > limit - text.size()) return std::unexpected(EFBIG);
    text.append(block, static_cast<std::size_t>(n));
  }
}

Result<int> open_regular_file(const std::string& path) noexcept {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  while (fd < 0 && errno == EINTR);
  try {
    if (fd < 0) return fail(file_error("open", path, errno));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      const int err = errno;
      ::close(fd);
      return fail(file_error("inspect", path, err));
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return fail(Error::file_operation(path + " is not a regular file"));
    }
  } catch (...) {
    ::close(fd);
    return fail(Error::out_of_memory("out of memory while opening a file"));
  }
  // Blocking reads again; a regular file never blocks, this only keeps the flags plain.
  if (const int flags = ::fcntl(fd, F_GETFL); flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

int sync_fd(int fd) noexcept {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int sync_directory(const std::string& path) noexcept {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  const int err = sync_fd(fd);
  ::close(fd);
  return err;
}

}  // namespace quillmere
