#include "quillmere/log.h"

#include <atomic>

namespace quillmere::log {
namespace {

enum State : int { kNone = 0, kInstalling = 1, kInstalled = 2 };

std::atomic<int> g_state{kNone};
std::atomic<std::uint8_t> g_max{static_cast<std::uint8_t>(Level::Off)};
Logger* g_logger = nullptr;  // written once, before g_state becomes kInstalled

}  // namespace

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
    default: return "OFF";
  }
}

bool enabled(Level level) noexcept {
  return level != Level::Off &&
         static_cast<std::uint8_t>(level) <= g_max.load(std::memory_order_relaxed);
}

Level max_level() noexcept { return static_cast<Level>(g_max.load(std::memory_order_relaxed)); }

bool install(Logger* logger, Level max) noexcept {
  int expected = kNone;
  if (!g_state.compare_exchange_strong(expected, kInstalling, std::memory_order_acq_rel)) return false;
  g_logger = logger;
  g_state.store(kInstalled, std::memory_order_release);
  g_max.store(static_cast<std::uint8_t>(max), std::memory_order_release);
  return true;
}

void dispatch(const Record& record) noexcept {
  if (!enabled(record.level)) return;
  if (g_state.load(std::memory_order_acquire) != kInstalled) return;
  g_logger->log(record);
}

void event(Level level, std::string_view target, std::string_view message,
           std::initializer_list<KeyValue> kvs, std::string_view file, std::uint32_t line) noexcept {
  if (!enabled(level)) return;
  Record r{level, target, message, std::span<const KeyValue>(kvs.begin(), kvs.size()), target, file, line};
  dispatch(r);
}

}  // namespace quillmere::log
