// Entry point: the module body. It binds the imports, the logger, the path and size
// constants, the redaction patterns, the locks and flags, then the functions and the
// component class, in that order. It touches no file, starts no thread, registers nothing.
#include "module.hpp"

#include <cstring>
#include <vector>

#include "component/guarder.hpp"
#include "constants.hpp"
#include "registry.hpp"

namespace rg {

namespace {

PyObject* g_module = nullptr;

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

Ref make_function(const Export* e) {
  Ref modname = TRY(str(kModuleName));
  return steal(PyCFunction_NewEx(e->def, g_module, modname.get()));
}

int add_functions(PyObject* dict, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const Export* e = find_export(names[i], false);
    if (!e) continue;  // built by a later subsystem
    Ref fn = TRY_INT(make_function(e));
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
  struct From {
    const char* module;
    const char* name;
  };
  for (From f : {From{"collections.abc", "Callable"}, From{"datetime", "UTC"},
                 From{"datetime", "datetime"}, From{"pathlib", "Path"}, From{"typing", "Any"},
                 From{"typing", "Optional"}, From{"typing", "TypeVar"},
                 From{"orlune.core.base_component", "ApplicationComponent"},
                 From{"orlune.core.base_component", "ComponentState"}}) {
    Ref name = TRY_INT(str(f.name));
    if (bind(d, f.name, import_from(f.module, name.get())) < 0) return -1;
  }
  return 0;
}

int bind_paths(PyObject* d) {
  Ref path_cls = TRY_INT(global(S("Path")));
  Ref home = TRY_INT(call_method(path_cls, S("home")));
  Ref a = TRY_INT(str(".orlune"));
  Ref b = TRY_INT(str("usage"));
  Ref c = TRY_INT(str("sessions.jsonl"));
  Ref dot = TRY_INT(steal(PyNumber_TrueDivide(home.get(), a.get())));
  Ref usage = TRY_INT(steal(PyNumber_TrueDivide(dot.get(), b.get())));
  Ref sessions = TRY_INT(steal(PyNumber_TrueDivide(usage.get(), c.get())));
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
          bind(d, "_MAX_FEATURE_NAME", integer(kMaxFeatureName)) < 0)
             ? -1
             : 0;
}

int bind_patterns(PyObject* d) {
  Ref re = TRY_INT(global(S("re")));
  struct P {
    const char* name;
    const char* text;
  };
  for (P p : {P{"_PATH_RE", constants::kPathPattern}, P{"_EMAIL_RE", constants::kEmailPattern},
              P{"_TOKENISH_RE", constants::kTokenishPattern}}) {
    Ref text = TRY_INT(str(p.text));
    if (bind(d, p.name, call_method(re, S("compile"), text)) < 0) return -1;
  }
  return 0;
}

// _F = TypeVar("_F", bound=Callable[..., Any])
int bind_typevar(PyObject* d) {
  Ref callable = TRY_INT(global(S("Callable")));
  Ref any = TRY_INT(global(S("Any")));
  Ref params = TRY_INT(steal(PyTuple_Pack(2, Py_Ellipsis, any.get())));
  Ref bound = TRY_INT(steal(PyObject_GetItem(callable.get(), params.get())));
  Ref typevar = TRY_INT(global(S("TypeVar")));
  Ref name = TRY_INT(str("_F"));
  return bind(d, "_F", call_kw(typevar, {name.get()}, {{S("bound"), bound.get()}}));
}

int bind_state(PyObject* d) {
  Ref threading = TRY_INT(global(S("threading")));
  if (bind(d, "_light_threads_lock", call_method(threading, S("Lock"))) < 0) return -1;
  if (bind(d, "_light_threads", steal(PySet_New(nullptr))) < 0) return -1;
  if (bind(d, "_atexit_registered", boolean(false)) < 0) return -1;
  if (bind(d, "_skip_endpoint_warned", boolean(false)) < 0) return -1;
  if (bind(d, "_skip_machine_warned", boolean(false)) < 0) return -1;
  if (bind(d, "_auth_ready_lock", call_method(threading, S("Lock"))) < 0) return -1;
  return bind(d, "_auth_ready", boolean(false));
}

int bind_class(PyObject* d) {
  Ref ns = TRY_INT(steal(PyDict_New()));
  for (const char* name : kMethodOrder) {
    const Export* e = find_export(name, true);
    if (!e) continue;
    Ref fn = TRY_INT(make_function(e));
    Ref member = e->slot == Slot::StaticMethod ? steal(PyStaticMethod_New(fn.get()))
                                               : steal(PyInstanceMethod_New(fn.get()));
    if (!member || PyDict_SetItemString(ns.get(), name, member.get()) < 0) return -1;
  }
  return bind(d, "RuntimeGuarder", build_guarder_class(ns.get()));
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

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "runtime_guard", kModuleDoc, -1, nullptr};

}  // namespace

void register_export(const Export* e) { exports().push_back(e); }

namespace {
thread_local PyObject* t_current = nullptr;
}  // namespace

ModuleScope::ModuleScope(PyObject* module) : previous_(t_current) { t_current = module; }
ModuleScope::~ModuleScope() { t_current = previous_; }

PyObject* module() { return t_current ? t_current : g_module; }

Ref global(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(module()), name);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
  }
  return borrow(v);
}

int set_global(PyObject* name, PyObject* value) {
  return PyDict_SetItem(PyModule_GetDict(module()), name, value);
}

int global_truth(PyObject* name) {
  Ref v = global(name);
  return v ? PyObject_IsTrue(v.get()) : -1;
}

Ref log_exc_at(PyObject* level, const char* message, PyObject* exc) {
  Ref log = TRY(global(S("log")));
  Ref fn = TRY(attr(log, level));
  Ref msg = TRY(str(message));
  return call_kw(fn, {msg.get()}, {{S("exc_info"), exc ? exc : Py_True}});
}

}  // namespace rg

PyMODINIT_FUNC PyInit_runtime_guard(void) {
  using namespace rg;
  if (check_exports() < 0) return nullptr;
  Ref m = steal(PyModule_Create(&g_def));
  if (!m) return nullptr;
  g_module = m.get();
  Py_INCREF(g_module);  // kept for the life of the process: daemon threads may outlive finalization
  PyObject* d = PyModule_GetDict(g_module);
  Ref logging;
  if (bind_imports(d) < 0) return nullptr;
  logging = global(S("logging"));
  if (!logging) return nullptr;
  Ref name = steal(PyUnicode_FromString(kModuleName));
  if (!name || bind(d, "log", call_method(logging, S("getLogger"), name)) < 0) return nullptr;
  if (bind_paths(d) < 0 || bind_numbers(d) < 0 || bind_patterns(d) < 0 ||
      bind_typevar(d) < 0 || bind_state(d) < 0)
    return nullptr;
  if (add_functions(d, kFunctionOrder, std::size(kFunctionOrder)) < 0) return nullptr;
  if (bind_class(d) < 0) return nullptr;
  if (add_functions(d, kLateFunctions, std::size(kLateFunctions)) < 0) return nullptr;
  return m.release();
}
