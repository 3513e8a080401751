// The usage payload made sendable, sealed, measured and sent, and `_post_usage`, the upload of
// open reports: checks run cheapest first, resolvers through the module (a host may replace them).
#include "capi/buffer.hpp"
#include "capi/scope.hpp"
#include "capi/native.hpp"
#include "capi/call.hpp"
#include "helpers/constants.hpp"
#include "threads/threads.hpp"
#include "upload/usage.hpp"
#include "capi/declare.hpp"

namespace rg {
namespace {
// {"v": 1, "alg": "AES-256-GCM", "nonce": "<16 base64 digits>", "ct": ""}; the GCM tag.
constexpr Py_ssize_t kEnvelopeFrame = 69;
constexpr Py_ssize_t kTagBytes = 16;

// f"{platform.system()} {platform.release()}".strip()[:64]
Ref os_label() {
  RG_LET(platform, G("platform"));
  RG_LET(system, call_method(platform, S("system")));
  RG_LET(system_text, steal(PyObject_Format(system.get(), S(""))));
  RG_LET(release, call_method(platform, S("release")));
  RG_LET(release_text, steal(PyObject_Format(release.get(), S(""))));
  RG_LET(joined, steal(PyUnicode_FromFormat("%U %U", system_text.get(), release_text.get())));
  RG_LET(stripped, call_method(joined, S("strip")));
  return head(stripped.get(), 64);
}

// Surrogates (surrogateescape file names) no UTF-8 carries: the server could not store such a
// session, which would hold back every later upload. They go out as U+FFFD, in values and keys
// through dicts, lists and tuples; only the containers on the way are copied (a tuple as a list).
bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

Ref value_safe(PyObject* value);

Ref text_safe(Str text) {
  const Py_ssize_t n = text.size();
  Py_ssize_t first = text.kind() == PyUnicode_1BYTE_KIND ? n : 0;
  while (first < n && !is_surrogate(text.at(first))) ++first;
  if (first == n) return text;
  Buffer<Py_UCS4> out;
  Py_UCS4* d = out.room(static_cast<size_t>(n));
  if (!d) return failed;
  for (Py_ssize_t i = 0; i < n; ++i) d[i] = is_surrogate(text.at(i)) ? 0xFFFD : text.at(i);
  return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, d, n));
}

Ref dict_safe(PyObject* dict) {
  List items = List::fresh(PyDict_Items(dict));  // a snapshot: no host code runs while we walk it
  RG_CHECK(items);
  RG_LET(out, steal(PyDict_New()));
  bool changed = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    Tuple pair = Tuple::borrowed(items.at(i));
    RG_CHECK(pair);
    RG_LET(key, value_safe(pair.at(0)));
    RG_LET(item, value_safe(pair.at(1)));
    changed |= key.get() != pair.at(0) || item.get() != pair.at(1);
    RG_CHECK_OK(PyDict_SetItem(out.get(), key.get(), item.get()));
  }
  return changed ? std::move(out) : borrow(dict);
}

Ref sequence_safe(PyObject* seq) {
  List items = List::fresh(PySequence_List(seq));
  RG_CHECK(items);
  bool changed = false;
  for (Py_ssize_t i = 0; i < items.size(); ++i) {
    RG_LET(item, value_safe(items.at(i)));
    changed |= item.get() != items.at(i);
    RG_CHECK_OK(PyList_SetItem(items.get(), i, item.release()));
  }
  return changed ? Ref(std::move(items)) : borrow(seq);
}

// The value made sendable: the same object when nothing in it changed.
Ref value_safe(PyObject* value) {
  if (Str text = Str::probe(value)) return text_safe(std::move(text));
  if (!PyDict_Check(value) && !PyList_Check(value) && !PyTuple_Check(value)) return borrow(value);
  if (Py_EnterRecursiveCall(" while making usage text sendable")) return failed;
  Ref out = PyDict_Check(value) ? dict_safe(value) : sequence_safe(value);
  Py_LeaveRecursiveCall();
  return out;
}

constexpr double kDeadlineSlack = 0.5;
constexpr long kReadChunk = 64 * 1024;
constexpr Py_ssize_t kMaxReplyBytes = 1 << 20;  // memory stays flat whatever the server sends

Ref read_capped(PyObject* resp) {
  RG_LET(chunk, integer(kReadChunk));
  RG_LET(chunks, call_method(resp, S("iter_content"), chunk));
  RG_LET(iter, steal(PyObject_GetIter(chunks.get())));
  Buffer<char> body;
  while (Bytes part = Bytes::of(steal(PyIter_Next(iter.get())))) {
    if (static_cast<Py_ssize_t>(body.size()) + part.size() > kMaxReplyBytes) return none();
    RG_CHECK(body.append(part.data(), static_cast<size_t>(part.size())));
  }
  if (PyErr_Occurred()) return failed;
  return steal(PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
}

// resp.close(), then its pool's (best effort): requests.post's throwaway session no longer
// closes it (urllib3 2). Not for a host's substitute, whose shared pool must stay open.
int close_reply(PyObject* post, PyObject* resp) {
  RG_CHECK(call_method(resp, S("close")));
  Ref api = steal(PyImport_GetModule(S("requests.api")));
  Ref own_post = api ? attr(api, S("post")) : Ref();
  if (own_post && own_post.get() == post) {
    Ref raw = attr(resp, S("raw"));
    Ref pool = raw ? attr(raw, S("_pool")) : Ref();
    if (pool && pool.get() != Py_None && call_method(pool, S("close"))) return 0;
  }
  return PyErr_Occurred() && !swallow_ordinary() ? -1 : 0;
}

// On the calling thread; the response is closed on every path (an unread body is not drained).
Tuple exchange_here(PyObject* post, PyObject* url, PyObject* kwargs, bool read_body) {
  RG_LET(resp, steal(PyObject_VectorcallDict(post, &url, 1, kwargs)));
  Ref status = attr(resp, S("status_code"));
  Ref body = status ? (read_body ? read_capped(resp.get()) : none()) : Ref();
  if (!body) {
    ErrorStash keep;  // the first error is the one to report
    if (close_reply(post, resp.get()) < 0) PyErr_Clear();
    return failed;
  }
  RG_CHECK_OK(close_reply(post, resp.get()));
  return Tuple::fresh(PyTuple_Pack(2, status.get(), body.get()));
}

// A worker stores its result or whatever it raised, then sets `done`; the waiter re-raises it.
enum JobSlot { kPost, kUrl, kKwargs, kReadBody, kDone, kOutcome };

PyObject* run_job(PyObject* state, PyObject* const*) {
  List job = List::borrowed(state);
  if (!job) return nullptr;
  Ref done = borrow(job.at(kDone));
  const bool read_body = job.at(kReadBody) == Py_True;
  Ref outcome = exchange_here(job.at(kPost), job.at(kUrl), job.at(kKwargs), read_body);
  if (!outcome && !(outcome = catch_any())) return nullptr;
  RG_CHECK_OK(PyList_SetItem(job.get(), kOutcome, outcome.release()));
  RG_CHECK(call_method(done, S("set")));
  Py_RETURN_NONE;
}

Tuple exchange_with_deadline(PyObject* post, PyObject* url, PyObject* kwargs, PyObject* timeout,
                             bool read_body) {
  const double limit = ThreadDeadline::clip(
      timeout_seconds(timeout, constants::kShutdownFlushTimeout) + kDeadlineSlack);
  if (limit <= 0) {  // the caller's whole wait is used up: nothing is sent
    PyErr_SetString(PyExc_TimeoutError, "usage POST not sent: no time left to wait for it");
    return failed;
  }
  RG_LET(done, call_method(G("threading"), S("Event")));
  PyObject* reads = read_body ? Py_True : Py_False;
  List job = List::fresh(Py_BuildValue("[OOOOOO]", post, url, kwargs, reads, done.get(), Py_None));
  RG_CHECK(job);
  RG_LET(target, make_closure("_usage_post_worker", nullptr, run_job, job.get()));
  RG_LET(thread, daemon_thread(target.get(), S("orlune-usage-post")));
  RG_CHECK(call_method(thread, S("start")));
  RG_LET(wait_for, floating(limit));
  RG_LET(finished, call_method(done, S("wait"), wait_for));
  RG_TRUTH(in_time, finished.get());
  if (!in_time) {
    PyErr_Format(PyExc_TimeoutError, "usage POST still running after %.1f s; left to its worker",
                 limit);
    return failed;
  }
  PyObject* outcome = job.at(kOutcome);  // set, as `done` is
  if (!PyExceptionInstance_Check(outcome)) return Tuple::borrowed(outcome);
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(outcome))), Py_NewRef(outcome),
                PyException_GetTraceback(outcome));
  return failed;
}

Py_ssize_t text_bytes(Ref dumped) {
  Str text = Str::of(std::move(dumped));
  Py_ssize_t size = 0;
  return text && PyUnicode_AsUTF8AndSize(text.get(), &size) ? size : -1;
}
}  // namespace

Ref build_usage_body(PyObject* machine_id, PyObject* token_id, PyObject* plan,
                     PyObject* app_version, PyObject* sessions) {
  RG_LET(os, os_label());
  RG_LET(tz, call(G("_local_tz_offset")));
  return dict_of({{S("machine_id"), machine_id}, {S("token_id"), token_id}, {S("plan"), plan},
                  {S("app_version"), app_version}, {S("os"), os.get()}, {S("tz"), tz.get()},
                  {S("sessions"), sessions}});
}

int UsageSender::open() {
  RG_CHECK(requests = import("requests"));
  RG_CHECK(encrypt_payload = import_from("orlune.core.payload_crypto", S("encrypt_payload")));
  return 0;
}

Ref UsageSender::seal(PyObject* body, PyObject* api_key) const {
  RG_LET(sendable, value_safe(body));
  return call(encrypt_payload, sendable, api_key);
}

Tuple UsageSender::post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
                        bool read_body, Wait wait) const {
  RG_LET(headers, dict_of({{S("Content-Type"), S("application/json")},
                           {S("X-Server-Api-Key"), api_key}}));
  RG_LET(post, attr(requests, S("post")));
  // No redirect is followed: the key goes to the configured host only.
  RG_LET(kwargs, dict_of({{S("json"), envelope}, {S("headers"), headers.get()},
                          {S("timeout"), timeout}, {S("allow_redirects"), Py_False},
                          {S("stream"), Py_True}}));
  if (wait == Wait::PerOperation) return exchange_here(post.get(), url, kwargs.get(), read_body);
  return exchange_with_deadline(post.get(), url, kwargs.get(), timeout, read_body);
}

Py_ssize_t json_bytes(PyObject* value) {
  RG_LET(dumps, attr(global(S("json")), S("dumps")));
  RG_LET(separators, steal(Py_BuildValue("(ss)", ",", ":")));
  return text_bytes(call_kw(dumps, {value}, {{S("separators"), separators.get()}}));
}

Py_ssize_t envelope_bytes(Py_ssize_t plain) {
  return kEnvelopeFrame + 4 * ((plain + kTagBytes + 2) / 3);
}

Py_ssize_t body_bytes(PyObject* envelope) {
  return text_bytes(call_method(global(S("json")), S("dumps"), envelope));
}

namespace {
Ref skipped() { return steal(PyTuple_Pack(2, Py_None, Py_None)); }

// skipped(), after the one-time warning (its flag is a global: a host may reset it).
Ref skipped_with_warning(PyObject* flag, const char* message) {
  RG_LET(warned, global(flag));
  RG_TRUTH(said, warned.get());
  if (!said) {
    RG_CHECK_OK(set_global(flag, Py_True));
    RG_CHECK(log_at(S("warning"), message));
  }
  return skipped();
}

// first, second = globals()[name]()
int resolve_pair(PyObject* name, Ref& first, Ref& second) {
  RG_LET(pair, call_global(name));
  return unpack_pair(pair.get(), first, second);
}

// The reply body when it is a JSON object, else None.
Ref decoded_object(PyObject* body) {
  if (body == Py_None) return none();
  RG_LET(json, G("json"));
  Ref decoded = call_method(json, S("loads"), body);
  if (!decoded) return catch_ordinary() ? none() : failed;
  return PyDict_Check(decoded.get()) ? std::move(decoded) : none();
}

// Open reports run on their own daemon threads: the client's per-operation timeout is enough.
Ref upload(PyObject* url, PyObject* api_key, PyObject* body, PyObject* timeout) {
  UsageSender sender;
  RG_CHECK_OK(sender.open());
  RG_LET(envelope, sender.seal(body, api_key));
  Tuple reply = sender.post(url, api_key, envelope.get(), timeout, true, Wait::PerOperation);
  if (!reply) return failed;
  PyObject* status = reply.at(0);
  RG_LET(data, decoded_object(reply.at(1)));
  RG_LET(ok, integer(200));
  const Answer other = answer(PyObject_RichCompareBool(status, ok.get(), Py_NE));
  if (other == Answer::kFailed) return failed;
  if (other == Answer::kYes)
    RG_CHECK(log_at(S("debug"), "runtime_guard: usage POST HTTP %s body=%s", status, data));
  return steal(PyTuple_Pack(2, status, data.get()));
}
}  // namespace

RG_DEF(Function, 16, _post_usage, "_post_usage(sessions, *, timeout, allow_empty=False)",
       "POST an encrypted usage payload.\n"
       "\n"
       "Returns ``(status_code, json_body)`` or ``(None, None)`` when skipped / failed.")
Ref _post_usage(PyObject* sessions, PyObject* timeout, PyObject* allow_empty) {
  RG_LET(on, call_global(S("_telemetry_on")));
  RG_TRUTH(enabled, on.get());
  if (!enabled) return skipped();
  RG_TRUTH(has_sessions, sessions);
  RG_TRUTH(allowed, has_sessions ? Py_True : allow_empty);  // `sessions or allow_empty`
  if (!allowed) return skipped();
  Ref url, api_key;
  RG_CHECK_OK(resolve_pair(S("_resolve_endpoint"), url, api_key));
  RG_TRUTH(has_url, url.get());
  RG_TRUTH(has_key, has_url ? api_key.get() : Py_False);  // `url and api_key`
  if (!has_key)
    return skipped_with_warning(S("_skip_endpoint_warned"),
                                "runtime_guard: usage POST skipped \u2014 validation URL or "
                                "ORLUNE_SERVER_API_KEY / pinned server key is not configured.");
  RG_LET(machine_id, call_global(S("_resolve_machine_id")));
  RG_TRUTH(has_machine, machine_id.get());
  if (!has_machine)
    return skipped_with_warning(S("_skip_machine_warned"),
                                "runtime_guard: usage POST skipped \u2014 machine_id unavailable.");
  Ref token_id, plan;
  RG_CHECK_OK(resolve_pair(S("_resolve_token_fields"), token_id, plan));
  RG_LET(app_version, call_global(S("_resolve_app_version")));
  RG_LET(body, build_usage_body(machine_id.get(), token_id.get(), plan.get(), app_version.get(),
                                  sessions));
  Ref result = upload(url.get(), api_key.get(), body.get(), timeout);
  if (result) return result;
  RG_CHECK_OK(log_ordinary("Lightweight usage POST failed"));  // KeyboardInterrupt passes
  return skipped();
}
}  // namespace rg
