// The JSON-lines logger without the interpreter: level parsing, the record line,
// the failure line on standard error, a file sink and the logger over any line sink.
// Kept free of Python.h so it can be tested on its own.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "quillmere/log.h"

namespace quillmere::pylog {

// "off", "error", "warn", "info", "debug" or "trace", ASCII case ignored; any other text is Info.
log::Level parse_level_filter(std::string_view text) noexcept;

// Milliseconds since the Unix epoch on the real-time clock (negative before the epoch).
std::int64_t unix_millis_now() noexcept;

// One record as a compact JSON object with keys in byte order, followed by "\n".
// The record's key-values come first and are overridden by "level", "message", "target",
// "timestamp" and, on ERROR and WARN records, "module", "file" (when not empty) and
// "line" (when not 0). Invalid UTF-8 in texts becomes U+FFFD. Throws only std::bad_alloc.
std::string format_record(const log::Record& record, std::int64_t timestamp_ms);

// The standard-error line for a record that could not be written:
// {"level":"ERROR","message":"Logger failed to log: <error_text>","target":"structured_logger","timestamp":N}
std::string format_failure_line(std::string_view error_text, std::int64_t timestamp_ms);

// Writes the failure line for `error_text` to standard error. Never fails.
void report_failure(std::string_view error_text) noexcept;

// A destination for whole lines. Each sink serialises its own writes, so lines never interleave.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // Writes one whole line (newline included); the error text on failure. Never throws.
  virtual std::expected<void, std::string> write_line(std::string_view line) noexcept = 0;
  // In a forked child, unless this thread is the one writing: frees the sink's writer mutex,
  // which a thread that does not exist in the child may have held at the fork.
  virtual void free_after_fork() noexcept {}
};

// An opened log file, written at its current position. Owns and closes the descriptor.
// A line that a write cuts short (a full disk) is cut back out of a regular file; where that
// cannot be done (a pipe, a device), the next line is preceded by a newline. So no line is
// ever glued to another's fragment.
class FileSink final : public LineSink {
 public:
  explicit FileSink(int fd) noexcept : fd_(fd) {}
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  std::expected<void, std::string> write_line(std::string_view line) noexcept override;
  void free_after_fork() noexcept override;

  // The writer mutex; held by whoever must keep records out while the file is prepared.
  std::mutex& mutex() noexcept { return mutex_; }
  int fd() const noexcept { return fd_; }

 private:
  // Writes one line at the current position under the mutex; 0 or the errno value.
  int write_whole_line(std::string_view line) noexcept;

  int fd_;
  bool fragment_pending_ = false;  // a cut line was left in place; the next one starts a new line
  std::mutex mutex_;  // not re-entrant; see JsonLinesLogger for nested records
};

// Keeps the records at or above `filter` in severity and writes each as one line to the sink.
// A record that cannot be formatted or written yields the failure line and is dropped; a record
// logged on a thread that is already inside the sink's write is dropped the same way.
class JsonLinesLogger final : public log::Logger {
 public:
  JsonLinesLogger(std::unique_ptr<LineSink> sink, log::Level filter) noexcept
      : sink_(std::move(sink)), filter_(filter) {}
  void log(const log::Record& record) noexcept override;
  log::Level filter() const noexcept { return filter_; }

 private:
  std::unique_ptr<LineSink> sink_;
  log::Level filter_;
};

// True while this thread is inside a sink's write (for a writer object: inside its `write`).
bool writer_active_on_this_thread() noexcept;

// The text of a nested record's failure line.
inline constexpr std::string_view kNestedRecordError =
    "record logged from inside the log writer on the same thread";

}  // namespace quillmere::pylog
