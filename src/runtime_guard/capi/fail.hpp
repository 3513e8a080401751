// Failures travel as in CPython (the build has no C++ exceptions): an empty Ref or null
// pointer, or -1, with the error indicator set. These propagate one out of a function.
#pragma once

#include <type_traits>

#include "capi/ref.hpp"

namespace rg {
// The answer to a question that can fail: instead of an int meaning 1/0/-1.
enum class Answer : signed char { kFailed = -1, kNo = 0, kYes = 1 };
// An API's 1/0/-1 (any positive value is yes).
inline Answer answer(int r) { return r < 0 ? Answer::kFailed : r ? Answer::kYes : Answer::kNo; }
// A failure return, whatever the function returns: an empty Ref or typed reference, a null
// pointer, -1 for a signed status or count, or Answer::kFailed.
struct Failed {
  template <class T>
    requires std::is_base_of_v<Ref, T>
  operator T() const { return T(); }
  template <class T>
  operator T*() const { return nullptr; }
  template <class T>
    requires(std::is_integral_v<T> && std::is_signed_v<T>)
  operator T() const { return -1; }
  operator Answer() const { return Answer::kFailed; }
};
inline constexpr Failed failed{};
//   RG_LET(x, expr);     Ref x = expr; return `failed` when it is empty
//   RG_CHECK(expr);      return `failed` when a Ref or pointer result is empty
//   RG_CHECK_OK(expr);   return `failed` when a status result is negative
//   RG_TRUTH(t, expr);   const int t = truth of expr (0 or 1); return `failed` when it raised
#define RG_LET(name, expr) \
  ::rg::Ref name = (expr); \
  if (!name) return ::rg::failed
#define RG_CHECK(expr)                \
  do {                                \
    if (!(expr)) return ::rg::failed; \
  } while (0)
#define RG_CHECK_OK(expr)                \
  do {                                   \
    if ((expr) < 0) return ::rg::failed; \
  } while (0)
#define RG_TRUTH(name, expr)                         \
  const int name = PyObject_IsTrue(::rg::raw(expr)); \
  if (name < 0) return ::rg::failed
}  // namespace rg
