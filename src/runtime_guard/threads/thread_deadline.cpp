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

}  // namespace

double timeout_seconds(PyObject* timeout, double fallback) {
  double s = number_seconds(timeout);
  if (s >= 0) return s;
  if ((PyTuple_Check(timeout) || PyList_Check(timeout)) && PySequence_Fast_GET_SIZE(timeout) == 2) {
    double a = number_seconds(PySequence_Fast_GET_ITEM(timeout, 0));
    double b = number_seconds(PySequence_Fast_GET_ITEM(timeout, 1));
    if (a >= 0 && b >= 0) return a + b;
  }
  return fallback;
}

}  // namespace rg
