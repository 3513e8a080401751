#include "threads/daemon_thread.hpp"

#include "capi/module_scope.hpp"

namespace rg {

Ref daemon_thread(PyObject* target, PyObject* name, PyObject* kwargs) {
  RG_LET(threading, G("threading"));
  RG_LET(thread_cls, attr(threading, S("Thread")));
  if (kwargs)
    return call_kw(thread_cls, {},
                   {{S("target"), target}, {S("kwargs"), kwargs}, {S("name"), name}, {S("daemon"), Py_True}});
  return call_kw(thread_cls, {}, {{S("target"), target}, {S("name"), name}, {S("daemon"), Py_True}});
}

}  // namespace rg
