// The module body: the imports, the logger, the path and size constants, the redaction
// patterns, the locks and flags, then the functions, the component class and `_duration_s`
// (from the tables RG_DEF fills). It touches no file, starts no thread, registers nothing.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "helpers/constants.hpp"
#include "guarder/guarder.hpp"

namespace rg {
namespace {
constexpr const char* kModuleName = "orlune.core.runtime_guard";
// The class statement follows the 20th function (runtimeguard); `_duration_s` comes after it.
constexpr int kFunctionsBeforeClass = 20;
int bind(PyObject* dict, const char* name, Ref value) {
  return value ? PyDict_SetItemString(dict, name, value.get()) : -1;
}
int bind_imports(PyObject* d) {
  for (const char* m : {"atexit", "functools", "inspect", "json", "logging", "os", "platform", "re",
                        "threading", "uuid"})
    RG_CHECK_OK(bind(d, m, import(m)));
  // One `from ... import ...` statement per module, as the body would write it.
  struct From { const char* module; PyObject* names[3]; };  // names null-padded
  for (const From& f : {From{"collections.abc", {S("Callable")}},
                        From{"datetime", {S("UTC"), S("datetime")}},
                        From{"pathlib", {S("Path")}},
                        From{"typing", {S("Any"), S("Optional"), S("TypeVar")}},
                        From{"orlune.core.base_component",
                             {S("ApplicationComponent"), S("ComponentState")}}}) {
    Ref values[3];
    const size_t n = f.names[2] ? 3 : f.names[1] ? 2 : 1;
    RG_CHECK_OK(import_from(f.module, f.names, n, values));
    for (size_t i = 0; i < n; ++i) RG_CHECK_OK(PyDict_SetItem(d, f.names[i], values[i].get()));
  }
  return 0;
}
Ref joined(Ref dir, const char* part) {
  RG_LET(name, str(part));
  return dir ? steal(PyNumber_TrueDivide(dir.get(), name.get())) : Ref();
}
int bind_constants(PyObject* d) {
  RG_LET(name, str(kModuleName));
  RG_CHECK_OK(bind(d, "log", call_method(G("logging"), S("getLogger"), name)));
  RG_LET(dir, joined(joined(call_method(G("Path"), S("home")), ".orlune"), "usage"));
  RG_LET(file, joined(borrow(dir.get()), "sessions.jsonl"));
  RG_CHECK_OK(bind(d, "_USAGE_DIR", std::move(dir)));
  RG_CHECK_OK(bind(d, "_SESSIONS_FILE", std::move(file)));
  using namespace constants;
  struct Number { const char* name; double value; bool whole; };
  for (Number n : {Number{"_MAX_STORED", kMaxStored, true},
                   {"_STARTUP_FLUSH_TIMEOUT", kStartupFlushTimeout, false},
                   {"_SHUTDOWN_FLUSH_TIMEOUT", kShutdownFlushTimeout, false},
                   {"_LIGHT_TIMEOUT", kLightTimeout, false}, {"_MAX_LOG_CHARS", kMaxLogChars, true},
                   {"_MAX_LOG_LINES", kMaxLogLines, true},
                   {"_MAX_FEATURE_NAME", kMaxFeatureName, true},
                   {"_MAX_STORE_BYTES", kMaxStoreBytes, true},
                   {"_MAX_STORE_LINE_BYTES", kMaxStoreLineBytes, true},
                   {"_MAX_UPLOAD_BYTES", kMaxUploadBytes, true},
                   {"_MAX_LIGHT_IN_FLIGHT", kMaxLightInFlight, true}})
    RG_CHECK_OK(bind(d, n.name, n.whole ? steal(PyLong_FromDouble(n.value)) : floating(n.value)));
  return 0;
}

// The patterns, `_F = TypeVar("_F", bound=Callable[..., Any])`, the locks, the set and flags.
int bind_state(PyObject* d) {
  RG_LET(re, global(S("re")));
  for (auto [name, text] : {std::pair{"_PATH_RE", constants::kPathPattern},
                            std::pair{"_EMAIL_RE", constants::kEmailPattern},
                            std::pair{"_TOKENISH_RE", constants::kTokenishPattern}})
    RG_CHECK_OK(bind(d, name, call_method(re, S("compile"), str(text))));
  RG_LET(any, G("Any"));
  RG_LET(callable, G("Callable"));
  RG_LET(params, steal(PyTuple_Pack(2, Py_Ellipsis, any.get())));
  RG_LET(bound, steal(PyObject_GetItem(callable.get(), params.get())));
  RG_CHECK_OK(bind(d, "_F", call_kw(G("TypeVar"), {str("_F").get()}, {{S("bound"), bound.get()}})));
  RG_LET(threading, global(S("threading")));
  RG_CHECK_OK(bind(d, "_light_threads_lock", call_method(threading, S("Lock"))));
  RG_CHECK_OK(bind(d, "_light_threads", steal(PySet_New(nullptr))));
  for (const char* flag : {"_atexit_registered", "_light_dropping", "_skip_endpoint_warned",
                           "_skip_machine_warned", "_telemetry_word_noted"})
    RG_CHECK_OK(bind(d, flag, boolean(false)));
  RG_CHECK_OK(bind(d, "_auth_ready_lock", call_method(threading, S("Lock"))));
  return bind(d, "_auth_ready", boolean(false));
}

int exec_body(PyObject* m) {
  PyObject* d = PyModule_GetDict(m);
  // As exec() does for a module's code: the body runs with the interpreter's builtins.
  const int has_builtins = PyDict_Contains(d, S("__builtins__"));
  RG_CHECK_OK(has_builtins);
  if (!has_builtins) RG_CHECK_OK(PyDict_SetItem(d, S("__builtins__"), PyEval_GetBuiltins()));
  if (bind_imports(d) < 0 || bind_constants(d) < 0 || bind_state(d) < 0) return -1;
  RG_CHECK_OK(bind_declared(declare::Body::Module, d, m, kModuleName, 1, kFunctionsBeforeClass));
  RG_CHECK_OK(bind(d, "RuntimeGuarder", guarder_class(m, kModuleName)));
  return bind_declared(declare::Body::Module, d, m, kModuleName, kFunctionsBeforeClass + 1);
}

constexpr const char* kModuleDoc =
    "Local-first usage tracking for the application.\n\n"
    "Each run of the application is a session row kept in ``~/.orlune/usage/sessions.jsonl``.\n"
    "Rows the server has not accepted are uploaded by HTTP POST to the usage endpoint\n"
    "(``/api/usage``) on a background thread at start-up and, with a short bounded wait, at\n"
    "shutdown. The upload body is encrypted with AES-256-GCM by the host's payload encryption.\n\n"
    "Policy: telemetry never includes protected health information. Log text attached to a\n"
    "session is redacted (file paths, e-mail addresses and token-like strings) and size-capped\n"
    "before it leaves the machine; the client's network address is never sent.\n\n"
    "Library code can report that a feature was opened without a component::\n\n"
    "    from orlune.core.runtime_guard import report_open, runtimeguard\n\n"
    "    @runtimeguard()\n    def export_study(path): ...\n\n"
    "    @runtimeguard(\"Segmentation\")\n    class SegmentationTool: ...\n\n"
    "    report_open(\"Viewer\")\n\n"
    "Reports run on daemon threads and never raise into the caller. Short scripts call\n"
    "``flush_runtime_guard()`` at their end (it also runs automatically at exit).\n"
    "Set ORLUNE_TELEMETRY=0 (or the setting [Telemetry] enabled=false) to switch tracking off.\n";

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

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};
// Multi-phase initialization with no per-module state (m_size 0): every import makes a fresh
// module object, and importlib.reload runs the body again on the same one.
PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "runtime_guard", kModuleDoc, 0, nullptr, g_slots};
}  // namespace
}  // namespace rg

PyMODINIT_FUNC PyInit_runtime_guard(void) { return PyModuleDef_Init(&rg::g_def); }
