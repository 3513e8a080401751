// The telemetry switch, the usage URL, and the resolvers of the endpoint, machine id, account
// and version: each asks the host afresh through the import system (a substitute in sys.modules
// wins), and an ordinary exception gives its neutral result.
#include "threads/threads.hpp"
#include "capi/scope.hpp"
#include "capi/declare.hpp"

namespace rg {
namespace {
enum class Word { Empty, On, Off, Other };
// os.environ.get(name) or "", stripped and lower-cased, read as a switch word.
int switch_word(PyObject* env, PyObject* name, Word& word, Ref& value) {
  value = or_else(call_method(env, S("get"), name), S(""));
  RG_CHECK(value);
  RG_LET(stripped, call_method(value, S("strip")));
  RG_LET(lowered, call_method(stripped, S("lower")));
  RG_TRUTH(nonempty, lowered);
  word = nonempty ? Word::Other : Word::Empty;
  PyObject* const off_then_on[] = {S("0"), S("false"), S("no"), S("off"),
                                   S("1"), S("true"), S("yes"), S("on")};
  for (size_t i = 0; word == Word::Other && i < std::size(off_then_on); ++i) {
    const int equal = PyObject_RichCompareBool(lowered.get(), off_then_on[i], Py_EQ);
    RG_CHECK_OK(equal);
    if (equal) word = i < 4 ? Word::Off : Word::On;
  }
  return 0;
}
Ref resolve_endpoint() {
  RG_CHECK(call_global(S("_ensure_auth_ready")));
  PyObject* names[] = {S("_DEFAULT_VALIDATION_URL"), S("_SERVER_API_KEY")};
  Ref values[2];
  RG_CHECK_OK(import_from("orlune.auth.validator", names, 2, values));
  RG_LET(usage, call(G("_usage_url"), values[0]));
  RG_LET(api_key, or_else(std::move(values[1]), S("")));
  return steal(PyTuple_Pack(2, usage.get(), api_key.get()));
}
Ref resolve_machine_id() {
  RG_LET(get_machine_id, import_from("orlune.auth.validator", S("_get_machine_id")));
  return head(call(get_machine_id).get(), 128);
}
Ref resolve_token_fields() {
  RG_LET(plan_label, import_from("orlune.auth.plans", S("plan_label")));
  RG_LET(load_token, import_from("orlune.auth.storage", S("load_token")));
  RG_LET(token, call(load_token));
  RG_LET(token_id, call_method(or_else(attr(token, S("token_id")), S("")), S("strip")));
  RG_TRUTH(has_id, token_id);
  Ref plan = borrow(S("free"));
  if (has_id) {  // plan_label is asked only for a real token id
    RG_LET(token_type, attr(token, S("token_type")));
    RG_CHECK(plan = or_else(call(plan_label, token_type), S("free")));
  }
  return steal(PyTuple_Pack(2, token_id.get(), plan.get()));
}
Ref resolve_app_version() {
  RG_LET(get_version, import_from("orlune.utils.package_info", S("get_version")));
  RG_LET(version, call(get_version));
  return head(steal(PyObject_Str(version.get())).get(), 64);
}
// A resolver's result, or when an ordinary exception ended it, the neutral one (Py_BuildValue's).
template <class... A>
Ref or_neutral(Ref result, const char* format, A... values) {
  if (result || !catch_ordinary()) return result;
  return steal(Py_BuildValue(format, values...));
}
}  // namespace

RG_DEF(Function, 1, _ensure_auth_ready, "_ensure_auth_ready()", "")
Ref _ensure_auth_ready() {
  const Answer ready = global_flag(S("_auth_ready"));  // the common path: no lock
  if (ready != Answer::kNo) return ready == Answer::kFailed ? Ref() : none();
  RG_CHECK_OK(ensure_fork_hook());  // before the lock is first held
  RG_LET(lock, G("_auth_ready_lock"));
  // A signal handler or a finalizer that interrupts the first load on this very thread: the
  // load is under way further up the stack, and waiting for it here would never end.
  if (held_by_this_thread(lock.get())) return none();
  // The body of `with _auth_ready_lock:`; the import failing is logged and retried next time.
  RG_CHECK_OK(with_lock(lock.get(), [] {
    const Answer ready = global_flag(S("_auth_ready"));
    if (ready != Answer::kNo) return ready == Answer::kFailed ? -1 : 0;
    // Concurrent first imports of the auth package can fail on its internal import cycle; the
    // lock makes the first load happen on one thread at a time.
    if (import("orlune.auth.validator")) return set_global(S("_auth_ready"), Py_True);
    return log_ordinary("runtime_guard: auth preload failed");
  }));
  return none();
}
RG_DEF(Function, 6, _usage_url, "_usage_url(validate_url)", "")
Ref _usage_url(PyObject* validate_url) {
  RG_LET(url, call_method(or_else(borrow(validate_url), S("")), S("strip")));
  const int has_validate = PySequence_Contains(url.get(), S("/api/validate"));
  RG_CHECK_OK(has_validate);
  if (has_validate) return call_method(url, S("replace"), S("/api/validate"), S("/api/usage"));
  RG_LET(ends, call_method(url, S("endswith"), S("/")));
  RG_TRUTH(trailing, ends);
  if (trailing) return steal(PyNumber_Add(url.get(), S("api/usage")));
  RG_TRUTH(nonempty, url);
  if (!nonempty) return str("");
  // "scheme://host[:port]" alone: cutting its last segment would cut the host and send the
  // upload, server key included, to another host.
  if (PyUnicode_Check(url.get())) {
    PyObject* origin_pattern = S("[A-Za-z][A-Za-z0-9+.-]*://[^/?#]+");
    RG_LET(origin, call_method(G("re"), S("fullmatch"), origin_pattern, url));
    if (origin.get() != Py_None) return steal(PyNumber_Add(url.get(), S("/api/usage")));
  }
  RG_LET(parts, call_method(url, S("rsplit"), S("/"), integer(1)));
  RG_LET(before, steal(PySequence_GetItem(parts.get(), 0)));
  return steal(PyNumber_Add(before.get(), S("/api/usage")));
}
RG_DEF(Function, 11, _resolve_endpoint, "_resolve_endpoint()", "")
Ref _resolve_endpoint() { return or_neutral(resolve_endpoint(), "(ss)", "", ""); }
RG_DEF(Function, 12, _resolve_machine_id, "_resolve_machine_id()", "")
Ref _resolve_machine_id() { return or_neutral(resolve_machine_id(), "s", ""); }
RG_DEF(Function, 13, _resolve_token_fields, "_resolve_token_fields()", "")
Ref _resolve_token_fields() { return or_neutral(resolve_token_fields(), "(ss)", "", "free"); }
RG_DEF(Function, 14, _resolve_app_version, "_resolve_app_version()", "")
Ref _resolve_app_version() { return or_neutral(resolve_app_version(), "s", ""); }
// ORLUNE_TELEMETRY can only switch telemetry off. DO_NOT_TRACK, the console convention, is an
// opt-out too when set to anything but an off word: the user's wish wins over the application's.
RG_DEF(Function, 15, _telemetry_on, "_telemetry_on()",
       "Return False when telemetry is explicitly disabled via env.")
Ref _telemetry_on() {
  RG_LET(env, attr(G("os"), S("environ")));
  Word word, dnt;
  Ref raw, raw_dnt;
  RG_CHECK_OK(switch_word(env.get(), S("ORLUNE_TELEMETRY"), word, raw));
  if (word == Word::Off) return boolean(false);
  RG_CHECK_OK(switch_word(env.get(), S("DO_NOT_TRACK"), dnt, raw_dnt));
  if (dnt == Word::On || dnt == Word::Other) return boolean(false);
  if (word != Word::Other) return boolean(true);
  // "disabled", say: a user who meant off learns why uploads still happen, once.
  const Answer noted = global_flag(S("_telemetry_word_noted"));
  if (noted != Answer::kNo) return noted == Answer::kFailed ? Ref() : boolean(true);
  RG_CHECK_OK(set_global(S("_telemetry_word_noted"), Py_True));
  RG_CHECK(log_at(S("info"), "ORLUNE_TELEMETRY=%r is not a switch word (off: 0, false, no, "
                  "off; on: 1, true, yes, on): telemetry is treated as on", raw));
  return boolean(true);
}
}  // namespace rg
