// RuntimeGuarder, the component class: a subclass of the host's ApplicationComponent whose
// members are declared in this folder, one file per concern (class.cpp: the class and its
// small members; lifecycle, flush, the store).
#pragma once

#include "capi/py.hpp"

namespace rg {

// The class statement: the members in definition order, the class made by calling the base's
// metaclass, so whatever metaclass the host uses (ABCMeta, say) is the class's metaclass too.
Ref guarder_class(PyObject* module, const char* module_name);

// Whether uploads are allowed right now: the component's setting (`self._enabled`), then the
// environment switches (`_telemetry_on()`).
Answer uploads_allowed(PyObject* self);

}  // namespace rg
