#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "quillmere/checked.h"
#include "quillmere/error.h"
#include "quillmere/interrupt.h"
#include "quillmere/log.h"
#include "quillmere/testing/capture_logger.h"
#include "quillmere/timer.h"

namespace quillmere {
namespace {

using namespace std::chrono_literals;

TEST(ErrorText, IndexErrorKindsCarryTheirPrefixes) {
  struct Case { Error e; std::string text; bool index_error; };
  const std::vector<Case> cases = {
      {Error::missing_attribute("arity"), "Missing attribute: arity", true},
      {Error::file_operation("No such file"), "File operation failed: No such file", true},
      {file_error("open", "/d/ids.bin", ENOENT), "File operation failed: cannot open /d/ids.bin: No such file or directory",
       true},
      {Error::invalid_yaml("x"), "Invalid YAML config: x", true},
      {Error::invalid_json("y"), "Invalid JSON config: y", true},
      {Error::model_creation("device"), "Model creation failed: device", true},
      {Error::assertion("assertion failed: k > 0"), "assertion failed: k > 0", false},
      {Error{ErrorKind::BufferFull, "Buffer is full, cannot insert new record"},
       "Buffer is full, cannot insert new record", false},
      {Error::invalid_value("Unknown distance function: L2"), "Unknown distance function: L2", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.e.message(), c.text);
    EXPECT_EQ(c.e.is_index_error(), c.index_error) << c.text;
  }
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

TEST(ErrorText, OnlyAnAllocationFailureIsOutOfMemory) {
  struct Case { const std::exception& e; ErrorKind kind; std::string text; };
  const std::bad_alloc no_memory;
  const std::length_error too_long("vector::reserve");
  const std::system_error no_thread(std::make_error_code(std::errc::resource_unavailable_try_again), "thread");
  const std::vector<Case> cases = {
      {no_memory, ErrorKind::OutOfMemory, "Cannot allocate the heaps"},
      {too_long, ErrorKind::OutOfMemory, "Cannot allocate the heaps: the size exceeds the largest possible list"},
      {no_thread, ErrorKind::Internal, std::string("Unexpected error while making the heaps: ") + no_thread.what()},
  };
  for (const auto& c : cases) {
    const Error e = exception_error(c.e, "the heaps");
    EXPECT_EQ(e.kind, c.kind) << c.text;
    EXPECT_EQ(e.message(), c.text);
  }
}

TEST(Checked, PowersNeverWrap) {
  EXPECT_EQ(checked_pow(3, 0), 1u);
  EXPECT_EQ(checked_pow(3, 5), 243u);
  EXPECT_EQ(checked_pow(0, 0), 1u);
  EXPECT_EQ(checked_pow(0, 7), 0u);
  EXPECT_EQ(checked_pow(2, 63), 1ull << 63);
  EXPECT_EQ(checked_pow(2, 64), std::nullopt);
  EXPECT_EQ(checked_pow(3, 41), std::nullopt);  // 3^41 > 2^64
  EXPECT_EQ(checked_pow(3, 40), 12157665459056928801ull);
  EXPECT_EQ(checked_pow(1, 4000000000u), 1u);
  EXPECT_EQ(saturating_pow(10, 30), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(checked_mul(1ull << 32, 1ull << 32), std::nullopt);
  EXPECT_EQ(checked_add(std::numeric_limits<std::uint64_t>::max(), 1), std::nullopt);
  EXPECT_EQ(saturating_mul(1ull << 32, 1ull << 32), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(saturating_add(std::numeric_limits<std::uint64_t>::max(), 1), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(saturating_mul(3, 5) + saturating_add(3, 5), 23u);
}

TEST(Timer, DurationText) {
  struct Case { std::chrono::nanoseconds d; const char* text; };
  const std::vector<Case> cases = {
      {0ns, "0ns"},           {850ns, "850ns"},         {1000ns, "1\xC2\xB5s"},
      {1500ns, "1.5\xC2\xB5s"}, {12034000ns, "12.034ms"}, {2s, "2s"},
      {1000000001ns, "1.000000001s"}, {999999ns, "999.999\xC2\xB5s"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_duration(c.d), c.text);
}

// One logger per process: this binary installs a capturing logger once, by hand, to
// test installing itself.
using test::CaptureLogger;

Result<int> timed_op(bool failing) {
  ScopedTimer t("quillmere::index", "insert");
  if (failing) return fail(Error::assertion("boom"));
  return 1;
}

TEST(Logging, FacadeAdmitsByLevelAndTimerLogsOnEveryPath) {
  static CaptureLogger logger;
  EXPECT_FALSE(log::enabled(log::Level::Error));  // nothing installed yet
  ASSERT_TRUE(log::install(&logger, log::Level::Debug));
  static CaptureLogger second;
  EXPECT_FALSE(log::install(&second, log::Level::Trace));  // the first logger stays
  EXPECT_EQ(log::max_level(), log::Level::Debug);
  EXPECT_TRUE(log::enabled(log::Level::Debug));
  EXPECT_FALSE(log::enabled(log::Level::Trace));

  QM_DEBUG("quillmere::index", "index:compact", {{"level", std::uint64_t{2}}, {"name", std::string("x")}});
  log::event(log::Level::Trace, "quillmere::index", "dropped");
  const auto events = logger.take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].message, "index:compact");
  EXPECT_EQ(std::get<std::uint64_t>(events[0].kvs[0].second), 2u);

  ASSERT_TRUE(timed_op(false).has_value());
  ASSERT_FALSE(timed_op(true).has_value());
  const auto times = logger.take();
  ASSERT_EQ(times.size(), 2u);
  for (const auto& c : times) {
    EXPECT_EQ(c.message, "time");
    EXPECT_EQ(c.level, log::Level::Debug);
    ASSERT_EQ(c.kvs.size(), 2u);
    EXPECT_EQ(c.kvs[0].first, "function");
    EXPECT_EQ(std::get<std::string>(c.kvs[0].second), "insert");
    EXPECT_EQ(c.kvs[1].first, "time");
  }
}

TEST(Interrupt, AStopLastsForTheScopeAndScopesNest) {
  struct Answer final : InterruptCheck {
    bool stop = false;
    int polls = 0;
    bool stop_requested() noexcept override { return ++polls, stop; }
  } outer, inner;
  EXPECT_FALSE(interrupted());  // no check installed
  {
    InterruptScope a(outer);
    EXPECT_FALSE(interrupted());
    EXPECT_EQ(outer.polls, 1);
    {
      inner.stop = true;
      InterruptScope b(inner);
      EXPECT_TRUE(interrupted());
      EXPECT_TRUE(interrupted());  // latched: the check is not asked again
      EXPECT_EQ(inner.polls, 1);
    }
    EXPECT_FALSE(interrupted());  // the outer scope's check again
  }
  EXPECT_FALSE(interrupted());
  EXPECT_EQ(interrupted_error().kind, ErrorKind::Interrupted);
}

}  // namespace
}  // namespace quillmere
