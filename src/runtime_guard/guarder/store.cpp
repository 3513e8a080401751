// The store's members: _load_store, _persist_unlocked and _persist.
#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "guarder/guarder.hpp"

namespace rg {
int mark_store_loaded(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_True); }
int mark_store_unread(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_False); }

int mark_unread_if_never_started(PyObject* self) {
  const Answer started = hasattr(self, S("_store_loaded"));
  if (started == Answer::kFailed) return -1;
  return started == Answer::kYes ? 0 : mark_store_unread(self);
}

int make_usage_dir() {
  RG_LET(usage_dir, G("_USAGE_DIR"));
  RG_LET(mkdir, attr(usage_dir, S("mkdir")));
  RG_LET(mode, integer(0700));
  RG_CHECK(call_kw(mkdir, {}, {{S("mode"), mode.get()}, {S("parents"), Py_True}, {S("exist_ok"), Py_True}}));
  return 0;
}

int closing(PyObject* file, int status) {
  if (PyBytes_Check(file)) return status;  // what a path's own read_bytes returned
  if (status == 0) return call_method(file, S("close")) ? 0 : -1;
  ErrorStash keep;  // the step's error, not the close's
  Ref closed = call_method(file, S("close"));
  PyErr_Clear();
  return -1;
}

namespace {
// A path whose type has its own read_bytes (a host's substitute) is read through it, as Python
// code would; a plain one through open().
Ref store_file(PyObject* path) {
  RG_LET(own_read, attr(reinterpret_cast<PyObject*>(Py_TYPE(path)), S("read_bytes")));
  RG_LET(path_class, G("Path"));
  RG_LET(plain_read, attr(path_class, S("read_bytes")));
  if (own_read.get() == plain_read.get()) return open_file(path, "rb");
  RG_LET(data, call_method(path, S("read_bytes")));
  if (!PyObject_CheckBuffer(data.get()))
    return PyErr_Format(PyExc_TypeError, "decoding to str: need a bytes-like object, %.80s found",
                        Py_TYPE(data.get())->tp_name), Ref();
  return steal(PyBytes_FromObject(data.get()));
}
}  // namespace

int log_cut(Py_ssize_t limit) {
  RG_LET(bound, integer(limit));
  RG_CHECK(log_at(S("debug"), "Usage store is larger than %s bytes; the lines before its last %s "
                                  "bytes were not read", bound, bound));
  return 0;
}

int no_rows(StoreRows& rows) {
  for (Ref* list : {&rows.rows, &rows.keys, &rows.lines}) RG_CHECK(*list = List::fresh(PyList_New(0)));
  return 0;
}

bool unreadable() {
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return false;
  PyErr_Clear();
  return true;
}

namespace guarder {
// A failed load leaves the loaded state as it was: only start-up, which marks the store unread
// before it loads, keeps its later writes off a store it could not read.
RG_DEF(Method, 6, _load_store, "_load_store(self)", "")
Ref _load_store(PyObject* self) {
  List rows = List::fresh(PyList_New(0));
  RG_CHECK(rows);
  RG_CHECK_OK(PyObject_SetAttr(self, S("_sessions"), rows.get()));
  RG_LET(path, G("_SESSIONS_FILE"));
  RG_LET(exists, call_method(path, S("exists")));
  RG_TRUTH(present, exists);
  StoreRows loaded;
  bool cut = false;
  if (!present) RG_CHECK_OK(no_rows(loaded));
  if (present) {
    StoreLock lock;  // waits out a write in progress; goes on unlocked if it cannot have it
    RG_CHECK_OK(lock.acquire(path.get(), false));
    TailBounds bounds;
    RG_CHECK_OK(bounds.load());
    JsonCodec codec;
    RG_CHECK_OK(codec.open());
    Ref file = store_file(path.get());
    if (!file && !unreadable()) return {};
    RG_CHECK_OK(read_rows(file.get(), bounds, codec, nullptr, loaded, cut));
    if (cut) RG_CHECK_OK(log_cut(bounds.max_bytes));
  }
  RG_CHECK_OK(PyList_SetSlice(rows.get(), 0, rows.size(), loaded.rows.get()));
  Synced synced{std::move(loaded.keys), std::move(loaded.lines)};
  RG_LET(max_stored, G("_MAX_STORED"));
  RG_LET(count, integer(rows.size()));
  const int over = PyObject_RichCompareBool(count.get(), max_stored.get(), Py_GT);
  RG_CHECK_OK(over);
  if (over) {
    RG_LET(kept, last_stored(rows.get()));
    RG_CHECK_OK(PyObject_SetAttr(self, S("_sessions"), kept.get()));
    RG_CHECK(synced.keys = List::of(last_stored(synced.keys.get())));
    RG_CHECK(synced.lines = List::of(last_stored(synced.lines.get())));
  }
  RG_CHECK_OK(synced.save(self));
  RG_CHECK_OK(mark_store_loaded(self));
  return none();
}
}  // namespace guarder
}  // namespace rg
