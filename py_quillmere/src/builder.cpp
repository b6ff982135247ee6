// The QuillmereBuilder class: copy-on-set setters over one IndexBuilder.
#include <functional>
#include <optional>
#include <string_view>

#include "py_common.h"
#include "quillmere/index.h"
#include "quillmere/text_forms.h"

namespace pyq {

namespace {

struct BuilderState {
  explicit BuilderState(quillmere::IndexBuilder b) : builder(std::move(b)) {}
  std::mutex mutex;
  quillmere::IndexBuilder builder;  // never changed after construction
  std::atomic<std::uint64_t> borrows{0};
};

using BuilderObject = Boxed<BuilderState>;

BuilderObject* checked_self(PyObject* self) {
  return checked_boxed<BuilderState>(self, QuillmereBuilderType, "QuillmereBuilder");
}

// A deep copy of the held builder, taken under its mutex.
quillmere::IndexBuilder snapshot(BuilderObject* obj) {
  GilSafeLock lock(obj->state->mutex);
  return obj->state->builder;
}

// A setter taking one argument: `read` converts it (nullopt with a Python error
// set) and `set` stores the value into a copy of the held builder.
template <class Read, class Set>
PyObject* setter(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* param, Read read,
                 Set set) {
  return guarded([&]() -> PyObject* {
    PyObject* arg = nullptr;
    if (!bind(args, kwargs, format, param, &arg)) return nullptr;
    BuilderObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    auto value = read(arg, param);
    if (!value) return nullptr;
    quillmere::IndexBuilder copy = snapshot(obj);
    set(copy, std::move(*value));
    return new_builder(std::move(copy));
  });
}

// A setter taking one unsigned integer.
template <class Set>
PyObject* size_setter(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* param,
                      Set set) {
  auto read = [](PyObject* arg, const char* name) -> std::optional<std::uint64_t> {
    std::uint64_t value = 0;
    if (!to_size(arg, name, value)) return std::nullopt;
    return value;
  };
  return setter(self, args, kwargs, format, param, read, set);
}

// A setter taking the text form of one enumerated field; the text is checked
// before the builder is copied. `field` is a member pointer or a lambda
// returning a reference to the field.
template <class T, class Field>
PyObject* text_setter(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, const char* param,
                      quillmere::Result<T> (*parse)(std::string_view), Field field) {
  auto read = [parse](PyObject* arg, const char* name) -> std::optional<T> {
    std::string text;
    if (!to_text(arg, name, text)) return std::nullopt;
    quillmere::Result<T> value = parse(text);
    if (!value) {
      raise_error(value.error());
      return std::nullopt;
    }
    return std::move(*value);
  };
  auto set = [&field](quillmere::IndexBuilder& b, T value) { std::invoke(field, b) = std::move(value); };
  return setter(self, args, kwargs, format, param, read, set);
}

// ---- constructor and static methods -------------------------------------------

PyObject* builder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind(args, kwargs, ":QuillmereBuilder")) return nullptr;
    return new_builder(quillmere::IndexBuilder::defaults());
  });
}

template <class Load>
PyObject* load_builder(PyObject* args, PyObject* kwargs, const char* format, const char* param, Load load) {
  return guarded([&]() -> PyObject* {
    PyObject* arg = nullptr;
    if (!bind(args, kwargs, format, param, &arg)) return nullptr;
    std::string path;
    if (!to_path(arg, param, path)) return nullptr;
    quillmere::Result<quillmere::IndexBuilder> loaded = load(path);
    if (!loaded) return raise_error(loaded.error());
    return new_builder(std::move(*loaded));
  });
}

PyObject* builder_from_yaml(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_builder(args, kwargs, "O:from_yaml", "file",
                      [](const std::string& p) { return quillmere::IndexBuilder::from_yaml(p); });
}

PyObject* builder_from_disk(PyObject*, PyObject* args, PyObject* kwargs) {
  return load_builder(args, kwargs, "O:from_disk", "working_dir",
                      [](const std::string& p) { return quillmere::IndexBuilder::from_disk(p); });
}

// ---- setters -------------------------------------------------------------------

PyObject* builder_buffer_size(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:buffer_size", "size",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.buffer_size = v; });
}

PyObject* builder_bucket_size(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:bucket_size", "size",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.levels.bucket_size = v; });
}

PyObject* builder_arity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:arity", "arity",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.arity = v; });
}

PyObject* builder_input_shape(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:input_shape", "shape",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.input_shape = v; });
}

PyObject* builder_train_threshold_samples(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:train_threshold_samples", "samples",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) {
                       b.levels.model.train_params.threshold_samples = v;
                     });
}

PyObject* builder_train_batch_size(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:train_batch_size", "size",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.levels.model.train_params.batch_size = v; });
}

PyObject* builder_train_epochs(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:train_epochs", "epochs",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) { b.levels.model.train_params.epochs = v; });
}

PyObject* builder_linear_model_layer(PyObject* self, PyObject* args, PyObject* kwargs) {
  return size_setter(self, args, kwargs, "O:linear_model_layer", "hidden_neurons",
                     [](quillmere::IndexBuilder& b, std::uint64_t v) {
                       if (!b.custom_layers) b.custom_layers.emplace();
                       b.custom_layers->push_back(quillmere::ModelLayer::linear(v));
                     });
}

PyObject* builder_relu_layer(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    BuilderObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    quillmere::IndexBuilder copy = snapshot(obj);
    if (!copy.custom_layers) copy.custom_layers.emplace();
    copy.custom_layers->push_back(quillmere::ModelLayer::relu());
    return new_builder(std::move(copy));
  });
}

PyObject* builder_compaction_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return text_setter(self, args, kwargs, "O:compaction_strategy", "compaction", quillmere::parse_compaction_strategy,
                     &quillmere::IndexBuilder::compaction_strategy);
}

PyObject* builder_distance_fn(PyObject* self, PyObject* args, PyObject* kwargs) {
  return text_setter(self, args, kwargs, "O:distance_fn", "distance_fn", quillmere::parse_distance_fn,
                     &quillmere::IndexBuilder::distance_fn);
}

PyObject* builder_delete_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return text_setter(self, args, kwargs, "O:delete_method", "delete_method", quillmere::parse_delete_method,
                     &quillmere::IndexBuilder::delete_method);
}

PyObject* builder_retrain_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
  return text_setter(self, args, kwargs, "O:retrain_strategy", "strategy", quillmere::parse_retrain_strategy,
                     [](quillmere::IndexBuilder& b) -> quillmere::RetrainStrategy& {
                       return b.levels.model.train_params.retrain_strategy;
                     });
}

PyObject* builder_device(PyObject* self, PyObject* args, PyObject* kwargs) {
  return text_setter(self, args, kwargs, "O:device", "device", quillmere::parse_device,
                     &quillmere::IndexBuilder::device);
}

// ---- build ---------------------------------------------------------------------

PyObject* builder_build(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    BuilderObject* obj = checked_self(self);
    if (obj == nullptr) return nullptr;
    Borrow borrow(obj->state->borrows);
    const quillmere::IndexBuilder copy = snapshot(obj);
    SignalInterrupt interrupt;  // loading a large dump takes a while
    quillmere::InterruptScope scope(interrupt);
    quillmere::Result<quillmere::Index> index = copy.build();
    if (!index) return raise_error(index.error(), &interrupt);
    return new_quillmere(std::move(*index));
  });
}

PyMethodDef builder_methods[] = {
    {"from_yaml", QM_KW(builder_from_yaml), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_yaml(file)\n--\n\n"},
    {"from_disk", QM_KW(builder_from_disk), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_disk(working_dir)\n--\n\n"},
    {"buffer_size", QM_KW(builder_buffer_size), METH_VARARGS | METH_KEYWORDS, "buffer_size($self, size)\n--\n\n"},
    {"bucket_size", QM_KW(builder_bucket_size), METH_VARARGS | METH_KEYWORDS, "bucket_size($self, size)\n--\n\n"},
    {"arity", QM_KW(builder_arity), METH_VARARGS | METH_KEYWORDS, "arity($self, arity)\n--\n\n"},
    {"compaction_strategy", QM_KW(builder_compaction_strategy), METH_VARARGS | METH_KEYWORDS,
     "compaction_strategy($self, compaction)\n--\n\n"},
    {"distance_fn", QM_KW(builder_distance_fn), METH_VARARGS | METH_KEYWORDS,
     "distance_fn($self, distance_fn)\n--\n\n"},
    {"train_threshold_samples", QM_KW(builder_train_threshold_samples), METH_VARARGS | METH_KEYWORDS,
     "train_threshold_samples($self, samples)\n--\n\n"},
    {"linear_model_layer", QM_KW(builder_linear_model_layer), METH_VARARGS | METH_KEYWORDS,
     "linear_model_layer($self, hidden_neurons)\n--\n\n"},
    {"relu_layer", builder_relu_layer, METH_NOARGS, "relu_layer($self)\n--\n\n"},
    {"train_batch_size", QM_KW(builder_train_batch_size), METH_VARARGS | METH_KEYWORDS,
     "train_batch_size($self, size)\n--\n\n"},
    {"train_epochs", QM_KW(builder_train_epochs), METH_VARARGS | METH_KEYWORDS,
     "train_epochs($self, epochs)\n--\n\n"},
    {"retrain_strategy", QM_KW(builder_retrain_strategy), METH_VARARGS | METH_KEYWORDS,
     "retrain_strategy($self, strategy)\n--\n\n"},
    {"input_shape", QM_KW(builder_input_shape), METH_VARARGS | METH_KEYWORDS, "input_shape($self, shape)\n--\n\n"},
    {"device", QM_KW(builder_device), METH_VARARGS | METH_KEYWORDS, "device($self, device)\n--\n\n"},
    {"delete_method", QM_KW(builder_delete_method), METH_VARARGS | METH_KEYWORDS,
     "delete_method($self, delete_method)\n--\n\n"},
    {"build", builder_build, METH_NOARGS, "build($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// Filled in and readied on first use.
PyTypeObject QuillmereBuilderType{};

bool ready_builder_type() {
  return ready_boxed_type<BuilderState>(QuillmereBuilderType, "py_quillmere.QuillmereBuilder",
                                        "QuillmereBuilder()\n--\n\n", builder_new, builder_methods);
}

PyObject* new_builder(quillmere::IndexBuilder&& builder) {
  if (!ready_builder_type()) return nullptr;
  return new_boxed<BuilderState>(QuillmereBuilderType, std::move(builder));
}

}  // namespace pyq
