#pragma once
#include "upload/usage.hpp"
