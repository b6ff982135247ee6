// Timed operations: a scoped timer that logs the "time" debug record on every exit path.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere {

// Elapsed time as text: a decimal number followed by "ns", "µs", "ms" or "s",
// in the largest unit that keeps the integer part non-zero, trailing zeros trimmed
// (e.g. "850ns", "1.5µs", "12.034ms", "2s").
std::string format_duration(std::chrono::nanoseconds elapsed);

class ScopedTimer {
 public:
  // `target` is the module path, `function` the operation's name ("insert", "search", ...).
  ScopedTimer(std::string_view target, std::string_view function) noexcept;
  ~ScopedTimer();
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;

 private:
  std::string_view target_;
  std::string_view function_;
  std::chrono::steady_clock::time_point start_;
  bool active_;
};

}  // namespace quillmere
