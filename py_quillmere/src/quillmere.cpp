// The Quillmere class: one index behind a mutex.
#include "log_writer.h"
#include "py_common.h"
#include "quillmere/index.h"

#include <pthread.h>

#include <functional>
#include <thread>
#include <unordered_set>

namespace pyq {

namespace {

struct IndexState {
  explicit IndexState(quillmere::Index i);
  ~IndexState();
  std::mutex mutex;
  quillmere::Index index;
  std::atomic<std::uint64_t> borrows{0};
  // The thread holding `mutex`: set just after taking it, cleared just before leaving it.
  std::atomic<std::thread::id> holder{};
  // Set in a forked child when another thread held `mutex` at the fork: that thread does not
  // exist in the child, so the mutex stays taken for good and the index may be half way
  // through its work. The child refuses the index instead of waiting forever.
  std::atomic<bool> lost_at_fork{false};
};

// Marks the calling thread as the holder of a state's mutex for its life.
class Holding {
 public:
  explicit Holding(IndexState& state) noexcept : state_(state) { state_.holder.store(std::this_thread::get_id()); }
  ~Holding() { state_.holder.store(std::thread::id{}); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;

 private:
  IndexState& state_;
};

// Every live index, for the fork handlers. Never destroyed: objects may be freed late in exit.
std::mutex g_live_mutex;
auto* const g_live = new std::unordered_set<IndexState*>();

IndexState::IndexState(quillmere::Index i) : index(std::move(i)) {
  std::lock_guard lock(g_live_mutex);
  g_live->insert(this);
}

IndexState::~IndexState() {
  std::lock_guard lock(g_live_mutex);
  g_live->erase(this);
}

void live_before_fork() { g_live_mutex.lock(); }
void live_after_fork_parent() { g_live_mutex.unlock(); }
void live_after_fork_child() {
  // Only the forking thread lives on; a mutex it holds itself (fork called from a log writer
  // or a signal handler inside index work) is left by that work as usual.
  for (IndexState* state : *g_live) {
    if (state->mutex.try_lock())
      state->mutex.unlock();
    else if (state->holder.load() != std::this_thread::get_id())
      state->lost_at_fork.store(true);
  }
  g_live_mutex.unlock();
}
[[maybe_unused]] const int g_live_atfork = pthread_atfork(live_before_fork, live_after_fork_parent, live_after_fork_child);

// Found by boxed_dealloc: a lost index is never freed, its mutex stays taken and its contents
// may be torn.
void free_state(IndexState* state) {
  if (!state->lost_at_fork.load()) delete state;
}

using QuillmereObject = Boxed<IndexState>;

QuillmereObject* checked_self(PyObject* self) {
  QuillmereObject* obj = checked_boxed<IndexState>(self, QuillmereType, "Quillmere");
  if (obj == nullptr) return nullptr;
  if (obj->state->lost_at_fork.load()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "this index was in use by another thread when the process forked: it cannot be used in the child");
    return nullptr;
  }
  // Inside a log writer's `write` this thread may already hold an index mutex
  // (its own or, through the writer's lock, another thread's): waiting for one
  // here could never end.
  if (log_writer_active_on_this_thread()) {
    PyErr_SetString(PyExc_RuntimeError, "Quillmere methods cannot be called from inside a log writer");
    return nullptr;
  }
  // The same for a signal handler run while this thread's index work polls for signals.
  if (signal_handlers_active_on_this_thread()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "Quillmere methods cannot be called from a signal handler that runs during an insert or delete");
    return nullptr;
  }
  return obj;
}

PyObject* from_u64(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* from_result(const quillmere::Result<std::uint64_t>& r) {
  if (!r) return raise_error(r.error());
  return from_u64(*r);
}

// ---- constructor ---------------------------------------------------------------

PyObject* quillmere_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind(args, kwargs, ":Quillmere")) return nullptr;
    quillmere::Result<quillmere::Index> index = quillmere::IndexBuilder::defaults().build();
    if (!index) return raise_error(index.error());
    return new_quillmere(std::move(*index));
  });
}

// ---- search, insert, delete: the core runs with the interpreter lock released ----

// Reads the search keywords into `params`, which holds the defaults; keys that are not
// texts and unknown keys are ignored.
bool read_search_keywords(PyObject* py_kwargs, quillmere::SearchParams& params) {
  if (py_kwargs == nullptr || py_kwargs == Py_None) return true;
  if (PyObject* budget = PyDict_GetItemString(py_kwargs, "n_candidates")) {
    PyObject* index = PyNumber_Index(budget);
    unsigned long long value = 0;
    if (index != nullptr) {
      value = PyLong_AsUnsignedLongLong(index);
      Py_DECREF(index);
    }
    if (index == nullptr || (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "n_candidates must be an integer");
      return false;
    }
    params.n_candidates = value;
  }
  if (PyObject* strategy = PyDict_GetItemString(py_kwargs, "search_strategy")) {
    if (!PyUnicode_Check(strategy)) {
      PyErr_SetString(PyExc_TypeError, "search_strategy must be a string");
      return false;
    }
    if (PyUnicode_CompareWithASCIIString(strategy, "model") == 0) {
      params.strategy = quillmere::SearchStrategy::model;
    } else if (PyUnicode_CompareWithASCIIString(strategy, "knn") == 0) {
      params.strategy = quillmere::SearchStrategy::knn;
    } else {
      PyErr_SetString(PyExc_ValueError, "Invalid search strategy");
      return false;
    }
  }
  return true;
}

PyObject* quillmere_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // `query` and `k` may come as keywords too; every other keyword is collected.
    PyObject* named = nullptr;
    PyObject* extra = nullptr;
    if (kwargs != nullptr) {
      named = PyDict_New();
      extra = PyDict_New();
      if (named == nullptr || extra == nullptr) {
        Py_XDECREF(named);
        Py_XDECREF(extra);
        return nullptr;
      }
      PyObject *key = nullptr, *value = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        const bool bound = PyUnicode_Check(key) && (PyUnicode_CompareWithASCIIString(key, "query") == 0 ||
                                                    PyUnicode_CompareWithASCIIString(key, "k") == 0);
        if (PyDict_SetItem(bound ? named : extra, key, value) < 0) {
          Py_DECREF(named);
          Py_DECREF(extra);
          return nullptr;
        }
      }
    }
    PyObject* query_arg = nullptr;
    PyObject* k_arg = nullptr;
    const bool bound = bind(args, named, "OO:search", "query", &query_arg, "k", &k_arg);
    Py_XDECREF(named);
    if (!bound) {
      Py_XDECREF(extra);
      return nullptr;
    }
    // `extra` owns the keyword values until the end of this call.
    struct Release {
      PyObject* o;
      ~Release() { Py_XDECREF(o); }
    } release{extra};

    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    // Fixed at construction, so it is read without the mutex.
    const std::uint64_t input_shape = obj->state->index.input_shape();
    std::vector<float> query;
    std::uint64_t query_length = 0;
    if (!to_vector(query_arg, "query", input_shape, query, query_length)) return nullptr;
    quillmere::SearchParams params;
    if (!to_size(k_arg, "k", params.k)) return nullptr;
    if (!read_search_keywords(extra, params)) return nullptr;
    if (query_length != input_shape) return raise_length_error("Query", query_length, input_shape);

    IndexState* state = obj->state;
    quillmere::Result<std::vector<std::uint32_t>> found = without_gil([&] {
      std::unique_lock lock(state->mutex);
      if (exit_begun()) park_for_exit(lock);
      Holding holding(*state);
      return state->index.search(query, params);
    });
    if (!found) return raise_error(found.error());
    return ids_to_array(std::move(*found));
  });
}

PyObject* quillmere_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* record_arg = nullptr;
    PyObject* id_arg = nullptr;
    if (!bind(args, kwargs, "OO:insert", "record", &record_arg, "id", &id_arg)) return nullptr;
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    const std::uint64_t input_shape = obj->state->index.input_shape();
    std::vector<float> record;
    std::uint64_t record_length = 0;
    if (!to_vector(record_arg, "record", input_shape, record, record_length)) return nullptr;
    std::uint32_t id = 0;
    if (!to_id(id_arg, "id", id)) return nullptr;
    if (record_length != input_shape) return raise_length_error("Record", record_length, input_shape);

    IndexState* state = obj->state;
    SignalInterrupt interrupt;
    quillmere::Result<void> done = without_gil([&] {
      std::unique_lock lock(state->mutex);
      if (exit_begun()) park_for_exit(lock);
      Holding holding(*state);
      quillmere::InterruptScope scope(interrupt);
      return state->index.insert(std::move(record), id);
    });
    if (!done) return raise_error(done.error(), &interrupt);
    Py_RETURN_NONE;
  });
}

PyObject* quillmere_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* id_arg = nullptr;
    if (!bind(args, kwargs, "O:delete", "id", &id_arg)) return nullptr;
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    std::uint32_t id = 0;
    if (!to_id(id_arg, "id", id)) return nullptr;

    IndexState* state = obj->state;
    SignalInterrupt interrupt;
    auto removed = without_gil([&] {
      std::unique_lock lock(state->mutex);
      if (exit_begun()) park_for_exit(lock);
      Holding holding(*state);
      quillmere::InterruptScope scope(interrupt);
      return state->index.remove(id);
    });
    if (!removed) return raise_error(removed.error(), &interrupt);
    if (!removed->has_value()) Py_RETURN_NONE;

    const std::vector<float>& values = (*removed)->record;
    const std::uint32_t removed_id = (*removed)->id;
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
      PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
      if (item == nullptr) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    PyObject* id_obj = PyLong_FromUnsignedLong(removed_id);
    if (id_obj == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
      Py_DECREF(list);
      Py_DECREF(id_obj);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, list);
    PyTuple_SET_ITEM(pair, 1, id_obj);
    return pair;
  });
}

// ---- methods that keep the interpreter lock ------------------------------------------

PyObject* quillmere_dump(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* dir_arg = nullptr;
    if (!bind(args, kwargs, "O:dump", "working_dir", &dir_arg)) return nullptr;
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    std::string dir;
    if (!to_path(dir_arg, "working_dir", dir)) return nullptr;
    GilSafeLock lock(obj->state->mutex);
    Holding holding(*obj->state);
    quillmere::Result<void> done = obj->state->index.dump(dir);
    if (!done) return raise_error(done.error());
    Py_RETURN_NONE;
  });
}

// A statistic without arguments; `read` is an Index member or takes the Index.
template <class Read>
PyObject* statistic(PyObject* self, Read read) {
  return guarded([&]() -> PyObject* {
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    GilSafeLock lock(obj->state->mutex);
    Holding holding(*obj->state);
    return from_u64(std::invoke(read, obj->state->index));
  });
}

// A statistic of one level; `read` is an Index member or takes the Index and the level.
template <class Read>
PyObject* level_statistic(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, Read read) {
  return guarded([&]() -> PyObject* {
    PyObject* level_arg = nullptr;
    if (!bind(args, kwargs, format, "level_idx", &level_arg)) return nullptr;
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    std::uint64_t level_idx = 0;
    if (!to_size(level_arg, "level_idx", level_idx)) return nullptr;
    GilSafeLock lock(obj->state->mutex);
    Holding holding(*obj->state);
    return from_result(std::invoke(read, obj->state->index, level_idx));
  });
}

PyObject* quillmere_n_buckets(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::n_buckets);
}
PyObject* quillmere_n_levels(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::n_levels);
}
PyObject* quillmere_occupied(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::occupied);
}
PyObject* quillmere_n_empty_buckets(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::n_empty_buckets);
}
PyObject* quillmere_buffer_occupied(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::buffer_occupied);
}
PyObject* quillmere_memory_usage(PyObject* self, PyObject*) {
  return statistic(self, &quillmere::Index::memory_usage);
}

PyObject* quillmere_level_occupied(PyObject* self, PyObject* args, PyObject* kwargs) {
  return level_statistic(self, args, kwargs, "O:level_occupied", &quillmere::Index::level_occupied);
}
PyObject* quillmere_level_n_buckets(PyObject* self, PyObject* args, PyObject* kwargs) {
  return level_statistic(self, args, kwargs, "O:level_n_buckets", &quillmere::Index::level_n_buckets);
}
PyObject* quillmere_level_total_size(PyObject* self, PyObject* args, PyObject* kwargs) {
  return level_statistic(self, args, kwargs, "O:level_total_size", &quillmere::Index::level_total_size);
}
PyObject* quillmere_level_n_empty_buckets(PyObject* self, PyObject* args, PyObject* kwargs) {
  return level_statistic(self, args, kwargs, "O:level_n_empty_buckets", &quillmere::Index::level_n_empty_buckets);
}

PyObject* quillmere_bucket_occupied(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* level_arg = nullptr;
    PyObject* bucket_arg = nullptr;
    if (!bind(args, kwargs, "OO:bucket_occupied", "level_idx", &level_arg, "bucket_idx", &bucket_arg))
      return nullptr;
    QuillmereObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    std::uint64_t level_idx = 0, bucket_idx = 0;
    if (!to_size(level_arg, "level_idx", level_idx)) return nullptr;
    if (!to_size(bucket_arg, "bucket_idx", bucket_idx)) return nullptr;
    GilSafeLock lock(obj->state->mutex);
    Holding holding(*obj->state);
    return from_result(obj->state->index.bucket_occupied(level_idx, bucket_idx));
  });
}

PyMethodDef quillmere_methods[] = {
    {"search", QM_KW(quillmere_search), METH_VARARGS | METH_KEYWORDS,
     "search($self, query, k, **py_kwargs)\n--\n\n"},
    {"insert", QM_KW(quillmere_insert), METH_VARARGS | METH_KEYWORDS, "insert($self, record, id)\n--\n\n"},
    {"delete", QM_KW(quillmere_delete), METH_VARARGS | METH_KEYWORDS, "delete($self, id)\n--\n\n"},
    {"n_buckets", quillmere_n_buckets, METH_NOARGS, "n_buckets($self)\n--\n\n"},
    {"n_levels", quillmere_n_levels, METH_NOARGS, "n_levels($self)\n--\n\n"},
    {"occupied", quillmere_occupied, METH_NOARGS, "occupied($self)\n--\n\n"},
    {"n_empty_buckets", quillmere_n_empty_buckets, METH_NOARGS, "n_empty_buckets($self)\n--\n\n"},
    {"dump", QM_KW(quillmere_dump), METH_VARARGS | METH_KEYWORDS, "dump($self, working_dir)\n--\n\n"},
    {"buffer_occupied", quillmere_buffer_occupied, METH_NOARGS, "buffer_occupied($self)\n--\n\n"},
    {"level_occupied", QM_KW(quillmere_level_occupied), METH_VARARGS | METH_KEYWORDS,
     "level_occupied($self, level_idx)\n--\n\n"},
    {"level_n_buckets", QM_KW(quillmere_level_n_buckets), METH_VARARGS | METH_KEYWORDS,
     "level_n_buckets($self, level_idx)\n--\n\n"},
    {"level_total_size", QM_KW(quillmere_level_total_size), METH_VARARGS | METH_KEYWORDS,
     "level_total_size($self, level_idx)\n--\n\n"},
    {"level_n_empty_buckets", QM_KW(quillmere_level_n_empty_buckets), METH_VARARGS | METH_KEYWORDS,
     "level_n_empty_buckets($self, level_idx)\n--\n\n"},
    {"bucket_occupied", QM_KW(quillmere_bucket_occupied), METH_VARARGS | METH_KEYWORDS,
     "bucket_occupied($self, level_idx, bucket_idx)\n--\n\n"},
    {"memory_usage", quillmere_memory_usage, METH_NOARGS, "memory_usage($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Filled in and readied on first use.
PyTypeObject QuillmereType{};

bool ready_quillmere_type() {
  return ready_boxed_type<IndexState>(QuillmereType, "py_quillmere.Quillmere", "Quillmere()\n--\n\n", quillmere_new,
                                      quillmere_methods);
}

PyObject* new_quillmere(quillmere::Index&& index) {
  if (!ready_quillmere_type()) return nullptr;
  return new_boxed<IndexState>(QuillmereType, std::move(index));
}

}  // namespace pyq
