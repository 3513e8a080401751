#include "capi/guard.hpp"

namespace rg {
Ref catch_ordinary() {
  return PyErr_ExceptionMatches(PyExc_Exception) ? catch_any() : Ref();  // false when none is set
}
Ref catch_any() {
  if (!PyErr_Occurred()) return {};
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return steal(v);
}
namespace {
// The managers this thread entered through with_lock and has not left, innermost last: guards
// nest strictly (a handler returns before the code it interrupted goes on); deeper goes unnoted.
constexpr int kMaxHeld = 16;
thread_local PyObject* t_held[kMaxHeld];  // trivially destructible: safe at exit
thread_local int t_depth = 0;
// type(obj).<name> bound to obj, as the interpreter looks up special methods; empty with no
// error set when the type has none.
Ref lookup_special(PyObject* obj, PyObject* name) {
  PyObject* descr = _PyType_Lookup(Py_TYPE(obj), name);
  if (!descr) return {};
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  if (!get) return borrow(descr);
  return steal(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}
}  // namespace
bool held_by_this_thread(PyObject* lock) {
  PyObject** end = t_held + std::min(t_depth, kMaxHeld);
  return std::find(t_held, end, lock) != end;
}
Ref enter_lock(PyObject* manager) {
  if (held_by_this_thread(manager)) {
    PyErr_SetString(PyExc_RuntimeError,
                    "runtime_guard: lock already held by this thread (re-entered from a signal "
                    "handler or a finalizer)");
    return {};
  }
  Ref enter = lookup_special(manager, S("__enter__"));
  Ref exit = enter ? lookup_special(manager, S("__exit__")) : Ref();
  if (!exit) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError,
                   "'%.200s' object does not support the context manager protocol%s",
                   Py_TYPE(manager)->tp_name, enter ? " (missed __exit__ method)" : "");
    return {};
  }
  RG_CHECK(call(enter));
  if (t_depth < kMaxHeld) t_held[t_depth] = manager;
  ++t_depth;
  return exit;
}
int exit_lock(Ref exit, bool failed) {
  // Noted as released once __exit__ has run, whatever it did: a re-entry meanwhile is refused
  // rather than risking a wait on a lock not yet released.
  struct Unnote {
    ~Unnote() { --t_depth; }
  } unnote;
  if (!failed) return call(exit, Py_None, Py_None, Py_None) ? 0 : -1;
  // __exit__(type, value, traceback) while the exception is the one being handled, so one
  // raised by __exit__ gets it as its __context__, as in Python.
  Ref v = catch_any();
  if (!v) return -1;
  Ref t = borrow(reinterpret_cast<PyObject*>(Py_TYPE(v.get())));
  Ref trace = steal(PyException_GetTraceback(v.get()));
  Ref suppress;
  {
    Handling handling(v.get());
    suppress = call(exit, t, v, trace ? trace.get() : Py_None);
  }
  if (!suppress) return -1;  // __exit__ raised: its exception replaces ours
  RG_TRUTH(suppressed, suppress);
  if (suppressed) return 0;
  PyErr_Restore(t.release(), v.release(), trace.release());
  return -1;
}
}  // namespace rg
