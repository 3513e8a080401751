#pragma once
#include "capi/native.hpp"
