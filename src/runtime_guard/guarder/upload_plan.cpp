#include "guarder/upload_plan.hpp"

#include <cmath>

#include "capi/module_scope.hpp"
#include "upload/body_size.hpp"

namespace rg {

namespace {

Py_ssize_t upload_bound() {
  RG_LET(bound, G("_MAX_UPLOAD_BYTES"));
  const Py_ssize_t bytes = PyNumber_AsSsize_t(bound.get(), PyExc_OverflowError);
  if (bytes == -1 && PyErr_Occurred()) return -1;
  return bytes < 0 ? 0 : bytes;
}

}  // namespace

int UploadPlan::open(PyObject* body, PyObject* items, Py_ssize_t first) {
  RG_CHECK_OK(bound_ = upload_bound());
  RG_CHECK_OK(base_ = json_bytes(body));  // "[]" included: n items add their bytes and n-1 commas
  first_ = first;
  const Py_ssize_t n = PyList_GET_SIZE(items);
  RG_CHECK_OK(taken_.assign(static_cast<size_t>(n), 0));
  RG_CHECK_OK(sizes_.reserve(static_cast<size_t>(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_ssize_t size = json_bytes(PyList_GET_ITEM(items, i));
    RG_CHECK_OK(size);
    RG_CHECK_OK(sizes_.push_back(size));
    if (estimate(size, 1) > bound_) {
      taken_[static_cast<size_t>(i)] = 1;
      RG_CHECK_OK(too_large_.push_back(i));
    }
  }
  return 0;
}

Py_ssize_t UploadPlan::estimate(Py_ssize_t items_bytes, Py_ssize_t count) const {
  const Py_ssize_t plain = base_ + items_bytes + (count > 1 ? count - 1 : 0);
  return static_cast<Py_ssize_t>(std::ceil(static_cast<double>(envelope_bytes(plain)) * scale_));
}

int UploadPlan::choose(FallibleVector<Py_ssize_t>& batch) {
  const size_t n = sizes_.size();
  FallibleVector<char> in;
  RG_CHECK_OK(in.assign(n, 0));
  Py_ssize_t bytes = 0, count = 0;
  auto offer = [&](size_t i) {
    if (taken_[i] || in[i]) return;
    if (estimate(bytes + sizes_[i], count + 1) > bound_) return;
    in[i] = 1;
    bytes += sizes_[i];
    ++count;
  };
  if (first_ >= 0 && static_cast<size_t>(first_) < n) offer(static_cast<size_t>(first_));
  for (size_t i = 0; i < n; ++i) offer(i);
  RG_CHECK_OK(batch.assign(0, 0));
  for (size_t i = 0; i < n; ++i)
    if (in[i]) RG_CHECK_OK(batch.push_back(static_cast<Py_ssize_t>(i)));
  return 0;
}

int UploadPlan::check(const FallibleVector<Py_ssize_t>& batch, Py_ssize_t measured) {
  if (measured <= bound_) return 1;
  Py_ssize_t bytes = 0;
  for (Py_ssize_t i : batch) bytes += sizes_[static_cast<size_t>(i)];
  const Py_ssize_t expected = estimate(bytes, static_cast<Py_ssize_t>(batch.size()));
  scale_ *= static_cast<double>(measured) / static_cast<double>(expected > 0 ? expected : 1) * 1.01;
  return 0;
}

void UploadPlan::done(const FallibleVector<Py_ssize_t>& batch) {
  for (Py_ssize_t i : batch) taken_[static_cast<size_t>(i)] = 1;
}

bool UploadPlan::anything_left() const {
  for (size_t i = 0; i < taken_.size(); ++i)
    if (!taken_[i]) return true;
  return false;
}

Ref pick(PyObject* list, const FallibleVector<Py_ssize_t>& batch) {
  RG_LET(out, steal(PyList_New(static_cast<Py_ssize_t>(batch.size()))));
  for (size_t k = 0; k < batch.size(); ++k) {
    PyObject* item = PyList_GET_ITEM(list, batch[k]);
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), Py_NewRef(item));
  }
  return out;
}

}  // namespace rg
