#pragma once
#include "guarder/store.hpp"
