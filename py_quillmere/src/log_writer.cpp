#include "log_writer.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log_format.h"
#include "quillmere/error.h"
#include "quillmere/fd_io.h"
#include "quillmere/log.h"

const char* const kLogInitDoc = "log_init(target, level)\n--\n\n";

bool log_writer_active_on_this_thread() noexcept { return quillmere::pylog::writer_active_on_this_thread(); }

namespace {

using quillmere::pylog::LineSink;
namespace qlog = quillmere::log;
namespace pylog = quillmere::pylog;

constexpr std::string_view kAlreadyInitialized =
    "Warning: Logger already initialized: "
    "attempted to set a logger after the logging system was already initialized\n";

// Shutdown handshake between the atexit hook and threads writing to a writer object.
// Both sides use sequentially consistent operations, so either the hook sees a writer in
// flight and waits for it, or the writer sees the hook's flag and drops its record.
std::atomic<bool> g_writer_closed{false};
std::atomic<int> g_writes_in_flight{0};

// How long the atexit hook waits for writes in flight (a `write` that never returns must not
// hang the exit forever).
constexpr auto kShutdownWait = std::chrono::seconds(10);

std::string exception_text() {
  // Called with an exception set; clears it.
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string text = "Exception";
  if (type != nullptr && PyType_Check(type)) {
    if (PyObject* name = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type))) {
      if (const char* s = PyUnicode_AsUTF8(name)) text = s;
      Py_DECREF(name);
    }
  }
  text += ": ";
  PyObject* str = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_ssize_t len = 0;
  const char* s = str != nullptr ? PyUnicode_AsUTF8AndSize(str, &len) : nullptr;
  if (s != nullptr)
    text.append(s, static_cast<std::size_t>(len));
  else
    text += "<exception str() failed>";
  Py_XDECREF(str);
  PyErr_Clear();
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return text;
}

// A Python object with a `write` method. Both references are held until the process ends.
class PyWriterSink final : public LineSink {
 public:
  PyWriterSink(PyObject* target, PyObject* write_name) noexcept : target_(target), write_name_(write_name) {}
  // Never releases its references: the interpreter may be gone when the process ends.
  ~PyWriterSink() override = default;

  // Only for a sink that was never installed, with the interpreter lock held.
  void release_references() noexcept {
    Py_CLEAR(target_);
    Py_CLEAR(write_name_);
  }

  std::expected<void, std::string> write_line(std::string_view line) noexcept override {
    if (line.empty()) return {};
    g_writes_in_flight.fetch_add(1);
    struct Leave {
      ~Leave() { g_writes_in_flight.fetch_sub(1); }
    } leave;
    // Once the interpreter shuts down the record is dropped: taking the interpreter lock
    // then would end this thread in the middle of C++ frames.
    if (g_writer_closed.load() || !Py_IsInitialized() || _Py_IsFinalizing()) return {};

    PyGILState_STATE gil = PyGILState_Ensure();
    // Never wait for the writer mutex while holding the interpreter lock: its holder may be
    // inside `write` and need the interpreter lock back.
    if (!mutex_.try_lock()) {
      PyThreadState* state = PyEval_SaveThread();
      mutex_.lock();
      PyEval_RestoreThread(state);
    }
    // Keep an exception pending on this thread out of the writer's way.
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_Fetch(&saved_type, &saved_value, &saved_tb);
    std::expected<void, std::string> result;
    try {
      result = call_write(line);
    } catch (...) {
      result = std::unexpected(std::string("out of memory"));
    }
    PyErr_Restore(saved_type, saved_value, saved_tb);
    mutex_.unlock();
    PyGILState_Release(gil);
    return result;
  }

  void free_after_fork() noexcept override { new (&mutex_) std::mutex(); }

 private:
  std::expected<void, std::string> call_write(std::string_view line) {
    if (PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict")) {
      PyObject* r = PyObject_CallMethodOneArg(target_, write_name_, text);
      Py_DECREF(text);
      if (r != nullptr) {
        Py_DECREF(r);
        return {};
      }
    }
    PyErr_Clear();  // the str attempt's failure is not the writer's error
    PyObject* bytes = PyBytes_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
    if (bytes == nullptr) return std::unexpected(exception_text());
    PyObject* r = PyObject_CallMethodOneArg(target_, write_name_, bytes);
    Py_DECREF(bytes);
    if (r == nullptr) return std::unexpected(exception_text());
    Py_DECREF(r);
    return {};
  }

  PyObject* target_;
  PyObject* write_name_;
  std::mutex mutex_;  // not re-entrant; nested records are refused by the logger
};

// atexit hook: close the writer object to new records and let writes in flight finish.
PyObject* close_writer_at_exit(PyObject*, PyObject*) {
  g_writer_closed.store(true);
  const auto deadline = std::chrono::steady_clock::now() + kShutdownWait;
  while (g_writes_in_flight.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef kCloseWriterDef = {"_close_log_writer", close_writer_at_exit, METH_NOARGS, nullptr};

void register_close_at_exit() {
  PyObject* fn = PyCFunction_New(&kCloseWriterDef, nullptr);
  PyObject* atexit = fn != nullptr ? PyImport_ImportModule("atexit") : nullptr;
  PyObject* r = atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", fn) : nullptr;
  // Without the hook the finalisation check in write_line still covers most cases.
  if (r == nullptr) PyErr_Clear();
  Py_XDECREF(r);
  Py_XDECREF(atexit);
  Py_XDECREF(fn);
}

void print_already_initialized() noexcept { (void)quillmere::write_all(STDERR_FILENO, kAlreadyInitialized); }

// The sink of the installed logger, if any: owned by the logger until the process ends.
std::atomic<LineSink*> g_sink{nullptr};

// A forked child has only the forking thread. Another thread writing at the fork would have
// left the writer mutex taken, and every record of the child waiting for it, for good; and its
// write in flight would hold up the child's exit. When the forking thread is the one writing
// (it forked from inside `write`), it holds the mutex itself and leaves it as usual.
void sink_after_fork_child() {
  const bool writing_here = pylog::writer_active_on_this_thread();
  g_writes_in_flight.store(writing_here ? 1 : 0);
  if (LineSink* sink = g_sink.load(); sink != nullptr && !writing_here) sink->free_after_fork();
}
[[maybe_unused]] const int g_sink_atfork = pthread_atfork(nullptr, nullptr, sink_after_fork_child);

PyObject* raise_os_error(int err) {
  try {
    PyErr_SetString(PyExc_OSError, quillmere::os_error_text(err).c_str());
  } catch (...) {
    PyErr_NoMemory();
  }
  return nullptr;
}

// Opens the log file for writing without emptying it; the caller empties it once the
// logger is installed, so a refused second log_init leaves the file alone.
int open_log_file(PyObject* path, int* err) {
  PyObject* encoded = PyUnicode_EncodeFSDefault(path);
  if (encoded == nullptr) {
    PyErr_Clear();
    *err = EINVAL;
    return -1;
  }
  char* bytes = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(encoded, &bytes, &len) != 0 ||
      std::strlen(bytes) != static_cast<std::size_t>(len)) {  // an embedded NUL
    PyErr_Clear();
    Py_DECREF(encoded);
    *err = EINVAL;
    return -1;
  }
  // Opening a FIFO waits for its reader, which may be a thread of this process:
  // wait without the interpreter lock, and let a signal handler's exception
  // (Ctrl-C) end the wait. *err is 0 when that exception is what failed.
  int fd;
  for (;;) {
    Py_BEGIN_ALLOW_THREADS
    fd = ::open(bytes, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    *err = fd < 0 ? errno : 0;
    Py_END_ALLOW_THREADS
    if (fd >= 0 || *err != EINTR) break;
    if (PyErr_CheckSignals() != 0) {
      *err = 0;
      break;
    }
  }
  Py_DECREF(encoded);
  return fd;
}

// Empties a regular log file; other files (devices, pipes) cannot be and need not be.
void empty_log_file(int fd) noexcept {
  struct stat st{};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  int rc;
  do {
    rc = ::ftruncate(fd, 0);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    try {
      pylog::report_failure(quillmere::os_error_text(errno));
    } catch (...) {
    }
  }
}

PyObject* install_file_logger(PyObject* path, qlog::Level filter) {
  int err = 0;
  const int fd = open_log_file(path, &err);
  if (fd < 0) return err != 0 ? raise_os_error(err) : nullptr;
  std::unique_ptr<pylog::FileSink> owned(new (std::nothrow) pylog::FileSink(fd));
  if (owned == nullptr) {
    ::close(fd);
    return PyErr_NoMemory();
  }
  pylog::FileSink* sink = owned.get();
  // The logger's constructor cannot throw, so on failure `owned` still holds the sink.
  std::unique_ptr<pylog::JsonLinesLogger> logger(new (std::nothrow) pylog::JsonLinesLogger(std::move(owned), filter));
  if (logger == nullptr) return PyErr_NoMemory();
  bool installed;
  {
    // Records from other threads wait until the file has been emptied.
    std::lock_guard lock(sink->mutex());
    installed = qlog::install(logger.get(), filter);
    if (installed) empty_log_file(fd);
  }
  if (installed) {
    g_sink.store(sink);
    (void)logger.release();  // owned by the facade until the process ends
  } else {
    logger.reset();  // closes the file, untouched
    print_already_initialized();
  }
  Py_RETURN_NONE;
}

PyObject* install_writer_logger(PyObject* target, qlog::Level filter) {
  PyObject* write_name = PyUnicode_InternFromString("write");
  if (write_name == nullptr) return nullptr;
  Py_INCREF(target);
  std::unique_ptr<PyWriterSink> owned(new (std::nothrow) PyWriterSink(target, write_name));
  if (owned == nullptr) {
    Py_DECREF(target);
    Py_DECREF(write_name);
    return PyErr_NoMemory();
  }
  PyWriterSink* sink = owned.get();
  std::unique_ptr<pylog::JsonLinesLogger> logger(new (std::nothrow) pylog::JsonLinesLogger(std::move(owned), filter));
  if (logger == nullptr) {
    owned->release_references();
    return PyErr_NoMemory();
  }
  if (qlog::install(logger.get(), filter)) {
    g_sink.store(sink);
    (void)logger.release();
    register_close_at_exit();
  } else {
    sink->release_references();
    logger.reset();
    print_already_initialized();
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* py_log_init(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kKeywords[] = {"target", "level", nullptr};
  PyObject* target = nullptr;
  PyObject* level = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:log_init", const_cast<char**>(kKeywords), &target, &level))
    return nullptr;
  if (!PyUnicode_Check(level)) {
    PyErr_Format(PyExc_TypeError, "argument 'level': '%.200s' object is not an instance of 'str'",
                 Py_TYPE(level)->tp_name);
    return nullptr;
  }
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(level, &len);
  if (text == nullptr) {  // lone surrogates: not one of the level names
    PyErr_Clear();
    text = "";
    len = 0;
  }
  const qlog::Level filter = pylog::parse_level_filter(std::string_view(text, static_cast<std::size_t>(len)));
  if (PyUnicode_Check(target)) return install_file_logger(target, filter);
  return install_writer_logger(target, filter);
}
