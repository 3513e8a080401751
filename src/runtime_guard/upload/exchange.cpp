// One usage request on the wire: POST, never following a redirect (the server key goes to the
// configured host only), the reply streamed and read up to a cap, the connection closed.
#include "capi/buffer.hpp"
#include "capi/module_scope.hpp"
#include "capi/native_closure.hpp"
#include "defaults/constants.hpp"
#include "threads/daemon_thread.hpp"
#include "threads/thread_deadline.hpp"
#include "upload/usage.hpp"

namespace rg {

namespace {

constexpr double kDeadlineSlack = 0.5;
constexpr long kReadChunk = 64 * 1024;
// Replies longer than this are not parsed: memory stays flat whatever the server sends.
constexpr Py_ssize_t kMaxReplyBytes = 1 << 20;

// The reply's bytes up to the cap, None when it is longer.
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

// resp.close(), then its pool's. requests.post's throwaway session no longer closes its pool
// (urllib3 2 stopped closing pools on clear), so the socket of a reply read to its end would
// be left to the cyclic collector, unclosed. Only for requests' own post: a host's substitute
// may share a session whose pool must stay open. The pool's close is best effort.
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

// The request and the reading of its reply, on the calling thread; the response and its
// connection are closed on every path (a body left unread is dropped, not drained).
Tuple exchange_here(PyObject* post, PyObject* url, PyObject* kwargs, bool read_body) {
  RG_LET(args, steal(PyTuple_Pack(1, url)));
  RG_LET(resp, steal(PyObject_Call(post, args.get(), kwargs)));
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

// A worker's job, a list: the worker stores its result or the exception it raised, then sets
// `done`. Every exception is handed over, KeyboardInterrupt and SystemExit too: the waiting
// thread raises it where the request would have raised it in line.
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

// The exchange on a daemon worker, which the caller waits for at most timeout + slack.
Tuple exchange_with_deadline(PyObject* post, PyObject* url, PyObject* kwargs, PyObject* timeout,
                             bool read_body) {
  const double limit = ThreadDeadline::clip(
      timeout_seconds(timeout, constants::kShutdownFlushTimeout) + kDeadlineSlack);
  if (limit <= 0) {  // the caller's whole wait is used up: nothing is sent
    PyErr_SetString(PyExc_TimeoutError, "usage POST not sent: no time left to wait for it");
    return failed;
  }
  RG_LET(threading, G("threading"));
  RG_LET(done, call_method(threading, S("Event")));
  PyObject* reads = read_body ? Py_True : Py_False;
  List job = List::fresh(
      Py_BuildValue("[OOOOOO]", post, url, kwargs, reads, done.get(), Py_None));
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
  // Raised here as it was raised there, traceback and all.
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(outcome))), Py_NewRef(outcome),
                PyException_GetTraceback(outcome));
  return failed;
}

}  // namespace

Tuple UsageSender::post(PyObject* url, PyObject* api_key, PyObject* envelope, PyObject* timeout,
                        bool read_body, Wait wait) const {
  RG_LET(headers, dict_of({{S("Content-Type"), S("application/json")},
                           {S("X-Server-Api-Key"), api_key}}));
  RG_LET(post, attr(requests, S("post")));
  RG_LET(kwargs, dict_of({{S("json"), envelope}, {S("headers"), headers.get()},
                          {S("timeout"), timeout}, {S("allow_redirects"), Py_False},
                          {S("stream"), Py_True}}));
  if (wait == Wait::PerOperation) return exchange_here(post.get(), url, kwargs.get(), read_body);
  return exchange_with_deadline(post.get(), url, kwargs.get(), timeout, read_body);
}

}  // namespace rg
