// Whether native lines may stand in for the module's late-bound json: only when that is the
// interpreter's own json, untouched where the store's calls go through it. A host (or its
// tests) that replaced json, json.dumps, json.loads, the encoder class or the default
// decoder's hooks gets its replacement called, as Python code would.
#include "capi/values.hpp"
#include "store_lines/codec.hpp"

namespace rg::store_lines {

namespace {

// getattr(owner, name) passed to `test`; a missing attribute is kNo.
template <class Test>
Answer attr_passes(PyObject* owner, PyObject* name, Test test) {
  Ref value;
  const Answer found = answer(optional_attr(owner, name, value));
  return found == Answer::kYes ? test(value.get()) : found;
}

// Each named attribute of `owner` is a Python function defined in the module named `module`.
Answer all_defined_in(PyObject* owner, std::initializer_list<PyObject*> names, const char* module) {
  Answer ok = Answer::kYes;
  for (auto name = names.begin(); ok == Answer::kYes && name != names.end(); ++name) {
    ok = attr_passes(owner, *name, [module](PyObject* fn) {
      if (!PyFunction_Check(fn)) return Answer::kNo;
      PyObject* in = PyDict_GetItemWithError(PyFunction_GetGlobals(fn), S("__name__"));
      if (!in) return PyErr_Occurred() ? Answer::kFailed : Answer::kNo;
      return answer(PyUnicode_Check(in) && PyUnicode_CompareWithASCIIString(in, module) == 0);
    });
  }
  return ok;
}

// The default decoder reads with json's own hooks: plain dicts, int for integers, strict text.
Answer default_decoder(PyObject* decoder) {
  Answer ok = all_defined_in(reinterpret_cast<PyObject*>(Py_TYPE(decoder)),
                             {S("__init__"), S("decode"), S("raw_decode")}, "json.decoder");
  const std::pair<PyObject*, PyObject*> expected[] = {
      {S("object_hook"), Py_None}, {S("object_pairs_hook"), Py_None},
      {S("parse_int"), reinterpret_cast<PyObject*>(&PyLong_Type)}, {S("strict"), Py_True}};
  for (auto [name, value] : expected) {
    if (ok == Answer::kYes)
      ok = attr_passes(decoder, name, [value](PyObject* found) { return answer(found == value); });
  }
  return ok;
}

}  // namespace

Answer json_is_standard(PyObject* json) {
  if (!PyModule_Check(json)) return Answer::kNo;
  const Ref name = steal(PyModule_GetNameObject(json));
  if (!name) return Answer::kFailed;
  if (PyUnicode_CompareWithASCIIString(name.get(), "json") != 0) return Answer::kNo;
  Answer ok = all_defined_in(json, {S("dumps"), S("loads")}, "json");
  if (ok == Answer::kYes) {
    ok = attr_passes(json, S("JSONEncoder"), [](PyObject* encoder) {
      return PyType_Check(encoder) ? all_defined_in(encoder, {S("__init__"), S("encode"),
                                                              S("iterencode")}, "json.encoder")
                                   : Answer::kNo;
    });
  }
  return ok == Answer::kYes ? attr_passes(json, S("_default_decoder"), default_decoder) : ok;
}

}  // namespace rg::store_lines
