#include "capi/py.hpp"

namespace rg {

Ref null_argument() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "runtime_guard: null argument");
  return {};
}

PyObject* type_from_spec(PyType_Spec* type_spec) {
  PyObject* type = PyType_FromSpec(type_spec);
  if (!type && !PyErr_Occurred()) PyErr_NoMemory();
  return type;
}

Ref dict_of(std::initializer_list<Kw> items) {
  RG_LET(dict, steal(PyDict_New()));
  for (const Kw& item : items) {
    if (!item.name || !item.value) return null_argument();
    RG_CHECK_OK(PyDict_SetItem(dict.get(), item.name, item.value));
  }
  return dict;
}

Ref call_kw(PyObject* fn, std::initializer_list<PyObject*> positional,
            std::initializer_list<Kw> keywords) {
  const size_t np = positional.size(), nk = keywords.size();
  if (!fn) return null_argument();
  for (PyObject* a : positional)
    if (!a) return null_argument();
  for (const Kw& kw : keywords)
    if (!kw.name || !kw.value) return null_argument();
  PyObject* argv[16];
  if (np + nk + 1 > 16) {
    PyErr_SetString(PyExc_SystemError, "call_kw: too many arguments");
    return {};
  }
  size_t i = 1;
  for (PyObject* a : positional) argv[i++] = a;
  Ref names;
  if (nk) {
    names = steal(PyTuple_New(static_cast<Py_ssize_t>(nk)));
    if (!names) return {};
    Py_ssize_t k = 0;
    for (const Kw& kw : keywords) {
      Py_INCREF(kw.name);
      PyTuple_SET_ITEM(names.get(), k++, kw.name);
      argv[i++] = kw.value;
    }
  }
  return steal(PyObject_Vectorcall(fn, argv + 1, np | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

Ref catch_ordinary() {
  if (!PyErr_Occurred() || !PyErr_ExceptionMatches(PyExc_Exception)) return {};
  return catch_any();
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

// ---- interned literals ---------------------------------------------------------------------

namespace {
InternedSlot* g_literals = nullptr;  // constant-initialized: safe to use during static init
}  // namespace

void register_literal(InternedSlot* slot) {
  slot->next = g_literals;
  g_literals = slot;
}

int intern_literals() {
  for (InternedSlot* s = g_literals; s; s = s->next) {
    if (s->value) continue;
    s->value = PyUnicode_InternFromString(s->text);  // kept for the life of the process
    if (!s->value) return -1;
  }
  return 0;
}

// ---- the context-manager protocol ----------------------------------------------------------

namespace {

// The managers this thread entered through a LockGuard and has not left, innermost last.
// Guards nest strictly (a handler returns before the code it interrupted goes on), so a stack
// will do; one nested deeper than it holds goes unnoted.
struct HeldLocks {
  static constexpr int kCapacity = 16;
  PyObject* locks[kCapacity];
  int depth;
};

HeldLocks& held_locks() {
  static thread_local HeldLocks held{};
  return held;
}

void note_held(PyObject* lock) {
  HeldLocks& h = held_locks();
  if (h.depth < HeldLocks::kCapacity) h.locks[h.depth] = lock;
  ++h.depth;
}

void note_released() { --held_locks().depth; }

// type(obj).<name> bound to obj, as the interpreter looks up special methods; null with no
// error set when the type has none.
Ref lookup_special(PyObject* obj, const char* name) {
  Ref key = str(name);
  if (!key) return {};
  PyObject* descr = _PyType_Lookup(Py_TYPE(obj), key.get());
  if (!descr) return {};
  descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
  if (!get) return borrow(descr);
  return steal(get(descr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
}

}  // namespace

bool held_by_this_thread(PyObject* lock) {
  const HeldLocks& h = held_locks();
  for (int i = 0; i < h.depth && i < HeldLocks::kCapacity; ++i)
    if (h.locks[i] == lock) return true;
  return false;
}

LockGuard::LockGuard(PyObject* manager) {
  if (held_by_this_thread(manager)) {
    PyErr_SetString(PyExc_RuntimeError,
                    "runtime_guard: lock already held by this thread (re-entered from a signal "
                    "handler or a finalizer)");
    return;
  }
  Ref enter = lookup_special(manager, "__enter__");
  if (!enter) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                   Py_TYPE(manager)->tp_name);
    return;
  }
  Ref exit = lookup_special(manager, "__exit__");
  if (!exit) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError,
                   "'%.200s' object does not support the context manager protocol "
                   "(missed __exit__ method)",
                   Py_TYPE(manager)->tp_name);
    return;
  }
  if (!call(enter)) return;
  exit_ = std::move(exit);
  held_ = manager;
  note_held(manager);
}

int LockGuard::leave(bool failed, bool may_suppress) {
  if (!exit_) return failed ? -1 : 0;
  Ref exit = std::move(exit_);
  // Noted as released once __exit__ has run, whatever it did: a re-entry meanwhile is refused
  // rather than risking a wait on a lock not yet released.
  struct Unnote {
    PyObject*& held;
    ~Unnote() {
      if (held) note_released();
      held = nullptr;
    }
  } unnote{held_};
  if (!failed) return call(exit, Py_None, Py_None, Py_None) ? 0 : -1;

  // __exit__(type, value, traceback) while the exception is the one being handled, so an
  // exception raised by __exit__ gets it as its __context__, as in Python.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  Ref t = steal(type), v = steal(value), trace = steal(tb);
  Ref suppress;
  {
    Handling handling(v.get());
    suppress = call(exit, t, v, trace ? trace.get() : Py_None);
  }
  if (!suppress) return -1;  // __exit__ raised: its exception replaces ours
  int truth = PyObject_IsTrue(suppress.get());
  if (truth < 0) return -1;
  if (truth && may_suppress) return 0;
  PyErr_Restore(t.release(), v.release(), trace.release());
  return -1;
}

}  // namespace rg
