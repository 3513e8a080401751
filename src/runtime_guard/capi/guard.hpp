// Scopes that guard something and put it back: the error being handled, the error indicator,
// the cyclic collector, a lock held with `with`, the GIL released. And catching exceptions as
// an `except` clause does.
#pragma once

#include "capi/call.hpp"

namespace rg {

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
class ErrorStash {
 public:
  ErrorStash() { PyErr_Fetch(&t_, &v_, &tb_); }
  ~ErrorStash() { PyErr_Restore(t_, v_, tb_); }
  ErrorStash(const ErrorStash&) = delete;
  ErrorStash& operator=(const ErrorStash&) = delete;

 private:
  PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// Makes `exc` the exception being handled (sys.exc_info()) for a scope, as inside an `except`
// block; the running frame's own slot is put back afterwards. The getter may report an outer
// slot's exception (a generator's caller handling one); putting that into the running slot
// would leave it there for good, so the running slot is probed first.
class Handling {
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
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  PyObject* previous_;
  bool own_ = true;
};

// Keeps the cyclic collector (and so finalizers, arbitrary code) from running on this thread
// for a short scope that keeps the GIL throughout.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// A signal handler or a finalizer runs on the thread it interrupts: should it come back for a
// plain lock that thread holds through a LockGuard further up, it would wait for itself.
bool held_by_this_thread(PyObject* lock);

// `with lock:` for a scope, through the context-manager protocol (__enter__/__exit__ looked up
// on the type). Check ok() after construction. Leaving on an error path passes the pending
// exception to __exit__; a C++ scope cannot resume after its error return, so the guard keeps
// the exception even when __exit__ returns true (with_lock honours that suppression).
// Entering a lock this thread holds through a LockGuard fails with RuntimeError.
class LockGuard {
 public:
  explicit LockGuard(PyObject* manager);
  ~LockGuard() { leave(PyErr_Occurred() != nullptr, false); }
  bool ok() const { return bool(exit_); }
  // Leaves the block early; false when __exit__ raised (or the pending error stays set).
  bool unlock() { return leave(PyErr_Occurred() != nullptr, false) == 0; }
  // Leaves the block, `failed` when an exception is pending: 0 when the block completed or
  // (with may_suppress) __exit__ suppressed its exception, which is then cleared.
  int leave(bool failed, bool may_suppress);
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  Ref exit_;
  PyObject* held_ = nullptr;  // the manager, while this guard is noted as holding it
};

// with lock: body()   (body returns 0, or -1 with the error set). 0 when the block completed
// or __exit__ suppressed its exception (execution goes on after the block, as in Python).
template <class Body>
int with_lock(PyObject* lock, Body&& body) {
  LockGuard held(lock);
  if (!held.ok()) return -1;
  const int result = body();
  return held.leave(result < 0, true);
}

// Releases the GIL for a scope of OS work that touches no Python object.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace rg
