#include "capi/call.hpp"

namespace rg {
static InternedSlot* g_literals = nullptr;  // constant-initialized: usable in static init
void register_literal(InternedSlot* slot) {
  slot->next = g_literals;
  g_literals = slot;
}
int intern_literals() {
  for (InternedSlot* s = g_literals; s; s = s->next) {
    if (!s->value) s->value = PyUnicode_InternFromString(s->text);  // kept for the process
    if (!s->value) return -1;
  }
  return 0;
}
Ref null_argument() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "runtime_guard: null argument");
  return {};
}
Ref call_kw(PyObject* fn, Args positional, Kws keywords) {
  if (!fn || any_null(positional.begin(), positional.size())) return null_argument();
  Tuple names;
  if (keywords.size()) RG_CHECK(names = Tuple::fresh(PyTuple_New(Py_ssize_t(keywords.size()))));
  Py_ssize_t k = 0;
  for (const Kw& kw : keywords) {
    if (!kw.name || !kw.value) return null_argument();
    names.set(k++, borrow(kw.name));
  }
  // On the stack when small; the free slot in front is for the callee (ARGUMENTS_OFFSET).
  PyObject* small[8];
  const size_t n = positional.size() + keywords.size() + 1;
  PyObject** argv = n <= std::size(small) ? small : PyMem_New(PyObject*, n);
  if (!argv) return steal(PyErr_NoMemory());
  PyObject** next = std::copy(positional.begin(), positional.end(), argv + 1);
  for (const Kw& kw : keywords) *next++ = kw.value;
  Ref result = steal(PyObject_Vectorcall(
      fn, argv + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
  if (argv != small) PyMem_Free(argv);
  return result;
}
Ref dict_of(Kws items) {
  RG_LET(dict, steal(PyDict_New()));
  for (const Kw& item : items) {
    if (!item.name || !item.value) return null_argument();
    RG_CHECK_OK(PyDict_SetItem(dict.get(), item.name, item.value));
  }
  return dict;
}
Answer lookup_attr(PyObject* obj, PyObject* name, Ref& out) {
  out = attr(obj, name);
  if (out) return Answer::kYes;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed;
  PyErr_Clear();
  return Answer::kNo;
}
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
  Ref value;  // stays empty when the lookup failed
  return lookup_attr(obj, name, value) == Answer::kNo ? borrow(fallback) : std::move(value);
}
Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (!mapping || !key || !PyDict_CheckExact(mapping)) {
    return fallback ? call_method(mapping, S("get"), key, fallback)
                    : call_method(mapping, S("get"), key);
  }
  PyObject* value = PyDict_GetItemWithError(mapping, key);
  if (value || PyErr_Occurred()) return borrow(value);
  return borrow(fallback ? fallback : Py_None);
}
Ref head(PyObject* value, long long stop) {
  if (!value) return null_argument();
  RG_LET(end, integer(stop));
  RG_LET(slice, steal(PySlice_New(nullptr, end.get(), nullptr)));
  return steal(PyObject_GetItem(value, slice.get()));
}
int unpack_pair(PyObject* value, Ref& first, Ref& second) {
  Ref it = steal(PyObject_GetIter(value));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(value)->tp_iter &&
        !PySequence_Check(value)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(value)->tp_name);
    }
    return -1;
  }
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = steal(PyIter_Next(it.get()));
    if (items[i]) continue;
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    return -1;
  }
  if (Ref extra = steal(PyIter_Next(it.get())))
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (PyErr_Occurred()) return -1;
  first = std::move(items[0]);
  second = std::move(items[1]);
  return 0;
}
}  // namespace rg
