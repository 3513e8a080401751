// The ground floor in one include: references, failures, the buffer, calls and guards.
#pragma once

#include "capi/buffer.hpp"
#include "capi/call.hpp"
#include "capi/fail.hpp"
#include "capi/guard.hpp"
#include "capi/ref.hpp"
