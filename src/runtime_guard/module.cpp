// Entry point: the module body. It binds the imports, the logger, the path and size
// constants, the redaction patterns, the locks and flags, then the functions and the
// component class, in that order. It touches no file, starts no thread, registers nothing.
#include "module.hpp"

#include <cstring>
#include <vector>

#include "component/guarder.hpp"
#include "constants.hpp"
#include "method_owner.hpp"
#include "registry.hpp"

namespace rg {

namespace {

std::vector<const Export*>& exports() {
  static std::vector<const Export*> all;
  return all;
}

// Definition order of the module's functions; the class sits before `_duration_s`.
constexpr const char* kFunctionOrder[] = {
    "_ensure_auth_ready", "_spawn_light_thread", "flush_runtime_guard", "_utcnow_iso",
    "_local_tz_offset", "_usage_url", "sanitize_log_text", "format_panel_logs", "_clip_feature",
    "infer_open_name", "_resolve_endpoint", "_resolve_machine_id", "_resolve_token_fields",
    "_resolve_app_version", "_telemetry_on", "_post_usage", "_opened_log_line",
    "_build_open_session", "report_open", "runtimeguard",
};
constexpr const char* kLateFunctions[] = {"_duration_s"};

// Definition order of RuntimeGuarder's methods.
constexpr const char* kMethodOrder[] = {
    "__init__", "initialize", "cleanup", "report_open", "_reload_flags", "_load_store",
    "_persist", "_persist_unlocked", "_current_session", "_close_stale_sessions",
    "_start_session", "_capture_logs", "_spawn_flush", "_flush", "_machine_id", "_token_fields",
    "_app_version", "_endpoint",
};

const Export* find_export(const char* name, bool method) {
  for (const Export* e : exports()) {
    const bool is_method = e->slot != Slot::ModuleFunction;
    if (is_method == method && std::strcmp(e->def->ml_name, name) == 0) return e;
  }
  return nullptr;
}

// Every registered name must have a place in the order tables (catches a misspelt export).
int check_exports() {
  for (const Export* e : exports()) {
    bool known = false;
    if (e->slot == Slot::ModuleFunction) {
      for (const char* n : kFunctionOrder) known |= std::strcmp(n, e->def->ml_name) == 0;
      for (const char* n : kLateFunctions) known |= std::strcmp(n, e->def->ml_name) == 0;
    } else {
      for (const char* n : kMethodOrder) known |= std::strcmp(n, e->def->ml_name) == 0;
    }
    if (!known) {
      PyErr_Format(PyExc_SystemError, "runtime_guard: export '%s' has no place", e->def->ml_name);
      return -1;
    }
  }
  return 0;
}

// A builtin function whose __self__ is `owner`: the module, or the method owner of the class.
Ref make_function(const Export* e, PyObject* owner) {
  RG_LET(modname, str(kModuleName));
  return steal(PyCFunction_NewEx(e->def, owner, modname.get()));
}

int add_functions(PyObject* dict, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const Export* e = find_export(names[i], false);
    if (!e) continue;  // built by a later subsystem
    RG_LET_INT(fn, make_function(e, module()));
    if (PyDict_SetItemString(dict, names[i], fn.get()) < 0) return -1;
  }
  return 0;
}

int bind(PyObject* dict, const char* name, Ref value) {
  if (!value) return -1;
  return PyDict_SetItemString(dict, name, value.get());
}

int bind_imports(PyObject* d) {
  for (const char* m : {"atexit", "functools", "inspect", "json", "logging", "os", "platform", "re",
                        "threading", "uuid"}) {
    if (bind(d, m, import(m)) < 0) return -1;
  }
  // One `from ... import ...` statement per module, as the body would write it.
  struct From {
    const char* module;
    const char* names[3];  // null-padded
  };
  static constexpr From kFrom[] = {
      {"collections.abc", {"Callable"}},
      {"datetime", {"UTC", "datetime"}},
      {"pathlib", {"Path"}},
      {"typing", {"Any", "Optional", "TypeVar"}},
      {"orlune.core.base_component", {"ApplicationComponent", "ComponentState"}},
  };
  for (const From& f : kFrom) {
    Ref names[3], values[3];
    PyObject* raw_names[3] = {};
    size_t n = 0;
    for (; n < 3 && f.names[n]; ++n) {
      names[n] = str(f.names[n]);
      if (!names[n]) return -1;
      raw_names[n] = names[n].get();
    }
    if (import_from(f.module, raw_names, n, values) < 0) return -1;
    for (size_t i = 0; i < n; ++i)
      if (bind(d, f.names[i], std::move(values[i])) < 0) return -1;
  }
  return 0;
}

int bind_paths(PyObject* d) {
  RG_LET_INT(path_cls, global(S("Path")));
  RG_LET_INT(home, call_method(path_cls, S("home")));
  RG_LET_INT(a, str(".orlune"));
  RG_LET_INT(b, str("usage"));
  RG_LET_INT(c, str("sessions.jsonl"));
  RG_LET_INT(dot, steal(PyNumber_TrueDivide(home.get(), a.get())));
  RG_LET_INT(usage, steal(PyNumber_TrueDivide(dot.get(), b.get())));
  RG_LET_INT(sessions, steal(PyNumber_TrueDivide(usage.get(), c.get())));
  if (bind(d, "_USAGE_DIR", std::move(usage)) < 0) return -1;
  return bind(d, "_SESSIONS_FILE", std::move(sessions));
}

int bind_numbers(PyObject* d) {
  using namespace constants;
  return (bind(d, "_MAX_STORED", integer(kMaxStored)) < 0 ||
          bind(d, "_STARTUP_FLUSH_TIMEOUT", floating(kStartupFlushTimeout)) < 0 ||
          bind(d, "_SHUTDOWN_FLUSH_TIMEOUT", floating(kShutdownFlushTimeout)) < 0 ||
          bind(d, "_LIGHT_TIMEOUT", floating(kLightTimeout)) < 0 ||
          bind(d, "_MAX_LOG_CHARS", integer(kMaxLogChars)) < 0 ||
          bind(d, "_MAX_LOG_LINES", integer(kMaxLogLines)) < 0 ||
          bind(d, "_MAX_FEATURE_NAME", integer(kMaxFeatureName)) < 0 ||
          bind(d, "_MAX_STORE_BYTES", integer(kMaxStoreBytes)) < 0 ||
          bind(d, "_MAX_LIGHT_IN_FLIGHT", integer(kMaxLightInFlight)) < 0)
             ? -1
             : 0;
}

int bind_patterns(PyObject* d) {
  RG_LET_INT(re, global(S("re")));
  struct P {
    const char* name;
    const char* text;
  };
  for (P p : {P{"_PATH_RE", constants::kPathPattern}, P{"_EMAIL_RE", constants::kEmailPattern},
              P{"_TOKENISH_RE", constants::kTokenishPattern}}) {
    RG_LET_INT(text, str(p.text));
    if (bind(d, p.name, call_method(re, S("compile"), text)) < 0) return -1;
  }
  return 0;
}

// _F = TypeVar("_F", bound=Callable[..., Any])
int bind_typevar(PyObject* d) {
  RG_LET_INT(callable, global(S("Callable")));
  RG_LET_INT(any, global(S("Any")));
  RG_LET_INT(params, steal(PyTuple_Pack(2, Py_Ellipsis, any.get())));
  RG_LET_INT(bound, steal(PyObject_GetItem(callable.get(), params.get())));
  RG_LET_INT(typevar, global(S("TypeVar")));
  RG_LET_INT(name, str("_F"));
  return bind(d, "_F", call_kw(typevar, {name.get()}, {{S("bound"), bound.get()}}));
}

int bind_state(PyObject* d) {
  RG_LET_INT(threading, global(S("threading")));
  if (bind(d, "_light_threads_lock", call_method(threading, S("Lock"))) < 0) return -1;
  if (bind(d, "_light_threads", steal(PySet_New(nullptr))) < 0) return -1;
  if (bind(d, "_atexit_registered", boolean(false)) < 0) return -1;
  if (bind(d, "_light_dropping", boolean(false)) < 0) return -1;
  if (bind(d, "_skip_endpoint_warned", boolean(false)) < 0) return -1;
  if (bind(d, "_skip_machine_warned", boolean(false)) < 0) return -1;
  if (bind(d, "_telemetry_word_noted", boolean(false)) < 0) return -1;
  if (bind(d, "_auth_ready_lock", call_method(threading, S("Lock"))) < 0) return -1;
  return bind(d, "_auth_ready", boolean(false));
}

int bind_class(PyObject* d) {
  RG_LET_INT(ns, steal(PyDict_New()));
  // A class statement binds these before the body's methods; the class builder fills them in.
  for (const char* dunder : {"__module__", "__qualname__", "__doc__"})
    if (PyDict_SetItemString(ns.get(), dunder, Py_None) < 0) return -1;
  RG_LET_INT(owner, new_method_owner(module()));
  for (const char* name : kMethodOrder) {
    const Export* e = find_export(name, true);
    if (!e) continue;
    RG_LET_INT(fn, make_function(e, owner.get()));
    Ref member = e->slot == Slot::StaticMethod ? steal(PyStaticMethod_New(fn.get()))
                                               : steal(PyInstanceMethod_New(fn.get()));
    if (!member || PyDict_SetItemString(ns.get(), name, member.get()) < 0) return -1;
  }
  RG_LET_INT(cls, build_guarder_class(ns.get()));
  if (set_owner_class(owner.get(), cls.get()) < 0) return -1;
  return bind(d, "RuntimeGuarder", std::move(cls));
}

// As exec() does for a module's code: the body runs with the interpreter's builtins.
int bind_builtins(PyObject* d) {
  int present = PyDict_Contains(d, S("__builtins__"));
  if (present != 0) return present < 0 ? -1 : 0;
  return PyDict_SetItem(d, S("__builtins__"), PyEval_GetBuiltins());
}

int exec_body(PyObject* m) {
  PyObject* d = PyModule_GetDict(m);
  if (bind_builtins(d) < 0 || bind_imports(d) < 0) return -1;
  RG_LET_INT(logging, global(S("logging")));
  RG_LET_INT(name, str(kModuleName));
  if (bind(d, "log", call_method(logging, S("getLogger"), name)) < 0) return -1;
  if (bind_paths(d) < 0 || bind_numbers(d) < 0 || bind_patterns(d) < 0 ||
      bind_typevar(d) < 0 || bind_state(d) < 0)
    return -1;
  if (add_functions(d, kFunctionOrder, std::size(kFunctionOrder)) < 0) return -1;
  if (bind_class(d) < 0) return -1;
  return add_functions(d, kLateFunctions, std::size(kLateFunctions));
}

constexpr const char* kModuleDoc =
    "Local-first usage tracking for the application.\n"
    "\n"
    "Each run of the application is a session row kept in ``~/.orlune/usage/sessions.jsonl``.\n"
    "Rows the server has not accepted are uploaded by HTTP POST to the usage endpoint\n"
    "(``/api/usage``) on a background thread at start-up and, with a short bounded wait, at\n"
    "shutdown. The upload body is encrypted with AES-256-GCM by the host's payload encryption.\n"
    "\n"
    "Policy: telemetry never includes protected health information. Log text attached to a\n"
    "session is redacted (file paths, e-mail addresses and token-like strings) and size-capped\n"
    "before it leaves the machine; the client's network address is never sent.\n"
    "\n"
    "Library code can report that a feature was opened without a component::\n"
    "\n"
    "    from orlune.core.runtime_guard import report_open, runtimeguard\n"
    "\n"
    "    @runtimeguard()\n"
    "    def export_study(path): ...\n"
    "\n"
    "    @runtimeguard(\"Segmentation\")\n"
    "    class SegmentationTool: ...\n"
    "\n"
    "    report_open(\"Viewer\")\n"
    "\n"
    "Reports run on daemon threads and never raise into the caller. Short scripts call\n"
    "``flush_runtime_guard()`` at their end (it also runs automatically at exit).\n"
    "Set ORLUNE_TELEMETRY=0 (or the setting [Telemetry] enabled=false) to switch tracking off.\n";

int exec_module(PyObject* m);

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// Multi-phase initialization with no per-module state (m_size 0): every import makes a fresh
// module object, and importlib.reload runs the body again on the same one.
PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "runtime_guard", kModuleDoc, 0, nullptr, g_slots,
                     nullptr, nullptr, nullptr};

// Trivially destructible: safe on a daemon thread that the interpreter ends at exit.
thread_local PyObject* t_current = nullptr;
// Whether the running code is the module body (an import there passes globals as locals).
thread_local bool t_in_body = false;

}  // namespace

void register_export(const Export* e) { exports().push_back(e); }

ModuleScope::ModuleScope(PyObject* module) : previous_(t_current) { t_current = module; }
ModuleScope::~ModuleScope() { t_current = previous_; }

PyObject* module() {
  if (!t_current) PyErr_SetString(PyExc_SystemError, "runtime_guard: no module scope is open");
  return t_current;
}

Ref global(PyObject* name) {
  PyObject* m = module();
  if (!m) return {};
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(m), name);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
  }
  return borrow(v);
}

int set_global(PyObject* name, PyObject* value) {
  PyObject* m = module();
  return m ? PyDict_SetItem(PyModule_GetDict(m), name, value) : -1;
}

int global_truth(PyObject* name) {
  Ref v = global(name);
  return v ? PyObject_IsTrue(v.get()) : -1;
}

namespace {

Ref log_handling(PyObject* level, const char* message, PyObject* exc, bool exc_info) {
  RG_LET(log, global(S("log")));
  RG_LET(fn, attr(log, level));
  RG_LET(msg, str(message));
  Handling handling(exc);
  if (!exc_info) return call(fn, msg);
  return call_kw(fn, {msg.get()}, {{S("exc_info"), Py_True}});
}

// The `__import__` of the running module's builtins, looked up as the interpreter does.
Ref builtin_import(PyObject* globals) {
  PyObject* builtins = PyDict_GetItemWithError(globals, S("__builtins__"));
  if (!builtins) {
    if (PyErr_Occurred()) return {};
    builtins = PyEval_GetBuiltins();
  }
  if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
  Ref fn = PyDict_Check(builtins) ? borrow(PyDict_GetItemWithError(builtins, S("__import__")))
                                  : steal(PyObject_GetItem(builtins, S("__import__")));
  if (!fn && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_KeyError)) return {};
  if (!fn) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
  }
  return fn;
}

// __import__(name, globals(), locals(), fromlist, 0)
Ref call_import(const char* dotted, PyObject* fromlist) {
  PyObject* m = module();
  if (!m) return {};
  PyObject* globals = PyModule_GetDict(m);
  RG_LET(fn, builtin_import(globals));
  RG_LET(name, str(dotted));
  RG_LET(level, integer(0));
  return call(fn, name, globals, t_in_body ? globals : Py_None, fromlist, level);
}

}  // namespace

Ref log_exc_at(PyObject* level, const char* message, PyObject* exc) {
  return log_handling(level, message, exc, true);
}

Ref log_exception(const char* message, PyObject* exc) {
  return log_handling(S("exception"), message, exc, false);
}

namespace {

// The IMPORT_FROM step: module.name, or the submodule already in sys.modules under
// "<module.__name__>.name" (a submodule substituted there need not be an attribute of its
// package); ImportError as the interpreter words it otherwise.
Ref attribute_or_submodule(PyObject* m, PyObject* name) {
  Ref v = attr(m, name);
  if (v || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
  PyErr_Clear();
  Ref pkg = attr(m, S("__name__"));
  if (pkg && PyUnicode_Check(pkg.get())) {
    RG_LET(full, steal(PyUnicode_FromFormat("%U.%U", pkg.get(), name)));
    PyObject* sub = PyImport_GetModule(full.get());
    if (sub) return steal(sub);
    if (PyErr_Occurred()) return {};
  }
  PyErr_Clear();
  Ref shown = pkg && PyUnicode_Check(pkg.get()) ? std::move(pkg) : str("<unknown module name>");
  if (!shown) return {};
  PyObject* file = PyModule_Check(m) ? PyModule_GetFilenameObject(m) : nullptr;
  Ref path = steal(file);
  Ref message;
  if (path && PyUnicode_Check(path.get())) {
    message = steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, shown.get(),
                                         path.get()));
  } else {
    PyErr_Clear();
    path = nullptr;
    message = steal(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                         shown.get()));
  }
  if (message) PyErr_SetImportError(message.get(), shown.get(), path.get());
  return {};
}

}  // namespace

Ref import(const char* dotted) {
  RG_LET(top, call_import(dotted, Py_None));
  RG_LET(path, str(dotted));
  RG_LET(dot, str("."));
  RG_LET(parts, steal(PyUnicode_Split(path.get(), dot.get(), -1)));
  Ref value = std::move(top);
  // As `import a.b.c as v` walks it: each step may find a submodule through sys.modules.
  for (Py_ssize_t i = 1; i < PyList_GET_SIZE(parts.get()); ++i) {
    value = attribute_or_submodule(value.get(), PyList_GET_ITEM(parts.get(), i));
    if (!value) return {};
  }
  return value;
}

int import_from(const char* module_name, PyObject* const* names, size_t count, Ref* out) {
  RG_LET_INT(fromlist, steal(PyTuple_New(static_cast<Py_ssize_t>(count))));
  for (size_t i = 0; i < count; ++i) {
    if (!names[i]) return missing_argument(), -1;
    PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
  }
  RG_LET_INT(m, call_import(module_name, fromlist.get()));
  for (size_t i = 0; i < count; ++i) {
    out[i] = attribute_or_submodule(m.get(), names[i]);
    if (!out[i]) return -1;
  }
  return 0;
}

Ref import_from(const char* module_name, PyObject* name) {
  Ref value;
  return import_from(module_name, &name, 1, &value) < 0 ? Ref() : std::move(value);
}

}  // namespace rg

namespace rg {

namespace {

// CPython 3.11 marks a module whose body has run by giving it a state block (even of size 0)
// and then makes importlib.reload a no-op. Python's reload runs the body again, so the marker
// is taken away after each run. Its field is found by layout and used only when the fields
// around it hold what the public getters return.
void allow_reload(PyObject* m) {
  struct ModuleLayout {
    PyObject_HEAD
    PyObject* dict;
    PyModuleDef* def;
    void* state;
  };
  void* state = PyModule_GetState(m);
  auto* layout = reinterpret_cast<ModuleLayout*>(m);
  if (!state || !PyModule_CheckExact(m) || layout->dict != PyModule_GetDict(m) ||
      layout->def != PyModule_GetDef(m) || layout->state != state)
    return;
  layout->state = nullptr;
  PyMem_Free(state);
}

// The module body, run at each import and again by importlib.reload.
int exec_module(PyObject* m) {
  if (intern_literals() < 0) return -1;
  ModuleScope scope(m);
  t_in_body = true;
  const int result = exec_body(m);
  t_in_body = false;
  // Also after a failed run: a reload that raised leaves the module reloadable, as in Python.
  allow_reload(m);
  return result;
}

}  // namespace

}  // namespace rg

PyMODINIT_FUNC PyInit_runtime_guard(void) {
  if (rg::check_exports() < 0) return nullptr;
  return PyModuleDef_Init(&rg::g_def);
}
