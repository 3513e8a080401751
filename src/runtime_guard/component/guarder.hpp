// The component class RuntimeGuarder, a subclass of the host's ApplicationComponent.
#pragma once

#include "py.hpp"

namespace rg {

// Builds the class by calling the base's metaclass, so whatever metaclass the host uses
// (ABCMeta, say) is the class's metaclass too. `ns` holds the methods in definition order.
Ref build_guarder_class(PyObject* ns);

}  // namespace rg
