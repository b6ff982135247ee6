#include "quillmere/interrupt.h"

namespace quillmere {
namespace {

thread_local InterruptScope* t_scope = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck& check) noexcept
    : check_(check), outer_(t_scope), next_poll_(std::chrono::steady_clock::now()) {
  t_scope = this;
}

InterruptScope::~InterruptScope() { t_scope = outer_; }

bool interrupted() noexcept {
  InterruptScope* scope = t_scope;
  if (scope == nullptr) return false;
  if (scope->stopped_) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now < scope->next_poll_) return false;
  scope->next_poll_ = now + kInterruptPollInterval;
  scope->stopped_ = scope->check_.stop_requested();
  return scope->stopped_;
}

Error interrupted_error() { return {ErrorKind::Interrupted, "interrupted"}; }

}  // namespace quillmere
