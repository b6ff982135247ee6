#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "quillmere/fd_io.h"

namespace quillmere {
namespace {

// Bytes of every value, longer than one read block and than a pipe's buffer.
std::string payload(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return s;
}

TEST(FdIo, FileRoundTripFromTheCurrentPosition) {
  char name[] = "/tmp/quillmere_fd_io_XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  const std::string data = payload(200'003);
  ASSERT_EQ(write_all(fd, data), 0);
  ASSERT_EQ(::lseek(fd, 7, SEEK_SET), 7);
  auto back = read_to_end(fd);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, data.substr(7));
  auto at_end = read_to_end(fd);
  ASSERT_TRUE(at_end.has_value());
  EXPECT_TRUE(at_end->empty());
  ::close(fd);
}

TEST(FdIo, PipeWithAWriterOnAnotherThread) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const std::string data = payload(300'000);
  int written = -1;
  std::thread writer([&] {
    written = write_all(p[1], data);
    ::close(p[1]);
  });
  auto back = read_to_end(p[0]);
  writer.join();
  ::close(p[0]);
  EXPECT_EQ(written, 0);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, data);
}

TEST(FdIo, FailuresReturnTheErrno) {
  const int ro = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int wo = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(ro, 0);
  ASSERT_GE(wo, 0);
  EXPECT_EQ(write_all(ro, "x"), EBADF);
  auto r = read_to_end(wo);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), EBADF);
  EXPECT_EQ(write_all(wo, ""), 0);
  ::close(ro);
  ::close(wo);
}

TEST(FdIo, PipeWithoutReaderIsEpipeNotADeadlySignal) {
  // In a child: SIGPIPE keeps its default action there, which would end it.
  EXPECT_EXIT(
      {
        ::signal(SIGPIPE, SIG_DFL);
        int p[2];
        if (::pipe(p) != 0) std::_Exit(2);
        ::close(p[0]);
        const int err = write_all(p[1], payload(100));
        sigset_t pending;
        ::sigpending(&pending);
        std::_Exit(err == EPIPE && sigismember(&pending, SIGPIPE) == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(FdIo, PrintStdoutFollowsTheStdioStreamAndSurvivesABrokenPipe) {
  EXPECT_EXIT(
      {
        ::signal(SIGPIPE, SIG_DFL);
        int p[2];
        if (::pipe(p) != 0 || ::dup2(p[1], STDOUT_FILENO) < 0) std::_Exit(2);
        ::close(p[1]);
        std::fputs("a", stdout);  // still in the stream's buffer
        print_stdout("b\n");
        char got[4] = {};
        if (::read(p[0], got, 3) != 3 || std::string(got) != "ab\n") std::_Exit(3);
        ::close(p[0]);
        print_stdout("no reader\n");
        sigset_t pending;
        ::sigpending(&pending);
        std::_Exit(sigismember(&pending, SIGPIPE) == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quillmere
