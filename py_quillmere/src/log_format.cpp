#include "log_format.h"

#include <cerrno>
#include <ctime>
#include <exception>
#include <new>
#include <variant>

#include <nlohmann/json.hpp>
#include <unistd.h>

#include "quillmere/error.h"
#include "quillmere/fd_io.h"

namespace quillmere::pylog {
namespace {

thread_local bool t_writing = false;

std::string dump_compact(const nlohmann::json& value) {
  // Replace rather than throw on invalid UTF-8: a record is worth more than a perfect byte.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_ascii_case(std::string_view a, std::string_view lower) noexcept {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != lower[i]) return false;
  return true;
}

}  // namespace

log::Level parse_level_filter(std::string_view text) noexcept {
  struct Name { std::string_view text; log::Level level; };
  static constexpr Name kNames[] = {
      {"off", log::Level::Off},     {"error", log::Level::Error}, {"warn", log::Level::Warn},
      {"info", log::Level::Info},   {"debug", log::Level::Debug}, {"trace", log::Level::Trace},
  };
  for (const auto& n : kNames)
    if (equals_ignoring_ascii_case(text, n.text)) return n.level;
  return log::Level::Info;
}

std::int64_t unix_millis_now() noexcept {
  timespec ts{};
  if (clock_gettime(CLOCK_REALTIME, &ts) != 0) return 0;
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + static_cast<std::int64_t>(ts.tv_nsec / 1'000'000);
}

std::string format_record(const log::Record& record, std::int64_t timestamp_ms) {
  nlohmann::json line = nlohmann::json::object();
  for (const auto& kv : record.kvs) {
    auto& slot = line[std::string(kv.key)];
    if (const auto* text = std::get_if<std::string>(&kv.value))
      slot = *text;
    else
      slot = std::get<std::uint64_t>(kv.value);
  }
  line["target"] = std::string(record.target);
  line["message"] = std::string(record.message);
  line["level"] = std::string(log::level_name(record.level));
  if (record.level == log::Level::Error || record.level == log::Level::Warn) {
    if (!record.module.empty()) line["module"] = std::string(record.module);
    if (!record.file.empty()) line["file"] = std::string(record.file);
    if (record.line != 0) line["line"] = record.line;
  }
  line["timestamp"] = timestamp_ms;
  std::string out = dump_compact(line);
  out += '\n';
  return out;
}

std::string format_failure_line(std::string_view error_text, std::int64_t timestamp_ms) {
  std::string message = "Logger failed to log: ";
  message += error_text;
  std::string out = R"({"level":"ERROR","message":)";
  out += dump_compact(nlohmann::json(std::move(message)));
  out += R"(,"target":"structured_logger","timestamp":)";
  out += std::to_string(timestamp_ms);
  out += "}\n";
  return out;
}

void report_failure(std::string_view error_text) noexcept {
  try {
    const std::string line = format_failure_line(error_text, unix_millis_now());
    (void)write_all(STDERR_FILENO, line);
  } catch (...) {
    static constexpr std::string_view kFallback =
        "{\"level\":\"ERROR\",\"message\":\"Logger failed to log: out of memory\","
        "\"target\":\"structured_logger\",\"timestamp\":0}\n";
    (void)write_all(STDERR_FILENO, kFallback);
  }
}

FileSink::~FileSink() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, std::string> FileSink::write_line(std::string_view line) noexcept {
  int err;
  {
    std::lock_guard lock(mutex_);
    err = write_whole_line(line);
  }
  if (err == 0) return {};
  try {
    return std::unexpected(os_error_text(err));
  } catch (...) {
    return std::unexpected(std::string());
  }
}

void FileSink::free_after_fork() noexcept { new (&mutex_) std::mutex(); }

int FileSink::write_whole_line(std::string_view line) noexcept {
  // A line cut short (a full disk) would have the next one glued to its fragment. Where
  // the file can be cut back, the fragment goes; elsewhere (a pipe) the next line starts
  // on a line of its own.
  if (fragment_pending_) {
    if (const int err = write_all(fd_, "\n"); err != 0) return err;
    fragment_pending_ = false;
  }
  const off_t start = ::lseek(fd_, 0, SEEK_CUR);  // -1 where the file has no position
  std::size_t written = 0;
  const int err = write_all(fd_, line, &written);
  if (err == 0 || written == 0) return err;
  int rc = -1;
  if (start >= 0) {
    do rc = ::ftruncate(fd_, start);
    while (rc != 0 && errno == EINTR);
  }
  if (rc != 0 || ::lseek(fd_, start, SEEK_SET) != start) fragment_pending_ = true;
  return err;
}

void JsonLinesLogger::log(const log::Record& record) noexcept {
  if (record.level == log::Level::Off || record.level > filter_) return;
  // The writer mutex is not re-entrant: a record made while this thread writes would wait on itself.
  if (t_writing) {
    report_failure(kNestedRecordError);
    return;
  }
  std::string line;
  try {
    line = format_record(record, unix_millis_now());
  } catch (const std::exception& e) {
    report_failure(e.what());
    return;
  } catch (...) {
    report_failure("unknown error while formatting a record");
    return;
  }
  t_writing = true;
  auto written = sink_->write_line(line);
  t_writing = false;
  if (!written) report_failure(written.error());
}

bool writer_active_on_this_thread() noexcept { return t_writing; }

}  // namespace quillmere::pylog
