// Module initialisation: the module body runs once per process, and only the
// interpreter that first imported the module may use it.
#include "py_common.h"

#include "log_writer.h"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "py_quillmere",
    nullptr,
    // Not -1: a repeated import then calls PyInit_py_quillmere again (rather than
    // copying the module's dictionary), which hands back the one module object or
    // refuses a sub-interpreter.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef log_init_def = {"log_init", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_log_init)),
                            METH_VARARGS | METH_KEYWORDS, nullptr};

PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

// Appends `name` to __all__ (made on the first add), then sets the attribute.
// Steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(value);
      return false;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  const bool listed = text != nullptr && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (!listed) {
    Py_DECREF(value);
    return false;
  }
  const int set = PyObject_SetAttrString(module, name, value);
  Py_DECREF(value);
  return set == 0;
}

PyObject* type_ref(PyTypeObject* type) {
  Py_INCREF(type);
  return reinterpret_cast<PyObject*>(type);
}

bool module_body(PyObject* module) {
  if (!pyq::import_numpy() || !pyq::register_exit_hook()) return false;
  log_init_def.ml_doc = kLogInitDoc;
  if (!add(module, "__version__", PyUnicode_FromString(QUILLMERE_VERSION))) return false;
  if (!pyq::ready_quillmere_type() || !add(module, "Quillmere", type_ref(&pyq::QuillmereType))) return false;
  if (!pyq::ready_builder_type() || !add(module, "QuillmereBuilder", type_ref(&pyq::QuillmereBuilderType)))
    return false;
  PyObject* name = PyUnicode_FromString("py_quillmere");
  if (name == nullptr) return false;
  PyObject* log_init = PyCFunction_NewEx(&log_init_def, nullptr, name);
  Py_DECREF(name);
  return add(module, "log_init", log_init);
}

}  // namespace

PyMODINIT_FUNC PyInit_py_quillmere(void) {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id < 0) return nullptr;
  if (g_interpreter >= 0 && id != g_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "py_quillmere does not support being imported in sub-interpreters: "
                    "it can be imported only once per process, by one interpreter");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  g_interpreter = id;
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) return nullptr;
  const bool ok = pyq::guarded([&]() -> PyObject* { return module_body(module) ? Py_None : nullptr; }) != nullptr;
  if (!ok) {
    // No partial module; a later import tries again.
    Py_DECREF(module);
    g_interpreter = -1;
    return nullptr;
  }
  g_module = module;
  Py_INCREF(g_module);
  return module;
}
