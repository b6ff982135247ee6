// Argument conversion, exception mapping and the lock helpers.
#include "py_common.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL quillmere_numpy_api
#include <numpy/arrayobject.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <string_view>

namespace pyq {

namespace {

// Replaces a pending TypeError by one naming the argument; other errors pass.
void name_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  const char* utf8 = text ? PyUnicode_AsUTF8(text) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    utf8 = "";
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, utf8);
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
}

// `obj` as a Python int (through __index__), or nullptr with the TypeError naming the argument.
PyObject* as_index(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) name_type_error(name);
  return index;
}

const char* type_name(PyObject* obj) { return _PyType_Name(Py_TYPE(obj)); }

void ids_capsule_free(PyObject* capsule) {
  delete static_cast<std::vector<std::uint32_t>*>(PyCapsule_GetPointer(capsule, "py_quillmere.ids"));
}

}  // namespace

PyObject* raise_error(const quillmere::Error& error, SignalInterrupt* interrupt) {
  using quillmere::ErrorKind;
  if (error.kind == ErrorKind::Interrupted) {
    if (interrupt == nullptr || !interrupt->restore()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  const std::string text = error.message();
  PyObject* type = PyExc_RuntimeError;
  if (!error.is_index_error()) {
    switch (error.kind) {
      case ErrorKind::InvalidValue: type = PyExc_ValueError; break;
      case ErrorKind::NotImplemented: type = PyExc_NotImplementedError; break;
      case ErrorKind::OutOfRange: type = PyExc_IndexError; break;
      case ErrorKind::OutOfMemory: type = PyExc_MemoryError; break;
      default: type = PyExc_RuntimeError; break;
    }
  }
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

bool bind(PyObject* args, PyObject* kwargs, const char* format, const char* first, PyObject** first_out,
          const char* second, PyObject** second_out) {
  const char* kwlist[3] = {first, second, nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), first_out, second_out) != 0;
}

bool to_size(PyObject* obj, const char* name, std::uint64_t& out) {
  PyObject* index = as_index(obj, name);
  if (index == nullptr) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_type_error(name);
    return false;
  }
  out = value;
  return true;
}

bool to_id(PyObject* obj, const char* name, std::uint32_t& out) {
  PyObject* index = as_index(obj, name);
  if (index == nullptr) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) {
    name_type_error(name);
    return false;
  }
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_text(PyObject* obj, const char* name, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not an instance of 'str'", name,
                 type_name(obj));
    return false;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

bool to_path(PyObject* obj, const char* name, std::string& out) {
  if (!to_text(obj, name, out)) return false;
  // The file system would silently cut the path at the first NUL.
  if (out.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null character in path", name);
    return false;
  }
  return true;
}

bool to_vector(PyObject* obj, const char* name, std::uint64_t expected, std::vector<float>& out,
               std::uint64_t& length) {
  bool ok = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 1;
  if (ok) {
    PyArray_Descr* f32 = PyArray_DescrFromType(NPY_FLOAT32);
    if (f32 == nullptr) return false;
    ok = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj)), f32) != 0;
    Py_DECREF(f32);
  }
  if (!ok) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as 'ndarray[float32, ndim=1]'",
                 name, type_name(obj));
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  length = n;
  out.clear();
  if (length != expected) return true;
  const npy_intp stride = PyArray_STRIDE(array, 0);
  const char* data = PyArray_BYTES(array);
  out.resize(n);
  if (n == 0) return true;
  if (stride == static_cast<npy_intp>(sizeof(float))) {
    std::memcpy(out.data(), data, n * sizeof(float));
  } else {
    // Any stride: negative, zero or not a multiple of the element size.
    for (std::size_t i = 0; i < n; ++i)
      std::memcpy(&out[i], data + static_cast<npy_intp>(i) * stride, sizeof(float));
  }
  return true;
}

PyObject* raise_length_error(const char* what, std::uint64_t length, std::uint64_t input_shape) {
  PyErr_Format(PyExc_ValueError, "%s has %llu values, expected input_shape %llu", what,
               static_cast<unsigned long long>(length), static_cast<unsigned long long>(input_shape));
  return nullptr;
}

PyObject* ids_to_array(std::vector<std::uint32_t>&& ids) {
  npy_intp dims[1] = {static_cast<npy_intp>(ids.size())};
  if (ids.empty()) return PyArray_SimpleNew(1, dims, NPY_UINT32);
  auto* holder = new std::vector<std::uint32_t>(std::move(ids));
  PyObject* capsule = PyCapsule_New(holder, "py_quillmere.ids", ids_capsule_free);
  if (capsule == nullptr) {
    delete holder;
    return nullptr;
  }
  PyObject* array = PyArray_SimpleNewFromData(1, dims, NPY_UINT32, holder->data());
  if (array == nullptr) {
    Py_DECREF(capsule);
    return nullptr;
  }
  // Steals the capsule, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

bool import_numpy() {
  if (PyArray_API != nullptr) return true;
  // import_array1 returns its argument on failure, with the exception set.
  import_array1(false);
  return true;
}

GilSafeLock::GilSafeLock(std::mutex& mutex) : lock_(mutex, std::try_to_lock) {
  if (lock_.owns_lock()) return;
  PyThreadState* saved = PyEval_SaveThread();
  try {
    lock_.lock();
  } catch (...) {
    PyEval_RestoreThread(saved);
    throw;
  }
  PyEval_RestoreThread(saved);
}

// ---- interpreter exit ------------------------------------------------------------

namespace {

std::mutex g_work_mutex;
std::condition_variable g_work_done;
std::uint64_t g_work_in_flight = 0;
std::atomic<bool> g_exit_begun{false};
// Set on the thread that runs the exit hooks. The atexit handlers after ours run
// there too, and may still use an index: that thread is never parked.
thread_local bool t_runs_exit = false;

// atexit: from now on no core work starts on other threads; wait (without the
// interpreter lock, which work in flight may need for a log record) until the
// running work ends.
PyObject* wait_for_core_work(PyObject*, PyObject*) {
  {
    std::lock_guard lock(g_work_mutex);
    t_runs_exit = true;
    g_exit_begun.store(true);
  }
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock lock(g_work_mutex);
    g_work_done.wait(lock, [] { return g_work_in_flight == 0; });
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyMethodDef exit_hook_def = {"_wait_for_core_work", wait_for_core_work, METH_NOARGS, nullptr};

// A forked child has only the forking thread: work counted for the others
// would make its exit wait forever.
void work_before_fork() { g_work_mutex.lock(); }
void work_after_fork_parent() { g_work_mutex.unlock(); }
void work_after_fork_child() {
  g_work_in_flight = 0;
  g_work_mutex.unlock();
}
[[maybe_unused]] const int g_work_atfork =
    pthread_atfork(work_before_fork, work_after_fork_parent, work_after_fork_child);

}  // namespace

void begin_core_work() {
  {
    std::lock_guard lock(g_work_mutex);
    if (!g_exit_begun.load() || t_runs_exit) {
      ++g_work_in_flight;
      return;
    }
  }
  // A daemon thread calling in after exit began: it must not enter the core, and
  // it cannot return to Python code that would only call again. Park it.
  PyEval_SaveThread();
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}


void end_core_work() noexcept {
  std::lock_guard lock(g_work_mutex);
  if (--g_work_in_flight == 0) g_work_done.notify_all();
}

void park_for_exit(std::unique_lock<std::mutex>& lock) noexcept {
  lock.unlock();
  end_core_work();
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

bool exit_begun() noexcept { return g_exit_begun.load(std::memory_order_relaxed) && !t_runs_exit; }

bool register_exit_hook() {
  PyObject* atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return false;
  PyObject* hook = PyCFunction_New(&exit_hook_def, nullptr);
  PyObject* done = hook ? PyObject_CallMethod(atexit, "register", "O", hook) : nullptr;
  Py_XDECREF(done);
  Py_XDECREF(hook);
  Py_DECREF(atexit);
  return done != nullptr;
}

}  // namespace pyq
