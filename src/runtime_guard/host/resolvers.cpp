// Host bindings: the telemetry switch, the usage URL, and the resolvers of the endpoint, the
// machine id, the account fields and the application version.
//
// Every resolver asks the host afresh on each call (a new sign-in or a changed environment is
// seen by the next upload), imports the host module through the import system at that moment
// (a substitute in sys.modules wins), and turns any ordinary exception into its neutral result.
#include "threads/fork_safety.hpp"
#include "capi/module_scope.hpp"
#include "capi/declare.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// A resolver's neutral result when an ordinary exception ended it; null (error kept) otherwise.
Ref neutral(Ref (*fallback)()) {
  if (!catch_ordinary()) return {};
  return fallback();
}

Ref empty_pair() { return steal(Py_BuildValue("(ss)", "", "")); }
Ref empty_text() { return str(""); }
Ref free_plan_pair() { return steal(Py_BuildValue("(ss)", "", "free")); }

// ---- _telemetry_on -------------------------------------------------------------------------

enum class Word { Empty, On, Off, Other };

// os.environ.get(name) or "", stripped and lower-cased, read as a switch word.
int switch_word(PyObject* env, PyObject* name, Word& word, Ref& raw) {
  RG_LET(value, call_method(env, S("get"), name));
  raw = or_else(std::move(value), S(""));
  if (!raw) return -1;
  RG_LET(stripped, call_method(raw, S("strip")));
  RG_LET(lowered, call_method(stripped, S("lower")));
  int empty = PyObject_Not(lowered.get());
  if (empty < 0) return -1;
  word = Word::Empty;
  if (empty) return 0;
  struct Entry {
    PyObject* text;
    Word kind;
  };
  for (Entry e : {Entry{S("0"), Word::Off}, Entry{S("false"), Word::Off}, Entry{S("no"), Word::Off},
                  Entry{S("off"), Word::Off}, Entry{S("1"), Word::On}, Entry{S("true"), Word::On},
                  Entry{S("yes"), Word::On}, Entry{S("on"), Word::On}}) {
    int eq = PyObject_RichCompareBool(lowered.get(), e.text, Py_EQ);
    if (eq < 0) return -1;
    if (eq) {
      word = e.kind;
      return 0;
    }
  }
  word = Word::Other;
  return 0;
}

// ORLUNE_TELEMETRY can only switch telemetry off. DO_NOT_TRACK, the console convention, is an
// opt-out too when set to anything but an off word: the user's wish not to be tracked wins
// over an application's own switch being on.
Ref telemetry_on() {
  RG_LET(os, G("os"));
  RG_LET(env, attr(os, S("environ")));
  Word word, dnt;
  Ref raw, raw_dnt;
  RG_CHECK_OK(switch_word(env.get(), S("ORLUNE_TELEMETRY"), word, raw));
  if (word == Word::Off) return boolean(false);
  RG_CHECK_OK(switch_word(env.get(), S("DO_NOT_TRACK"), dnt, raw_dnt));
  if (dnt == Word::On || dnt == Word::Other) return boolean(false);
  if (word == Word::Other) {
    // "disabled", say: a user who meant off learns why uploads still happen, once.
    int noted = global_truth(S("_telemetry_word_noted"));
    if (noted < 0) return {};
    if (!noted) {
      RG_CHECK_OK(set_global(S("_telemetry_word_noted"), Py_True));
      RG_CHECK(log_at(S("info"),
                      "ORLUNE_TELEMETRY=%r is not a switch word (off: 0, false, no, off; on: 1, "
                      "true, yes, on): telemetry is treated as on",
                      raw));
    }
  }
  return boolean(true);
}

// ---- _usage_url ----------------------------------------------------------------------------

// "scheme://host[:port]" and nothing after the authority. Cutting the last segment of such a
// text would cut the host and send the upload, server key included, to another host.
bool is_bare_origin(PyObject* url) {
  if (!PyUnicode_Check(url)) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(url);
  const int kind = PyUnicode_KIND(url);
  const void* data = PyUnicode_DATA(url);
  auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
  auto ascii_alpha = [](Py_UCS4 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  auto ascii_digit = [](Py_UCS4 c) { return c >= '0' && c <= '9'; };
  // scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
  if (n == 0 || !ascii_alpha(at(0))) return false;
  Py_ssize_t i = 1;
  while (i < n && (ascii_alpha(at(i)) || ascii_digit(at(i)) || at(i) == '+' || at(i) == '-' ||
                   at(i) == '.'))
    ++i;
  if (i + 3 > n || at(i) != ':' || at(i + 1) != '/' || at(i + 2) != '/') return false;
  i += 3;
  if (i == n) return false;  // no host
  for (; i < n; ++i) {
    const Py_UCS4 c = at(i);
    if (c == '/' || c == '?' || c == '#') return false;
  }
  return true;
}

Ref usage_url(PyObject* validate_url) {
  RG_LET(raw_url, or_else(borrow(validate_url), S("")));
  RG_LET(url, call_method(raw_url, S("strip")));
  int has_validate = PySequence_Contains(url.get(), S("/api/validate"));
  if (has_validate < 0) return {};
  if (has_validate) return call_method(url, S("replace"), S("/api/validate"), S("/api/usage"));
  RG_LET(ends, call_method(url, S("endswith"), S("/")));
  RG_TRUTH(trailing, ends.get());
  if (trailing) return steal(PyNumber_Add(url.get(), S("api/usage")));
  RG_TRUTH(nonempty, url.get());
  if (!nonempty) return str("");
  if (is_bare_origin(url.get())) return steal(PyNumber_Add(url.get(), S("/api/usage")));
  RG_LET(one, integer(1));
  RG_LET(parts, call_method(url, S("rsplit"), S("/"), one));
  RG_LET(before, steal(PySequence_GetItem(parts.get(), 0)));
  return steal(PyNumber_Add(before.get(), S("/api/usage")));
}

// ---- _ensure_auth_ready --------------------------------------------------------------------

// The body of `with _auth_ready_lock:`; 0 also when the import failed (logged, retried later).
int load_auth_once() {
  int ready = global_truth(S("_auth_ready"));
  if (ready != 0) return ready < 0 ? -1 : 0;
  // Concurrent first imports of the auth package can fail on its internal import cycle;
  // the lock makes the first load happen on one thread at a time.
  Ref validator = import("orlune.auth.validator");
  if (!validator) {
    Ref exc = catch_ordinary();
    if (!exc) return -1;
    // _auth_ready stays False: the next call tries again
    return log_exc_at(S("debug"), "runtime_guard: auth preload failed", exc.get()) ? 0 : -1;
  }
  return set_global(S("_auth_ready"), Py_True);
}

Ref ensure_auth_ready() {
  // The common path: already loaded, no lock.
  int ready = global_truth(S("_auth_ready"));
  if (ready < 0) return {};
  if (ready) return none();
  RG_CHECK_OK(ensure_fork_hook());  // before the lock is first held
  RG_LET(lock, G("_auth_ready_lock"));
  // A signal handler or a finalizer that interrupts the first load on this very thread: the
  // load is under way further up the stack, and waiting for it here would never end.
  if (held_by_this_thread(lock.get())) return none();
  RG_CHECK_OK(with_lock(lock.get(), load_auth_once));
  return none();
}

// ---- resolvers -----------------------------------------------------------------------------

Ref resolve_endpoint() {
  RG_LET(ensure, G("_ensure_auth_ready"));
  RG_CHECK(call(ensure));
  PyObject* names[] = {S("_DEFAULT_VALIDATION_URL"), S("_SERVER_API_KEY")};
  Ref values[2];
  RG_CHECK_OK(import_from("orlune.auth.validator", names, 2, values));
  Ref &url = values[0], &key = values[1];
  RG_LET(rewrite, G("_usage_url"));
  RG_LET(usage, call(rewrite, url));
  RG_LET(api_key, or_else(std::move(key), S("")));
  return steal(PyTuple_Pack(2, usage.get(), api_key.get()));
}

Ref resolve_machine_id() {
  RG_LET(get_machine_id, import_from("orlune.auth.validator", S("_get_machine_id")));
  RG_LET(id, call(get_machine_id));
  return head(id.get(), 128);
}

Ref resolve_token_fields() {
  RG_LET(plan_label, import_from("orlune.auth.plans", S("plan_label")));
  RG_LET(load_token, import_from("orlune.auth.storage", S("load_token")));
  RG_LET(token, call(load_token));
  RG_LET(raw_id, attr(token, S("token_id")));
  RG_LET(id_value, or_else(std::move(raw_id), S("")));
  RG_LET(token_id, call_method(id_value, S("strip")));
  RG_TRUTH(truth, token_id.get());
  Ref plan = borrow(S("free"));
  if (truth) {  // plan_label is asked only for a real token id
    RG_LET(token_type, attr(token, S("token_type")));
    plan = or_else(call(plan_label, token_type), S("free"));
    if (!plan) return {};
  }
  return steal(PyTuple_Pack(2, token_id.get(), plan.get()));
}

Ref resolve_app_version() {
  RG_LET(get_version, import_from("orlune.utils.package_info", S("get_version")));
  RG_LET(version, call(get_version));
  RG_LET(text, steal(PyObject_Str(version.get())));
  return head(text.get(), 64);
}

// A resolver's result, or its neutral result when an ordinary exception ended it.
Ref or_neutral(Ref result, Ref (*fallback)()) {
  return result ? std::move(result) : neutral(fallback);
}

}  // namespace

RG_DEF(Function, 1, _ensure_auth_ready, "_ensure_auth_ready()", "")
Ref _ensure_auth_ready() { return ensure_auth_ready(); }

RG_DEF(Function, 6, _usage_url, "_usage_url(validate_url)", "")
Ref _usage_url(PyObject* validate_url) { return usage_url(validate_url); }

RG_DEF(Function, 11, _resolve_endpoint, "_resolve_endpoint()", "")
Ref _resolve_endpoint() { return or_neutral(resolve_endpoint(), empty_pair); }

RG_DEF(Function, 12, _resolve_machine_id, "_resolve_machine_id()", "")
Ref _resolve_machine_id() { return or_neutral(resolve_machine_id(), empty_text); }

RG_DEF(Function, 13, _resolve_token_fields, "_resolve_token_fields()", "")
Ref _resolve_token_fields() { return or_neutral(resolve_token_fields(), free_plan_pair); }

RG_DEF(Function, 14, _resolve_app_version, "_resolve_app_version()", "")
Ref _resolve_app_version() { return or_neutral(resolve_app_version(), empty_text); }

RG_DEF(Function, 15, _telemetry_on, "_telemetry_on()",
       "Return False when telemetry is explicitly disabled via env.")
Ref _telemetry_on() { return telemetry_on(); }

}  // namespace rg
