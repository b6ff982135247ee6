// A logger for tests that keeps every record it is given. The process-wide logger
// can be installed only once, so each test binary gets its one through capture_logger().
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "quillmere/log.h"

namespace quillmere::test {

struct CapturedRecord {
  log::Level level = log::Level::Debug;
  std::string target;
  std::string message;
  std::vector<std::pair<std::string, log::Value>> kvs;  // as logged, in order
  std::map<std::string, std::string> kv;                // the same by key, numbers in decimal
};

class CaptureLogger : public log::Logger {
 public:
  void log(const log::Record& record) noexcept override {
    try {
      CapturedRecord c{record.level, std::string(record.target), std::string(record.message), {}, {}};
      for (const auto& item : record.kvs) {
        c.kvs.emplace_back(std::string(item.key), item.value);
        if (const auto* s = std::get_if<std::string>(&item.value))
          c.kv[std::string(item.key)] = *s;
        else
          c.kv[std::string(item.key)] = std::to_string(std::get<std::uint64_t>(item.value));
      }
      std::lock_guard lock(mutex_);
      records_.push_back(std::move(c));
    } catch (...) {
    }
  }
  // The records logged since the last take(), oldest first.
  std::vector<CapturedRecord> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
  }
  void clear() { take(); }

 private:
  std::mutex mutex_;
  std::vector<CapturedRecord> records_;
};

// The process's capturing logger, installed at `level` by the first call.
inline CaptureLogger& capture_logger(log::Level level = log::Level::Debug) {
  static CaptureLogger* logger = [level] {
    auto* created = new CaptureLogger;
    if (!log::install(created, level)) ADD_FAILURE() << "a logger was already installed";
    return created;
  }();
  return *logger;
}

}  // namespace quillmere::test
