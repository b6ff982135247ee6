// Shared pieces of the extension module: argument conversion, exception mapping,
// the interpreter-lock helpers and the two class objects. Only this folder
// includes Python.h and the NumPy headers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quillmere/error.h"
#include "quillmere/interrupt.h"

namespace quillmere {
struct IndexBuilder;
class Index;
}  // namespace quillmere

namespace pyq {

// ---- exceptions -------------------------------------------------------------

class SignalInterrupt;

// Raises the Python exception for a core error and returns nullptr. An interrupted core call
// raises what the signal handler raised (through `interrupt`), else KeyboardInterrupt.
PyObject* raise_error(const quillmere::Error& error, SignalInterrupt* interrupt = nullptr);

// Lets a signal (Ctrl-C) stop long core work: training a level, placing a large batch,
// loading a dump. Made with the interpreter lock held, on the calling thread; installed with
// quillmere::InterruptScope around the core call on that same thread. When the core polls it
// (at most every 50 ms), it takes the interpreter lock, unless this thread holds it, and runs
// the pending signal handlers; when one raises (KeyboardInterrupt), it keeps that exception
// and asks the core to stop. Only the main thread runs signal handlers, so elsewhere it never
// takes the lock and never stops anything.
class SignalInterrupt final : public quillmere::InterruptCheck {
 public:
  SignalInterrupt() noexcept;
  ~SignalInterrupt() override;  // with the interpreter lock held
  SignalInterrupt(const SignalInterrupt&) = delete;
  SignalInterrupt& operator=(const SignalInterrupt&) = delete;

  bool stop_requested() noexcept override;
  // With the interpreter lock held: makes the kept exception the current one. False when
  // nothing was kept.
  bool restore() noexcept;

 private:
  bool main_thread_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// True while signal handlers run inside SignalInterrupt::stop_requested on this thread: the
// thread may hold an index mutex further up its stack, so index methods must refuse to run.
bool signal_handlers_active_on_this_thread() noexcept;

// Runs `body` and turns any C++ exception that escapes it into a Python
// exception, so none ever unwinds into the interpreter.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    // A daemon thread ended by the interpreter's shutdown: let it unwind.
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return nullptr;
}

// ---- argument conversion ----------------------------------------------------

// Binds exactly the named parameters (none, one or two); the interpreter reports
// missing, surplus and unknown arguments.
bool bind(PyObject* args, PyObject* kwargs, const char* format, const char* first = nullptr,
          PyObject** first_out = nullptr, const char* second = nullptr, PyObject** second_out = nullptr);

// Each converter returns false with a Python exception set. A TypeError is
// reported as "argument '<name>': <original text>".

bool to_size(PyObject* obj, const char* name, std::uint64_t& out);
bool to_id(PyObject* obj, const char* name, std::uint32_t& out);
bool to_text(PyObject* obj, const char* name, std::string& out);
// A text that is handed to the file system: no embedded NUL characters.
bool to_path(PyObject* obj, const char* name, std::string& out);
// A 1-D float32 NumPy array of any strides, copied element by element. `length`
// is the array's length; the values are copied only when it is `expected` (any
// other length is refused by the core, and a huge one, such as a broadcast view,
// would otherwise be copied whole first).
bool to_vector(PyObject* obj, const char* name, std::uint64_t expected, std::vector<float>& out,
               std::uint64_t& length);
// The core's refusal of a vector whose length is not `input_shape`, as a
// ValueError; `what` is "Query" or "Record". Returns nullptr.
PyObject* raise_length_error(const char* what, std::uint64_t length, std::uint64_t input_shape);

// The neighbour ids as a 1-D uint32 array that takes over `ids` without a copy.
PyObject* ids_to_array(std::vector<std::uint32_t>&& ids);

// Sets up NumPy's C interface; called once from the module body.
bool import_numpy();

// ---- locks --------------------------------------------------------------------

// Takes `mutex` while the calling thread holds the interpreter lock. It never
// blocks with the interpreter lock held: when the mutex is taken it gives the
// interpreter lock up while waiting, so a thread that holds the mutex and needs
// the interpreter lock (a Python log writer) can always go on.
class GilSafeLock {
 public:
  explicit GilSafeLock(std::mutex& mutex);
  GilSafeLock(const GilSafeLock&) = delete;
  GilSafeLock& operator=(const GilSafeLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// Core work done without the interpreter lock is tracked so that interpreter
// exit can wait for it: daemon threads must not be inside the core while the
// process runs its exit handlers (libtorch and the worker pool tear down).
// begin_core_work() is called with the interpreter lock held; after exit has
// begun it never returns on any thread but the one running the exit (the thread
// parks with the lock released until the process ends).
void begin_core_work();
void end_core_work() noexcept;
// True once interpreter exit has begun, on every thread but the one running it.
bool exit_begun() noexcept;
// For work that was waiting for an index mutex when exit began: it is not
// started. Unlocks `lock`, leaves the work count and parks the thread for good.
[[noreturn]] void park_for_exit(std::unique_lock<std::mutex>& lock) noexcept;
// Registers the exit hook that waits for core work in flight.
bool register_exit_hook();

// Runs `work` with the interpreter lock released. `work` must not touch Python
// objects. An exception it throws is re-thrown after the lock is back.
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
  using R = decltype(work());
  std::optional<R> out;
  std::exception_ptr failure;
  begin_core_work();
  PyThreadState* saved = PyEval_SaveThread();
  try {
    out.emplace(work());
  } catch (abi::__forced_unwind&) {
    end_core_work();
    throw;
  } catch (...) {
    failure = std::current_exception();
  }
  end_core_work();
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
  return std::move(*out);
}

// Counts the method calls using an object while they run.
class Borrow {
 public:
  explicit Borrow(std::atomic<std::uint64_t>& counter) : counter_(counter) {
    counter_.fetch_add(1, std::memory_order_relaxed);
  }
  ~Borrow() { counter_.fetch_sub(1, std::memory_order_relaxed); }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  std::atomic<std::uint64_t>& counter_;
};

// ---- class objects ------------------------------------------------------------

// A method taking keywords, as a method table entry.
#define QM_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// An instance of one of the module's classes: the object owns one State.
template <class State>
struct Boxed {
  PyObject_HEAD
  State* state;
};

// Frees an object's State; a State may have its own, found by argument-dependent lookup.
template <class State>
void free_state(State* state) {
  delete state;
}

// tp_dealloc of a class of Boxed<State> objects.
template <class State>
void boxed_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<Boxed<State>*>(self);
  free_state(obj->state);
  obj->state = nullptr;
  Py_TYPE(self)->tp_free(self);
}

// A new Boxed<State> object of `type` holding State(args...); nullptr with an
// exception set when the object cannot be allocated. What State's constructor
// throws propagates after the object is released.
template <class State, class... Args>
PyObject* new_boxed(PyTypeObject& type, Args&&... args) {
  PyObject* self = type.tp_alloc(&type, 0);
  if (self == nullptr) return nullptr;
  auto* obj = reinterpret_cast<Boxed<State>*>(self);
  obj->state = nullptr;
  try {
    obj->state = new State(std::forward<Args>(args)...);
  } catch (...) {
    Py_DECREF(self);
    throw;
  }
  return self;
}

// `self` as a usable Boxed<State> of `type` (whose Python name is `name`), or
// nullptr with a TypeError or RuntimeError set.
template <class State>
Boxed<State>* checked_boxed(PyObject* self, PyTypeObject& type, const char* name) {
  if (self == nullptr || !PyObject_TypeCheck(self, &type)) {
    PyErr_Format(PyExc_TypeError, "descriptor requires a '%s' object but received '%s'", name,
                 self ? Py_TYPE(self)->tp_name : "NULL");
    return nullptr;
  }
  auto* obj = reinterpret_cast<Boxed<State>*>(self);
  if (obj->state == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "%s object is not initialised", name);
    return nullptr;
  }
  return obj;
}

// Fills in and readies a class of Boxed<State> objects once; later calls do nothing.
template <class State>
bool ready_boxed_type(PyTypeObject& type, const char* qualified_name, const char* doc, newfunc make,
                      PyMethodDef* methods) {
  if (type.tp_flags & Py_TPFLAGS_READY) return true;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
  type.tp_name = qualified_name;
  type.tp_basicsize = sizeof(Boxed<State>);
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = doc;
  type.tp_new = make;
  type.tp_dealloc = boxed_dealloc<State>;
  type.tp_methods = methods;
  return PyType_Ready(&type) == 0;
}

extern PyTypeObject QuillmereType;
extern PyTypeObject QuillmereBuilderType;

// Ready the class objects (once per process; later calls do nothing).
bool ready_quillmere_type();
bool ready_builder_type();

// New Python objects holding a value; nullptr with an exception set on failure.
PyObject* new_quillmere(quillmere::Index&& index);
PyObject* new_builder(quillmere::IndexBuilder&& builder);

}  // namespace pyq
