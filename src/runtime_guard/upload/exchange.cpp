#include "upload/exchange.hpp"

#include "helpers/constants.hpp"
#include "capi/module_scope.hpp"
#include "capi/native_closure.hpp"
#include "threads/daemon_thread.hpp"
#include "threads/thread_deadline.hpp"

namespace rg {

namespace {

constexpr double kDeadlineSlack = 0.5;
constexpr long kReadChunk = 64 * 1024;

// The reply's bytes up to the cap, None when it is longer.
Ref read_capped(PyObject* resp) {
  RG_LET(chunk, integer(kReadChunk));
  RG_LET(chunks, call_method(resp, S("iter_content"), chunk));
  RG_LET(iter, steal(PyObject_GetIter(chunks.get())));
  RG_LET(parts, steal(PyList_New(0)));
  Py_ssize_t total = 0;
  while (Ref part = steal(PyIter_Next(iter.get()))) {
    if (!PyBytes_Check(part.get())) {
      PyErr_SetString(PyExc_TypeError, "reply chunk is not bytes");
      return {};
    }
    total += PyBytes_GET_SIZE(part.get());
    if (total > kMaxReplyBytes) return none();
    if (PyList_Append(parts.get(), part.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  RG_LET(empty, steal(PyBytes_FromStringAndSize(nullptr, 0)));
  return call_method(empty, S("join"), parts);
}

// requests.post's throwaway session no longer closes its connection pool (urllib3 2 stopped
// closing pools on clear), so the connection of a reply read to its end goes back into a pool
// that nobody holds, and its socket is left to the cyclic collector, unclosed. Closing that
// pool closes the socket now. Only for requests' own post: a host's substitute may share a
// session whose pool must stay open. Best effort: a reply without a pool has none to close.
int close_throwaway_pool(PyObject* post, PyObject* resp) {
  Ref api = steal(PyImport_GetModule(S("requests.api")));
  Ref own_post = api ? attr(api, S("post")) : Ref();
  if (own_post && own_post.get() == post) {
    Ref raw = attr(resp, S("raw"));
    Ref pool = raw ? attr(raw, S("_pool")) : Ref();
    if (pool && pool.get() != Py_None && call_method(pool, S("close"))) return 0;
  }
  return PyErr_Occurred() && !swallow_ordinary() ? -1 : 0;
}

// resp.close(), then the pool's; 0, or -1 with the first error set.
int close_reply(PyObject* post, PyObject* resp) {
  RG_CHECK(call_method(resp, S("close")));
  return close_throwaway_pool(post, resp);
}

// The request and the reading of its reply, on the calling thread; the response and its
// connection are closed on every path (a body left unread is dropped, not drained).
Ref exchange_here(PyObject* post, PyObject* url, PyObject* kwargs, bool read_body) {
  RG_LET(args, steal(PyTuple_Pack(1, url)));
  RG_LET(resp, steal(PyObject_Call(post, args.get(), kwargs)));
  Ref status = attr(resp, S("status_code"));
  Ref body = status ? (read_body ? read_capped(resp.get()) : none()) : Ref();
  if (!body) {
    ErrorStash keep;
    if (close_reply(post, resp.get()) < 0) PyErr_Clear();  // the first error is the one to report
    return {};
  }
  RG_CHECK_OK(close_reply(post, resp.get()));
  return steal(PyTuple_Pack(2, status.get(), body.get()));
}

// A worker's job: (post, url, kwargs, read_body, outcome, done). The worker stores
// [result, None] or [None, exception] in `outcome`, then sets `done`. The outcome's two slots
// are in range, so PyList_SetItem cannot fail.
enum JobSlot { kPost, kUrl, kKwargs, kReadBody, kOutcome, kDone, kJobSize };

// Every exception is handed over, KeyboardInterrupt and SystemExit too: the waiting thread
// raises it where the request would have raised it in line, and this thread ends quietly.
PyObject* run_job(PyObject* job, PyObject* const*) {
  PyObject* outcome = PyTuple_GET_ITEM(job, kOutcome);
  Ref done = borrow(PyTuple_GET_ITEM(job, kDone));
  Ref result = exchange_here(PyTuple_GET_ITEM(job, kPost), PyTuple_GET_ITEM(job, kUrl),
                             PyTuple_GET_ITEM(job, kKwargs),
                             PyTuple_GET_ITEM(job, kReadBody) == Py_True);
  if (result) {
    PyList_SetItem(outcome, 0, result.release());
  } else if (Ref exc = catch_any()) {
    PyList_SetItem(outcome, 1, exc.release());
  }
  RG_CHECK(call_method(done, S("set")));
  Py_RETURN_NONE;
}

// Runs the exchange on a daemon worker; the host waits at most timeout + slack.
Ref exchange_with_deadline(PyObject* post, PyObject* url, PyObject* kwargs, PyObject* timeout,
                           bool read_body) {
  const double limit =
      ThreadDeadline::clip(timeout_seconds(timeout, constants::kShutdownFlushTimeout) + kDeadlineSlack);
  if (limit <= 0) {  // the caller's whole wait is used up: nothing is sent
    PyErr_SetString(PyExc_TimeoutError, "usage POST not sent: no time left to wait for it");
    return {};
  }
  RG_LET(threading, G("threading"));
  RG_LET(done, call_method(threading, S("Event")));
  RG_LET(outcome, steal(PyList_New(2)));
  PyList_SET_ITEM(outcome.get(), 0, Py_NewRef(Py_None));
  PyList_SET_ITEM(outcome.get(), 1, Py_NewRef(Py_None));
  RG_LET(job, steal(PyTuple_Pack(kJobSize, post, url, kwargs, read_body ? Py_True : Py_False,
                                 outcome.get(), done.get())));
  RG_LET(target, make_closure("_usage_post_worker", nullptr, run_job, job.get()));
  RG_LET(thread, daemon_thread(target.get(), S("orlune-usage-post")));
  RG_CHECK(call_method(thread, S("start")));

  RG_LET(limit_obj, floating(limit));
  RG_LET(finished, call_method(done, S("wait"), limit_obj));
  RG_TRUTH(in_time, finished.get());
  if (!in_time) {
    PyErr_Format(PyExc_TimeoutError, "usage POST still running after %.1f s; left to its worker",
                 limit);
    return {};
  }
  PyObject* error = PyList_GET_ITEM(outcome.get(), 1);
  if (error != Py_None) {  // raised here as it was raised there, traceback and all
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error))), Py_NewRef(error),
                  PyException_GetTraceback(error));
    return {};
  }
  PyObject* result = PyList_GET_ITEM(outcome.get(), 0);
  if (result == Py_None) {
    PyErr_SetString(PyExc_SystemError, "usage POST worker ended without a result");
    return {};
  }
  return borrow(result);
}

}  // namespace

Ref exchange(PyObject* post, PyObject* url, PyObject* envelope, PyObject* headers,
             PyObject* timeout, bool read_body, Wait wait) {
  RG_LET(kwargs, dict_of({{S("json"), envelope},
                           {S("headers"), headers},
                           {S("timeout"), timeout},
                           {S("allow_redirects"), Py_False},
                           {S("stream"), Py_True}}));
  if (wait == Wait::PerOperation) return exchange_here(post, url, kwargs.get(), read_body);
  return exchange_with_deadline(post, url, kwargs.get(), timeout, read_body);
}

}  // namespace rg
