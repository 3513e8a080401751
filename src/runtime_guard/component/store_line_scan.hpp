#pragma once
#include "store_lines/shared.hpp"
