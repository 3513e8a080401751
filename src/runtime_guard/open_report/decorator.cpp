// `runtimeguard(name=None)`: a decorator that sends an open report before every call of a
// function, or every instantiation of a class, then runs the body unchanged. The wrapper
// (wrapper.cpp) is a real function dressed by the running interpreter's `functools.wraps`, so it
// is what the nested def would be, attribute for attribute.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "open_report/wrapper.hpp"

namespace rg {

namespace {

// @functools.wraps(wrapped) over a fresh wrapper: what the decorator returns is what binds.
Ref dressed(PyObject* wrapped, PyObject* label, bool init) {
  RG_LET(functools, G("functools"));
  RG_LET(wraps, call_method(functools, S("wraps"), wrapped));
  RG_LET(wrapper, make_guarded(wrapped, label, init));
  return call(wraps, wrapper);
}

// A wrapper of an `async def` still returns a coroutine, so frameworks that ask whether it is a
// coroutine function (to await it, or to refuse it) must hear yes. From 3.12 the public marker,
// inspect.markcoroutinefunction, answers both inspect's and asyncio's question; 3.11's asyncio
// reads its own marker attribute, imported only for a coroutine function, so a host that never
// uses asyncio never loads it.
int mark_coroutine_function(PyObject* wrapped, PyObject* wrapper) {
  RG_LET(inspect, G("inspect"));
  RG_LET(is_coroutine, call_method(inspect, S("iscoroutinefunction"), wrapped));
  RG_TRUTH(coroutine, is_coroutine.get());
  if (!coroutine) return 0;
#if PY_VERSION_HEX >= 0x030C0000
  RG_CHECK(call_method(inspect, S("markcoroutinefunction"), wrapper));
  return 0;
#else
  Ref marker = import_from("asyncio.coroutines", S("_is_coroutine"));
  if (!marker) return catch_ordinary() ? 0 : -1;  // no asyncio: nothing could ask
  return PyObject_SetAttr(wrapper, S("_is_coroutine"), marker.get());
#endif
}

// The label, fixed once: the factory's name, else the qualified name, else the bare name.
Ref label_for(PyObject* name, PyObject* fn) {
  RG_TRUTH(named, name);
  if (named) return call(G("_clip_feature"), name);
  RG_LET(qualname, attr_or(fn, S("__qualname__"), Py_None));
  RG_TRUTH(has_qualname, qualname.get());
  RG_LET(text, has_qualname ? std::move(qualname) : attr_or(fn, S("__name__"), S("unknown")));
  return call(G("_clip_feature"), text);
}

// _decorate(fn): a class gets a reporting __init__ and is returned itself; any other
// callable is returned wrapped.
PyObject* decorate(PyObject* name, PyObject* const* args) {
  PyObject* fn = args[0];
  RG_LET(label, label_for(name, fn));
  RG_LET(inspect, G("inspect"));
  RG_LET(isclass, call_method(inspect, S("isclass"), fn));
  RG_TRUTH(is_class, isclass.get());
  if (!is_class) {
    RG_LET(wrapper, dressed(fn, label.get(), false));
    RG_CHECK_OK(mark_coroutine_function(fn, wrapper.get()));
    return wrapper.release();
  }
  RG_LET(original_init, attr(fn, S("__init__")));
  RG_LET(init, dressed(original_init.get(), label.get(), true));
  RG_CHECK_OK(PyObject_SetAttr(fn, S("__init__"), init.get()));
  return Py_NewRef(fn);
}

}  // namespace

RG_DEF(Function, 20, runtimeguard, "runtimeguard(name=None)",
       "Decorator factory: send an open report on every call or instantiation.\n"
       "\n"
       "``name`` is the feature label; it defaults to the wrapped callable's qualified name,\n"
       "or the class name. Use ``@runtimeguard()`` on a function and\n"
       "``@runtimeguard(\"Segmentation\")`` on a class: each call of the function, or each\n"
       "instantiation of the class, reports first, then runs the body unchanged. Bare\n"
       "``@runtimeguard`` works as ``@runtimeguard()``.")
Ref runtimeguard(PyObject* name) {
  // Bare @runtimeguard: the function or class came where the label goes. Decorate it as
  // @runtimeguard() would, rather than hand back a decorator in its place.
  if (!PyUnicode_Check(name) && PyCallable_Check(name)) {
    PyObject* fn[] = {name};
    return steal(decorate(Py_None, fn));
  }
  return make_closure("runtimeguard.<locals>._decorate", "fn", decorate, name);
}

}  // namespace rg
