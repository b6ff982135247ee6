// Process-wide logging facade. Records are built only when their level is admitted,
// so a disabled debug record costs one relaxed atomic load.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere::log {

// Ordered by verbosity; a record passes when its level <= the maximum.
enum class Level : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// Upper-case name: "ERROR", "WARN", "INFO", "DEBUG", "TRACE" ("OFF" for Off).
std::string_view level_name(Level level) noexcept;

using Value = std::variant<std::string, std::uint64_t>;

struct KeyValue {
  std::string_view key;
  Value value;
};

struct Record {
  Level level;
  std::string_view target;   // module path, e.g. "quillmere::index"
  std::string_view message;
  std::span<const KeyValue> kvs;
  std::string_view module;   // module path of the code that logged
  std::string_view file;     // source file
  std::uint32_t line = 0;    // source line
};

class Logger {
 public:
  virtual ~Logger() = default;
  // Must not throw; failures are the logger's own business.
  virtual void log(const Record& record) noexcept = 0;
};

// True when a logger is installed and `level` is within its maximum.
bool enabled(Level level) noexcept;

// Installs the one process-wide logger and its maximum level. Returns false, and
// keeps the first logger, when one is already installed or being installed.
// Ownership of `logger` passes to the facade only on success.
bool install(Logger* logger, Level max_level) noexcept;

// The installed maximum level (Off while no logger is installed).
Level max_level() noexcept;

// Hands a record to the installed logger, if any and if admitted.
void dispatch(const Record& record) noexcept;

// Convenience for the core's debug events: builds the record only when admitted.
void event(Level level, std::string_view target, std::string_view message,
           std::initializer_list<KeyValue> kvs = {},
           std::string_view file = {}, std::uint32_t line = 0) noexcept;

}  // namespace quillmere::log

// Debug event with key-values, e.g. QM_DEBUG("quillmere::index", "index:compact", {{"level", n}}).
#define QM_DEBUG(target, message, ...)                                                    \
  do {                                                                                    \
    if (::quillmere::log::enabled(::quillmere::log::Level::Debug))                        \
      ::quillmere::log::event(::quillmere::log::Level::Debug, target, message, __VA_ARGS__); \
  } while (0)
