// Scopes that guard something and put it back: the error being handled, the error indicator,
// the cyclic collector, a lock held with `with`, the GIL released. And catching exceptions as
// an `except` clause does.
#pragma once

#include "capi/call.hpp"

namespace rg {

// A scope guard: neither copied nor moved.
struct Pinned {
  Pinned() = default;
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;
};

// PyType_FromSpec, with a MemoryError where 3.11 returns null without one.
PyObject* type_from_spec(PyType_Spec* type_spec);

// `except Exception as e`: an error that derives from Exception is taken (normalized,
// traceback attached) and cleared; any other (KeyboardInterrupt, SystemExit) stays set, empty.
Ref catch_ordinary();
// Any exception: for a worker that hands what it raised to the thread that waits for it.
Ref catch_any();
// True when an ordinary exception was set; it is cleared.
inline bool swallow_ordinary() { return bool(catch_ordinary()); }

// Saves the error indicator for the scope of a cleanup step and restores it afterwards.
struct ErrorStash : Pinned {
  PyObject *type, *value, *traceback;
  ErrorStash() { PyErr_Fetch(&type, &value, &traceback); }
  ~ErrorStash() { PyErr_Restore(type, value, traceback); }
};

// Makes `exc` the exception being handled (sys.exc_info()) for a scope, as inside an `except`
// block; the running frame's own slot is put back afterwards. The getter may report an outer
// slot's exception (a generator's caller handling one); putting that into the running slot
// would leave it there for good, so the running slot is probed first.
class Handling : Pinned {
 public:
  explicit Handling(PyObject* exc) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(nullptr);
    PyObject* below = PyErr_GetHandledException();
    own_ = below != previous_;  // the running slot itself held `previous_`
    Py_XDECREF(below);
    PyErr_SetHandledException(exc);
  }
  ~Handling() {
    PyErr_SetHandledException(own_ ? previous_ : nullptr);
    Py_XDECREF(previous_);
  }

 private:
  PyObject* previous_;
  bool own_ = true;
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

// `with lock:` in two steps, the context-manager protocol looked up on the type. enter_lock
// returns the bound __exit__ (empty, error set, when __enter__ fails or the lock is held by
// this thread through with_lock already). exit_lock leaves the block, `failed` when the body
// raised: 0 when it completed or __exit__ suppressed its exception (then cleared).
Ref enter_lock(PyObject* lock);
int exit_lock(Ref exit, bool failed);

// with lock: body()   (body returns 0, or -1 with the error set); execution goes on after
// the block when __exit__ suppresses the body's exception, as in Python.
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
