#include "component/guarder.hpp"

#include "fork_safety.hpp"
#include "method_owner.hpp"
#include "module.hpp"
#include "registry.hpp"

namespace rg {

namespace {

#define RG_CLASS_DOC "Record local open/close sessions and flush them to the usage endpoint."
constexpr const char* kClassDoc = RG_CLASS_DOC;
// The doc the class is created with: its text signature is what inspect reports for the class.
constexpr const char* kClassDocWithSignature = "RuntimeGuarder(app_context)\n--\n\n" RG_CLASS_DOC;

// __init__(self, app_context)
PyObject* guarder_init(PyObject* owner, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const char* const names[] = {"self", "app_context"};
  PyObject* a[2];
  if (bind_required("RuntimeGuarder.__init__", names, 2, args, nargs, kwnames, a) < 0)
    return nullptr;
  PyObject *self = a[0], *app_context = a[1];
  // super().__init__("runtime_guard", app_context), `super()` naming the defining class
  PyObject* defining_class = owner_class(owner);
  if (!defining_class) return nullptr;
  RG_LET(sup, call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class, self));
  RG_LET(name, str("runtime_guard"));
  RG_CHECK(call_method(sup, S("__init__"), name, app_context));

  RG_LET(deps, steal(Py_BuildValue("[s]", "config_manager")));
  if (PyObject_SetAttr(self, S("dependencies"), deps.get()) < 0) return nullptr;
  if (PyObject_SetAttr(self, S("_enabled"), Py_True) < 0) return nullptr;
  RG_LET(threading, G("threading"));
  RG_LET(lock, call_method(threading, S("Lock")));
  if (PyObject_SetAttr(self, S("_lock"), lock.get()) < 0) return nullptr;
  RG_LET(sessions, steal(PyList_New(0)));
  if (PyObject_SetAttr(self, S("_sessions"), sessions.get()) < 0) return nullptr;
  RG_LET(empty, str(""));
  if (PyObject_SetAttr(self, S("_current_id"), empty.get()) < 0) return nullptr;
  RG_LET(flush_lock, call_method(threading, S("Lock")));
  if (PyObject_SetAttr(self, S("_flush_lock"), flush_lock.get()) < 0) return nullptr;
  if (track_for_fork(self) < 0) return nullptr;
  Py_RETURN_NONE;
}
RG_EXPORT(Method, "__init__", guarder_init, METH_FASTCALL | METH_KEYWORDS,
          "__init__(self, app_context)\n--\n\n");

}  // namespace

Ref build_guarder_class(PyObject* ns) {
  RG_LET(base, G("ApplicationComponent"));
  RG_LET(modname, str(kModuleName));
  RG_LET(qualname, str("RuntimeGuarder"));
  RG_LET(doc, str(kClassDocWithSignature));
  if (PyDict_SetItemString(ns, "__module__", modname.get()) < 0 ||
      PyDict_SetItemString(ns, "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns, "__doc__", doc.get()) < 0)
    return {};
  RG_LET(bases, steal(PyTuple_Pack(1, base.get())));
  Ref meta = borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
  RG_LET(cls, call(meta, qualname, bases, ns));
  // The type keeps the signature (tp_doc); __doc__ reads as written.
  RG_LET(plain_doc, str(kClassDoc));
  if (PyObject_SetAttr(cls.get(), S("__doc__"), plain_doc.get()) < 0) return {};
  return cls;
}

}  // namespace rg
