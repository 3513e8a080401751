#include "component/guarder.hpp"

#include "threads/fork_safety.hpp"
#include "capi/method_owner.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"

namespace rg {

namespace {

#define RG_CLASS_DOC "Record local open/close sessions and flush them to the usage endpoint."
constexpr const char* kClassDoc = RG_CLASS_DOC;
// The doc the class is created with: its text signature is what inspect reports for the class.
constexpr const char* kClassDocWithSignature = "RuntimeGuarder(app_context)\n--\n\n" RG_CLASS_DOC;

}  // namespace

namespace guarder {

RG_DEF(Method, init, "__init__(self, app_context)", "")
Ref init(PyObject* self, PyObject* app_context) {
  // super().__init__("runtime_guard", app_context), `super()` naming the defining class
  PyObject* cls = defining_class();
  RG_CHECK(cls);
  RG_LET(sup, call(reinterpret_cast<PyObject*>(&PySuper_Type), cls, self));
  RG_LET(name, str("runtime_guard"));
  RG_CHECK(call_method(sup, S("__init__"), name, app_context));

  RG_LET(deps, steal(Py_BuildValue("[s]", "config_manager")));
  RG_CHECK_OK(PyObject_SetAttr(self, S("dependencies"), deps.get()));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_enabled"), Py_True));
  RG_LET(threading, G("threading"));
  RG_LET(lock, call_method(threading, S("Lock")));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_lock"), lock.get()));
  RG_LET(sessions, steal(PyList_New(0)));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_sessions"), sessions.get()));
  RG_LET(empty, str(""));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_current_id"), empty.get()));
  RG_LET(flush_lock, call_method(threading, S("Lock")));
  RG_CHECK_OK(PyObject_SetAttr(self, S("_flush_lock"), flush_lock.get()));
  RG_CHECK_OK(track_for_fork(self));
  return none();
}
}  // namespace guarder

Ref build_guarder_class(PyObject* ns, const char* module_name) {
  RG_LET(base, G("ApplicationComponent"));
  RG_LET(modname, str(module_name));
  RG_LET(qualname, str("RuntimeGuarder"));
  RG_LET(doc, str(kClassDocWithSignature));
  RG_CHECK_OK(PyDict_SetItemString(ns, "__module__", modname.get()));
  RG_CHECK_OK(PyDict_SetItemString(ns, "__qualname__", qualname.get()));
  RG_CHECK_OK(PyDict_SetItemString(ns, "__doc__", doc.get()));
  RG_LET(bases, steal(PyTuple_Pack(1, base.get())));
  Ref meta = borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.get())));
  RG_LET(cls, call(meta, qualname, bases, ns));
  // The type keeps the signature (tp_doc); __doc__ reads as written.
  RG_LET(plain_doc, str(kClassDoc));
  RG_CHECK_OK(PyObject_SetAttr(cls.get(), S("__doc__"), plain_doc.get()));
  return cls;
}

}  // namespace rg
