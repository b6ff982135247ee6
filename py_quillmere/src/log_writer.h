// `log_init(target, level)` and the JSON-lines logger over a log file or a Python writer object.
//
// Lock rules the rest of the module must keep:
//  - A record bound for a writer object takes the interpreter lock on the thread that logs it,
//    then the writer mutex, and it never waits for the writer mutex while holding the
//    interpreter lock. So a thread holding an index mutex with the interpreter lock released
//    may log; methods that hold the interpreter lock must release it while they wait for an
//    index mutex.
//  - While log_writer_active_on_this_thread() is true, this thread is inside the writer
//    object's `write` (and holds the writer mutex, possibly also an index mutex further up
//    its stack). Index methods must refuse to run then: waiting for an index mutex there can
//    deadlock against a thread that holds that mutex and waits for the writer mutex.
//  - Records bound for a writer object are dropped once the interpreter starts shutting down
//    (an atexit hook closes the writer and waits for writes in flight), so daemon threads
//    never try to take the interpreter lock during finalisation from here.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

// log_init(target, level) -> None; register with METH_VARARGS | METH_KEYWORDS.
PyObject* py_log_init(PyObject* self, PyObject* args, PyObject* kwargs);

// "log_init(target, level)\n--\n\n"
extern const char* const kLogInitDoc;

// True while this thread runs inside the log writer (see the lock rules above).
bool log_writer_active_on_this_thread() noexcept;
