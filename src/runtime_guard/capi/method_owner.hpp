// The `__self__` of RuntimeGuarder's methods. A builtin function reaches its module through
// its __self__ and takes its qualified name from the type of it; the owner carries the module
// the methods were made for (the scope their calls run in), the class they were defined in
// (what `super()` names, like the __class__ cell of a Python method), and a type whose
// qualified name is "RuntimeGuarder", so `RuntimeGuarder.initialize.__qualname__` reads
// "RuntimeGuarder.initialize" as it would in Python.
#pragma once

#include "capi/py.hpp"

namespace rg {

Ref new_method_owner(PyObject* module);
int set_owner_class(PyObject* owner, PyObject* cls);

// The module an entry point runs in: `owner` (a function's __self__) is the module itself or
// a method owner. Borrowed; null with SystemError set for anything else.
PyObject* owner_module(PyObject* owner);

// The class a method owner's methods were defined in, borrowed; null with SystemError set
// before the class exists.
PyObject* owner_class(PyObject* owner);

// The class the running method was defined in (what `super()` names in a method's body),
// borrowed; null with SystemError set outside a method.
PyObject* defining_class();

}  // namespace rg
