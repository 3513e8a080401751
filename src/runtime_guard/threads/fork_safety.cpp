#include "threads/fork_safety.hpp"

#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// The components to reset in a child: a weakref.WeakSet in the module dict, created with the
// hook, so its presence says the hook is registered.
constexpr const char* kLiveComponents = "_live_components";

Ref fresh_lock() {
  RG_LET(threading, G("threading"));
  return call_method(threading, S("Lock"));
}

int reset_lock(PyObject* owner, PyObject* name) {
  RG_LET(lock, fresh_lock());
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
    int on = PyObject_IsTrue(is_alive.get());
    if (on < 0 || (on && PySet_Add(alive.get(), thread.get()) < 0)) return -1;
  }
  if (PyErr_Occurred()) return -1;
  return set_global(S("_light_threads"), alive.get());
}

int reset_after_fork() {
  if (reset_lock(nullptr, S("_auth_ready_lock")) < 0 ||
      reset_lock(nullptr, S("_light_threads_lock")) < 0 || reset_light_threads() < 0)
    return -1;
  RG_LET(live, G(kLiveComponents));
  RG_LET(components, steal(PySequence_List(live.get())));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(components.get()); ++i) {
    PyObject* component = PyList_GET_ITEM(components.get(), i);
    if (reset_lock(component, S("_lock")) < 0 || reset_lock(component, S("_flush_lock")) < 0)
      return -1;
  }
  return 0;
}

// The hook itself; bound to the module it was registered for.
PyObject* after_fork_in_child(PyObject* module, PyObject*) {
  ModuleScope scope(module);
  if (reset_after_fork() < 0) {
    Ref exc = catch_ordinary();
    if (!exc) return nullptr;
    RG_CHECK(log_exc_at(S("debug"), "runtime_guard: lock reset after fork failed", exc.get()));
  }
  Py_RETURN_NONE;
}
PyMethodDef g_after_fork_def = {"_after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr};

}  // namespace

int ensure_fork_hook() {
  PyObject* dict = PyModule_GetDict(module());
  RG_LET(key, str(kLiveComponents));
  int present = PyDict_Contains(dict, key.get());
  if (present != 0) return present < 0 ? -1 : 0;
  RG_LET(weakref, import("weakref"));
  RG_LET(live, call_method(weakref, S("WeakSet")));
  if (PyDict_SetItem(dict, key.get(), live.get()) < 0) return -1;
  RG_LET(hook, steal(PyCFunction_New(&g_after_fork_def, module())));
  RG_LET(os, G("os"));
  // Windows has no fork and no os.register_at_fork: nothing to reset there.
  Ref register_at_fork;
  int has_fork = optional_attr(os.get(), S("register_at_fork"), register_at_fork);
  if (has_fork <= 0) return has_fork;
  RG_CHECK(call_kw(register_at_fork, {}, {{S("after_in_child"), hook.get()}}));
  return 0;
}

int track_for_fork(PyObject* component) {
  if (ensure_fork_hook() < 0) return -1;
  RG_LET(live, G(kLiveComponents));
  RG_CHECK(call_method(live, S("add"), component));
  return 0;
}

}  // namespace rg
