// Catching exceptions as `except` does, and scopes that put back what they change: the error
// indicator, the exception being handled, the collector, a lock held with `with`, the GIL.
#pragma once

#include "capi/call.hpp"

namespace rg {
struct Pinned {  // a scope guard: neither copied nor moved
  Pinned() = default;
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
};
// `except Exception as e`: an error that derives from Exception is taken (normalized,
// traceback attached) and cleared; any other (KeyboardInterrupt, SystemExit) stays set, empty.
// catch_any takes any, for a worker that hands it to the thread that waits for it.
Ref catch_ordinary();
Ref catch_any();
inline bool swallow_ordinary() { return bool(catch_ordinary()); }
// Saves the error indicator for a cleanup step's scope and restores it afterwards.
struct ErrorStash : Pinned {
  PyObject *type, *value, *traceback;
  ErrorStash() { PyErr_Fetch(&type, &value, &traceback); }
  ~ErrorStash() { PyErr_Restore(type, value, traceback); }
};
// Makes `exc` the exception being handled (sys.exc_info()) for a scope, as in an `except` block.
// The getter may report an outer slot's exception (a generator's caller handling one); putting
// that back into the running slot would leave it there for good, so that slot is probed first.
struct Handling : Pinned {
  PyObject* const previous = PyErr_GetHandledException();
  bool own;  // the running slot itself held `previous`
  explicit Handling(PyObject* exc) {
    PyErr_SetHandledException(nullptr);
    PyObject* below = PyErr_GetHandledException();
    own = below != previous;
    Py_XDECREF(below);
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    PyErr_SetHandledException(own ? previous : nullptr);
    Py_XDECREF(previous);
  }
};
// Keeps the cyclic collector (and so finalizers, arbitrary code) from running on this thread
// for a short scope that keeps the GIL throughout.
struct GcPause : Pinned {
  const int was_enabled = PyGC_Disable();
  ~GcPause() {
    if (was_enabled) PyGC_Enable();
  }
};
// A signal handler or a finalizer runs on the thread it interrupts: should it come back for a
// plain lock that thread holds through with_lock further up, it would wait for itself.
bool held_by_this_thread(PyObject* lock);
// with lock: body()   (body returns 0, or -1 with the error set), __enter__ and __exit__ looked
// up on the type; 0 also when __exit__ suppressed the body's exception, as in Python. Fails when
// this thread holds the lock through with_lock already.
Ref enter_lock(PyObject* lock);
int exit_lock(Ref exit, bool failed);
template <class Body>
int with_lock(PyObject* lock, Body&& body) {
  Ref exit = enter_lock(lock);
  if (!exit) return -1;
  return exit_lock(std::move(exit), body() < 0);
}
// Releases the GIL for a scope of OS work that touches no Python object.
struct GilRelease : Pinned {
  PyThreadState* const state = PyEval_SaveThread();
  ~GilRelease() { PyEval_RestoreThread(state); }
};
}  // namespace rg
