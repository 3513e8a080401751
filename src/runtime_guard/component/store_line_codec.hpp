#pragma once
#include "store_lines/codec.hpp"
