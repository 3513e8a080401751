// The session's log text at close: the logging panel's recent records, rendered by
// `format_panel_logs` (read from the module when used). A panel that is missing or cannot be
// read gives "", never a failed close.
#include "capi/declare.hpp"
#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// Logs the failure to read or render the panel's records; "" unless it is not an ordinary
// exception (interpreter exit, keyboard interrupt), which stays raised.
Ref unreadable_panel() {
  Ref exc = catch_ordinary();
  if (!exc) return {};
  RG_CHECK(log_exc_at(S("debug"), "Could not read logging panel records", exc.get()));
  return str("");
}

RG_DEF(Method, 12, _capture_logs, "_capture_logs(self)", "")
Ref _capture_logs(PyObject* self) {
  RG_LET(context, attr(self, S("app_context")));
  RG_TRUTH(present, context.get());
  if (!present) return str("");
  RG_LET(panel, call_method(context, S("get_component"), S("logger")));
  if (panel.get() == Py_None) return str("");
  const int readable = has_attr(panel.get(), S("get_recent_logs"));
  if (readable <= 0) return readable < 0 ? Ref() : str("");
  RG_LET(count, integer(1000));
  Ref get_recent_logs = attr(panel, S("get_recent_logs"));
  Ref result = get_recent_logs ? call_kw(get_recent_logs, {}, {{S("count"), count.get()}}) : Ref();
  if (!result) return unreadable_panel();
  // A record the panel cannot render (not a mapping, a stamp out of range) must not lose
  // the whole close: treated like a panel that cannot be read.
  RG_LET(empty, steal(PyList_New(0)));
  Ref records = or_else(std::move(result), empty.get());
  Ref copy = records ? steal(PySequence_List(records.get())) : Ref();
  Ref text = copy ? call(G("format_panel_logs"), copy) : Ref();
  return text ? std::move(text) : unreadable_panel();
}

}  // namespace

}  // namespace rg
