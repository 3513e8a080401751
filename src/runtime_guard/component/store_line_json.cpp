// Whether native lines may stand in for the module's late-bound json: only when that is the
// interpreter's own json, untouched where the store's calls go through it. A host (or its
// tests) that replaced json, json.dumps, json.loads, the encoder class or the default
// decoder's hooks gets its replacement called, as Python code would.
#include <string_view>

#include "component/store_line_codec.hpp"
#include "capi/values.hpp"

namespace rg::store_lines {

namespace {

// 1 when `fn` is a Python function defined in the module named `module`; 0 when not; -1 on
// error.
int defined_in(PyObject* fn, std::string_view module) {
  if (!fn || !PyFunction_Check(fn)) return 0;
  PyObject* name = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(fn), S("__name__"));
  if (!name) return PyErr_Occurred() ? -1 : 0;
  if (!PyUnicode_Check(name)) return 0;
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &n);
  if (!text) return -1;
  return std::string_view(text, static_cast<std::size_t>(n)) == module;
}

// 1 when each named attribute of `owner` is a function of `module`.
int all_defined_in(PyObject* owner, std::initializer_list<PyObject*> names, std::string_view module) {
  for (PyObject* name : names) {
    Ref fn;
    int ok = optional_attr(owner, name, fn);
    if (ok > 0) ok = defined_in(fn.get(), module);
    if (ok <= 0) return ok;
  }
  return 1;
}

// The default decoder reads with json's own hooks: plain dicts, int for integers, strict text.
int default_decoder(PyObject* decoder) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(decoder));
  const int own = all_defined_in(type, {S("__init__"), S("decode"), S("raw_decode")}, "json.decoder");
  if (own <= 0) return own;
  struct Expected {
    PyObject* name;
    PyObject* value;
  };
  for (Expected e : {Expected{S("object_hook"), Py_None}, Expected{S("object_pairs_hook"), Py_None},
                     Expected{S("parse_int"), reinterpret_cast<PyObject*>(&PyLong_Type)},
                     Expected{S("strict"), Py_True}}) {
    Ref value;
    const int found = optional_attr(decoder, e.name, value);
    if (found <= 0) return found;
    if (value.get() != e.value) return 0;
  }
  return 1;
}

}  // namespace

int json_is_standard(PyObject* json) {
  if (!PyModule_Check(json)) return 0;
  PyObject* name = PyModule_GetNameObject(json);
  if (!name) return -1;
  const int named = PyUnicode_CompareWithASCIIString(name, "json") == 0;
  Py_DECREF(name);
  if (!named) return 0;
  int ok = all_defined_in(json, {S("dumps"), S("loads")}, "json");
  if (ok <= 0) return ok;
  Ref encoder, decoder;
  ok = optional_attr(json, S("JSONEncoder"), encoder);
  if (ok <= 0) return ok;
  if (!PyType_Check(encoder.get())) return 0;
  ok = all_defined_in(encoder.get(), {S("__init__"), S("encode"), S("iterencode")}, "json.encoder");
  if (ok <= 0) return ok;
  ok = optional_attr(json, S("_default_decoder"), decoder);
  if (ok <= 0) return ok;
  return default_decoder(decoder.get());
}

}  // namespace rg::store_lines
