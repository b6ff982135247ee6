// Signals reaching long core work that runs without the interpreter's eval loop.
#include "py_common.h"

#include <utility>

namespace pyq {

namespace {

thread_local bool t_running_handlers = false;

// The interpreter runs signal handlers on its main thread only. Asking which thread that is
// needs the interpreter lock; later versions keep the question internal, and then every
// thread polls (PyErr_CheckSignals does nothing elsewhere).
bool on_main_thread() noexcept {
#if PY_VERSION_HEX < 0x030D0000
  return _PyOS_IsMainThread() != 0;
#else
  return true;
#endif
}

}  // namespace

SignalInterrupt::SignalInterrupt() noexcept : main_thread_(on_main_thread()) {}

SignalInterrupt::~SignalInterrupt() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

bool SignalInterrupt::stop_requested() noexcept {
  if (!main_thread_ || type_ != nullptr) return type_ != nullptr;
  const PyGILState_STATE gil = PyGILState_Ensure();
  // A handler may itself build an index from a dump, which polls here again: the inner poll
  // must leave the outer handler still marked, or it could call into the locked index.
  const bool outer = std::exchange(t_running_handlers, true);
  if (PyErr_CheckSignals() != 0) PyErr_Fetch(&type_, &value_, &traceback_);
  t_running_handlers = outer;
  PyGILState_Release(gil);
  return type_ != nullptr;
}

bool SignalInterrupt::restore() noexcept {
  if (type_ == nullptr) return false;
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
  return true;
}

bool signal_handlers_active_on_this_thread() noexcept { return t_running_handlers; }

}  // namespace pyq
