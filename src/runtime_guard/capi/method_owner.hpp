// The `__self__` of RuntimeGuarder's methods. It carries the module their calls run in, the
// class they were defined in (what `super()` names, like a Python method's __class__ cell),
// and a type whose qualified name is "RuntimeGuarder", from which a builtin takes its own:
// `RuntimeGuarder.initialize.__qualname__` reads "RuntimeGuarder.initialize" as in Python.
#pragma once

#include "capi/py.hpp"

namespace rg {

Ref new_method_owner(PyObject* module);
void set_owner_class(PyObject* owner, PyObject* cls);

// The module a builtin's __self__ (the module itself, or a method owner) stands for,
// borrowed; null with SystemError set for anything else.
PyObject* owner_module(PyObject* owner);

// The class the running method was defined in, borrowed; null with SystemError set outside
// a method or before the class exists.
PyObject* defining_class();

}  // namespace rg
