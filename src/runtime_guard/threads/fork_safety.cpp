#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "threads/threads.hpp"

namespace rg {

namespace {

// The components to reset in a child: a weakref.WeakSet in the module dict, created with the
// hook, so its presence says the hook is registered.
constexpr const char* kLiveComponents = "_live_components";

// owner.<name> = threading.Lock(), or the module global when `owner` is null.
int reset_lock(PyObject* owner, PyObject* name) {
  RG_LET(threading, G("threading"));
  RG_LET(lock, call_method(threading, S("Lock")));
  return owner ? PyObject_SetAttr(owner, name, lock.get()) : set_global(name, lock.get());
}

// The light-thread registry keeps only threads alive in the child (threading has already
// marked the parent's other threads stopped: its own hook was registered before this one).
int reset_light_threads() {
  RG_LET(old, G("_light_threads"));
  RG_LET(alive, steal(PySet_New(nullptr)));
  RG_LET(iter, steal(PyObject_GetIter(old.get())));
  while (Ref thread = steal(PyIter_Next(iter.get()))) {
    RG_LET(is_alive, call_method(thread, S("is_alive")));
    RG_TRUTH(on, is_alive.get());
    if (on && PySet_Add(alive.get(), thread.get()) < 0) return -1;
  }
  if (PyErr_Occurred()) return -1;
  return set_global(S("_light_threads"), alive.get());
}

int reset_after_fork() {
  if (reset_lock(nullptr, S("_auth_ready_lock")) < 0 ||
      reset_lock(nullptr, S("_light_threads_lock")) < 0 || reset_light_threads() < 0)
    return -1;
  RG_LET(live, G(kLiveComponents));
  RG_LET(iter, steal(PyObject_GetIter(live.get())));
  while (Ref component = steal(PyIter_Next(iter.get()))) {
    RG_CHECK_OK(reset_lock(component.get(), S("_lock")));
    RG_CHECK_OK(reset_lock(component.get(), S("_flush_lock")));
  }
  return PyErr_Occurred() ? -1 : 0;
}

// _after_fork_in_child(): a failure is logged, never raised into the child.
PyObject* after_fork_in_child(PyObject*, PyObject* const*) {
  if (reset_after_fork() < 0) {
    Ref exc = catch_ordinary();
    RG_CHECK(exc);
    RG_CHECK(log_exc_at(S("debug"), "runtime_guard: lock reset after fork failed", exc.get()));
  }
  Py_RETURN_NONE;
}

}  // namespace

int ensure_fork_hook() {
  PyObject* dict = PyModule_GetDict(module());
  RG_LET(key, str(kLiveComponents));
  const int present = PyDict_Contains(dict, key.get());
  if (present != 0) return present < 0 ? -1 : 0;
  RG_LET(weakref, import("weakref"));
  RG_LET(live, call_method(weakref, S("WeakSet")));
  RG_CHECK_OK(PyDict_SetItem(dict, key.get(), live.get()));
  RG_LET(hook, make_closure("_after_fork_in_child", nullptr, after_fork_in_child, Py_None));
  RG_LET(os, G("os"));
  // Windows has no fork and no os.register_at_fork: nothing to reset there.
  Ref register_at_fork;
  const Answer has_fork = lookup_attr(os.get(), S("register_at_fork"), register_at_fork);
  if (has_fork != Answer::kYes) return has_fork == Answer::kFailed ? -1 : 0;
  RG_CHECK(call_kw(register_at_fork, {}, {{S("after_in_child"), hook.get()}}));
  return 0;
}

int track_for_fork(PyObject* component) {
  RG_CHECK_OK(ensure_fork_hook());
  RG_LET(live, G(kLiveComponents));
  RG_CHECK(call_method(live, S("add"), component));
  return 0;
}

}  // namespace rg
