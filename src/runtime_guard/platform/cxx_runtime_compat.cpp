// Linux: the module runs against libstdc++ from GCC 8 on (manylinux_2_28), which lacks the newer
// std::__throw_bad_array_new_length; CMake wraps that call (ld --wrap) to this older equivalent.
// Built without exceptions, both end the process alike: std::terminate on an uncaught bad_alloc.
#include <cstddef>  // defines __GLIBCXX__ when the library is libstdc++
#if defined(__linux__) && defined(__GLIBCXX__)
#include <bits/functexcept.h>

extern "C" [[noreturn]] void __wrap__ZSt28__throw_bad_array_new_lengthv() { std::__throw_bad_alloc(); }
#endif
