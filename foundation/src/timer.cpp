#include "quillmere/timer.h"

#include <cstdio>

#include "quillmere/log.h"

namespace quillmere {

std::string format_duration(std::chrono::nanoseconds elapsed) {
  std::uint64_t ns = elapsed.count() < 0 ? 0 : static_cast<std::uint64_t>(elapsed.count());
  std::uint64_t unit;
  const char* suffix;
  int digits;
  if (ns >= 1'000'000'000ull) {
    unit = 1'000'000'000ull, suffix = "s", digits = 9;
  } else if (ns >= 1'000'000ull) {
    unit = 1'000'000ull, suffix = "ms", digits = 6;
  } else if (ns >= 1'000ull) {
    unit = 1'000ull, suffix = "\xC2\xB5s", digits = 3;
  } else {
    return std::to_string(ns) + "ns";
  }
  std::string out = std::to_string(ns / unit);
  std::uint64_t frac = ns % unit;
  if (frac != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*llu", digits, static_cast<unsigned long long>(frac));
    std::string f(buf);
    while (!f.empty() && f.back() == '0') f.pop_back();
    out += '.';
    out += f;
  }
  out += suffix;
  return out;
}

ScopedTimer::ScopedTimer(std::string_view target, std::string_view function) noexcept
    : target_(target), function_(function), start_(std::chrono::steady_clock::now()),
      active_(log::enabled(log::Level::Debug)) {}

ScopedTimer::~ScopedTimer() {
  if (!active_ || !log::enabled(log::Level::Debug)) return;
  try {
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_);
    log::event(log::Level::Debug, target_, "time",
               {{"function", std::string(function_)}, {"time", format_duration(elapsed)}});
  } catch (...) {
    // A timing record is never worth failing the operation for.
  }
}

}  // namespace quillmere
