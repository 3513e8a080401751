// Timestamps, the local time-zone label and durations.
#pragma once

#include "capi/py.hpp"

namespace rg {

// datetime.now(UTC).isoformat(timespec="seconds")
Ref utcnow_iso();
// "+HH:MM", or "UTC" when the offset text is not five characters long.
Ref local_tz_offset();
// Whole seconds from started_at to ended_at, 0 when either is empty or not ISO 8601.
Ref duration_s(PyObject* started_at, PyObject* ended_at);

}  // namespace rg
