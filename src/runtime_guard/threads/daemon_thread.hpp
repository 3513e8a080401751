#pragma once
#include "threads/threads.hpp"
