// Whether native lines may stand in for the module's late-bound json: only when that is the
// interpreter's own json, untouched where the store's calls go through it. A host (or its
// tests) that replaced json, json.dumps, json.loads, the encoder class or the default
// decoder's hooks gets its replacement called, as Python code would.
#include "capi/call.hpp"
#include "store_lines/codec.hpp"

namespace rg::store_lines {

// Each named attribute of `owner` is a Python function defined in the module named `module`.
static Answer all_defined_in(PyObject* owner, std::initializer_list<PyObject*> names,
                             const char* module) {
  for (PyObject* name : names) {
    Ref fn;
    const Answer found = lookup_attr(owner, name, fn);
    if (found != Answer::kYes) return found;
    if (!PyFunction_Check(fn.get())) return Answer::kNo;
    PyObject* in = PyDict_GetItemWithError(PyFunction_GetGlobals(fn.get()), S("__name__"));
    if (!in) return PyErr_Occurred() ? Answer::kFailed : Answer::kNo;
    const bool there = PyUnicode_Check(in) && PyUnicode_CompareWithASCIIString(in, module) == 0;
    if (!there) return Answer::kNo;
  }
  return Answer::kYes;
}

Answer json_is_standard(PyObject* json) {
  if (!PyModule_Check(json)) return Answer::kNo;
  const Ref name = steal(PyModule_GetNameObject(json));
  if (!name) return Answer::kFailed;
  if (PyUnicode_CompareWithASCIIString(name.get(), "json") != 0) return Answer::kNo;
  Ref encoder, decoder;
  Answer ok = all_defined_in(json, {S("dumps"), S("loads")}, "json");
  if (ok == Answer::kYes) ok = lookup_attr(json, S("JSONEncoder"), encoder);
  if (ok == Answer::kYes && !PyType_Check(encoder.get())) ok = Answer::kNo;
  if (ok == Answer::kYes)
    ok = all_defined_in(encoder.get(), {S("__init__"), S("encode"), S("iterencode")},
                        "json.encoder");
  // The default decoder reads with json's own hooks: plain dicts, int for integers, strict text.
  if (ok == Answer::kYes) ok = lookup_attr(json, S("_default_decoder"), decoder);
  if (ok == Answer::kYes)
    ok = all_defined_in(reinterpret_cast<PyObject*>(Py_TYPE(decoder.get())),
                        {S("__init__"), S("decode"), S("raw_decode")}, "json.decoder");
  const std::pair<PyObject*, PyObject*> expected[] = {
      {S("object_hook"), Py_None}, {S("object_pairs_hook"), Py_None},
      {S("parse_int"), reinterpret_cast<PyObject*>(&PyLong_Type)}, {S("strict"), Py_True}};
  for (auto [hook, value] : expected) {
    Ref found;
    if (ok == Answer::kYes) ok = lookup_attr(decoder.get(), hook, found);
    if (ok == Answer::kYes && found.get() != value) ok = Answer::kNo;
  }
  return ok;
}

}  // namespace rg::store_lines
