#pragma once
#include "helpers/constants.hpp"
