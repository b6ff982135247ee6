// Stopping long work on request. Training a level, placing a large batch and loading a dump
// can run for as long as their configuration and data say; a caller that must be able to
// stop them (the Python module, for Ctrl-C) installs a check for the calling thread. The work
// asks interrupted() at its epoch, batch and bucket boundaries and, when told to stop, ends
// with ErrorKind::Interrupted; whoever holds records for it puts them back as for any failure.
#pragma once

#include <chrono>

#include "quillmere/error.h"

namespace quillmere {

class InterruptCheck {
 public:
  virtual ~InterruptCheck() = default;
  // True when the work should stop. Called from the thread that installed the check, at most
  // once per kInterruptPollInterval, so it may cost some microseconds.
  virtual bool stop_requested() noexcept = 0;
};

// How often a boundary consults the installed check; boundaries in between only read a clock.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{50};

// Installs `check` for the calling thread for the scope's life; the one it replaces comes back
// after it. Once the check has asked to stop, every later boundary in the scope stops too.
class InterruptScope {
 public:
  explicit InterruptScope(InterruptCheck& check) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  friend bool interrupted() noexcept;
  InterruptCheck& check_;
  InterruptScope* outer_;
  std::chrono::steady_clock::time_point next_poll_;
  bool stopped_ = false;
};

// True when the calling thread's installed check asks to stop (false without one).
bool interrupted() noexcept;

// The error that interrupted work ends with: ErrorKind::Interrupted, "interrupted".
Error interrupted_error();

}  // namespace quillmere
