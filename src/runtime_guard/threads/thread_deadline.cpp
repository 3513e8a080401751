#include "threads/threads.hpp"

#include <cmath>

namespace rg {

namespace {

constexpr double kLongestWait = 1e9;  // below threading.TIMEOUT_MAX

// A number's seconds, or -1 when it is not a usable number. Clears any error.
double number_seconds(PyObject* value) {
  if (!PyNumber_Check(value) || PyComplex_Check(value)) return -1;
  const double s = PyFloat_AsDouble(value);
  if (s == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return -1;
  }
  if (std::isnan(s)) return -1;
  return std::clamp(s, 0.0, kLongestWait);
}

// A (connect, read) pair's summed seconds, or -1. Both items are held first: a number's
// __float__ may change a list.
template <class Pair>
double pair_seconds(const Pair& pair) {
  if (!pair || pair.size() != 2) return -1;
  const Ref connect = borrow(pair.at(0)), read = borrow(pair.at(1));
  const double a = number_seconds(connect.get()), b = number_seconds(read.get());
  return a >= 0 && b >= 0 ? a + b : -1;
}

}  // namespace

double timeout_seconds(PyObject* timeout, double fallback) {
  double s = number_seconds(timeout);
  if (s < 0) s = pair_seconds(Tuple::probe(timeout));
  if (s < 0) s = pair_seconds(List::probe(timeout));
  return s >= 0 ? s : fallback;
}

}  // namespace rg
