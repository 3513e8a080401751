// Entry point: the module body. It binds the imports, the logger, the path and size
// constants, the redaction patterns, the locks and flags, then the functions and the
// component class, in that order. It touches no file, starts no thread, registers nothing.
#include "capi/module_scope.hpp"

#include "component/guarder.hpp"
#include "defaults/constants.hpp"
#include "capi/method_owner.hpp"
#include "capi/declare.hpp"

namespace rg {

// Each function and method is declared beside its implementation (RG_DEF); the body binds
// them in the module's definition order.
extern const Def _ensure_auth_ready_def, _spawn_light_thread_def, flush_runtime_guard_def,
    _utcnow_iso_def, _local_tz_offset_def, _usage_url_def, sanitize_log_text_def,
    format_panel_logs_def, _clip_feature_def, infer_open_name_def, _resolve_endpoint_def,
    _resolve_machine_id_def, _resolve_token_fields_def, _resolve_app_version_def,
    _telemetry_on_def, _post_usage_def, _opened_log_line_def, _build_open_session_def,
    report_open_def, runtimeguard_def, _duration_s_def;
namespace guarder {
extern const Def init_def, initialize_def, cleanup_def, report_open_def, _reload_flags_def,
    _load_store_def, _persist_def, _persist_unlocked_def, _current_session_def,
    _close_stale_sessions_def, _start_session_def, _capture_logs_def, _spawn_flush_def,
    _flush_def, _machine_id_def, _token_fields_def, _app_version_def, _endpoint_def;
}  // namespace guarder

namespace {

inline constexpr const char* kModuleName = "orlune.core.runtime_guard";

constexpr const Def* kFunctions[] = {
    &_ensure_auth_ready_def, &_spawn_light_thread_def, &flush_runtime_guard_def, &_utcnow_iso_def,
    &_local_tz_offset_def, &_usage_url_def, &sanitize_log_text_def, &format_panel_logs_def,
    &_clip_feature_def, &infer_open_name_def, &_resolve_endpoint_def, &_resolve_machine_id_def,
    &_resolve_token_fields_def, &_resolve_app_version_def, &_telemetry_on_def, &_post_usage_def,
    &_opened_log_line_def, &_build_open_session_def, &report_open_def, &runtimeguard_def,
};
constexpr const Def* kLateFunctions[] = {&_duration_s_def};  // defined after the class

constexpr const Def* kMethods[] = {
    &guarder::init_def, &guarder::initialize_def, &guarder::cleanup_def,
    &guarder::report_open_def, &guarder::_reload_flags_def, &guarder::_load_store_def,
    &guarder::_persist_def, &guarder::_persist_unlocked_def, &guarder::_current_session_def,
    &guarder::_close_stale_sessions_def, &guarder::_start_session_def,
    &guarder::_capture_logs_def, &guarder::_spawn_flush_def, &guarder::_flush_def,
    &guarder::_machine_id_def, &guarder::_token_fields_def, &guarder::_app_version_def,
    &guarder::_endpoint_def,
};

template <std::size_t N>
int add_functions(PyObject* dict, const Def* const (&defs)[N]) {
  for (const Def* def : defs) {
    RG_LET(fn, make_member(*def, module(), kModuleName));
    RG_CHECK_OK(PyDict_SetItemString(dict, def->method.ml_name, fn.get()));
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
  RG_LET(path_cls, global(S("Path")));
  RG_LET(home, call_method(path_cls, S("home")));
  RG_LET(a, str(".orlune"));
  RG_LET(b, str("usage"));
  RG_LET(c, str("sessions.jsonl"));
  RG_LET(dot, steal(PyNumber_TrueDivide(home.get(), a.get())));
  RG_LET(usage, steal(PyNumber_TrueDivide(dot.get(), b.get())));
  RG_LET(sessions, steal(PyNumber_TrueDivide(usage.get(), c.get())));
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
          bind(d, "_MAX_STORE_LINE_BYTES", integer(kMaxStoreLineBytes)) < 0 ||
          bind(d, "_MAX_UPLOAD_BYTES", integer(kMaxUploadBytes)) < 0 ||
          bind(d, "_MAX_LIGHT_IN_FLIGHT", integer(kMaxLightInFlight)) < 0)
             ? -1
             : 0;
}

int bind_patterns(PyObject* d) {
  RG_LET(re, global(S("re")));
  struct P {
    const char* name;
    const char* text;
  };
  for (P p : {P{"_PATH_RE", constants::kPathPattern}, P{"_EMAIL_RE", constants::kEmailPattern},
              P{"_TOKENISH_RE", constants::kTokenishPattern}}) {
    RG_LET(text, str(p.text));
    if (bind(d, p.name, call_method(re, S("compile"), text)) < 0) return -1;
  }
  return 0;
}

// _F = TypeVar("_F", bound=Callable[..., Any])
int bind_typevar(PyObject* d) {
  RG_LET(callable, global(S("Callable")));
  RG_LET(any, global(S("Any")));
  RG_LET(params, steal(PyTuple_Pack(2, Py_Ellipsis, any.get())));
  RG_LET(bound, steal(PyObject_GetItem(callable.get(), params.get())));
  RG_LET(typevar, global(S("TypeVar")));
  RG_LET(name, str("_F"));
  return bind(d, "_F", call_kw(typevar, {name.get()}, {{S("bound"), bound.get()}}));
}

int bind_state(PyObject* d) {
  RG_LET(threading, global(S("threading")));
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
  RG_LET(ns, steal(PyDict_New()));
  // A class statement binds these before the body's methods; the class builder fills them in.
  for (const char* dunder : {"__module__", "__qualname__", "__doc__"})
    if (PyDict_SetItemString(ns.get(), dunder, Py_None) < 0) return -1;
  RG_LET(owner, new_method_owner(module()));
  for (const Def* def : kMethods) {
    RG_LET(member, make_member(*def, owner.get(), kModuleName));
    RG_CHECK_OK(PyDict_SetItemString(ns.get(), def->method.ml_name, member.get()));
  }
  RG_LET(cls, build_guarder_class(ns.get(), kModuleName));
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
  RG_LET(logging, global(S("logging")));
  RG_LET(name, str(kModuleName));
  if (bind(d, "log", call_method(logging, S("getLogger"), name)) < 0) return -1;
  if (bind_paths(d) < 0 || bind_numbers(d) < 0 || bind_patterns(d) < 0 ||
      bind_typevar(d) < 0 || bind_state(d) < 0)
    return -1;
  if (add_functions(d, kFunctions) < 0 || bind_class(d) < 0) return -1;
  return add_functions(d, kLateFunctions);
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

// The module body, run at each import and again by importlib.reload.
int exec_module(PyObject* m) {
  if (intern_literals() < 0) return -1;
  ModuleScope scope(m);
  BodyScope body;
  const int result = exec_body(m);
  // Also after a failed run: a reload that raised leaves the module reloadable, as in Python.
  allow_reload(m);
  return result;
}

}  // namespace

}  // namespace rg

PyMODINIT_FUNC PyInit_runtime_guard(void) {
  return PyModuleDef_Init(&rg::g_def);
}
