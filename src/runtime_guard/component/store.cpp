// The session store: JSON Lines in `_SESSIONS_FILE`, the last `_MAX_STORED` rows, read from
// its end (store_reader.hpp) and rewritten whole through a temporary file and an atomic
// rename. Another running instance may share the file, so every write happens under the store
// lock and merges with what is on disk.
#include <cstdint>
#include <string_view>

#include "component/store_bytes.hpp"
#include "component/store_lock.hpp"
#include "component/store_merge.hpp"
#include "component/store_reader.hpp"
#include "component/store_state.hpp"
#include "capi/module_scope.hpp"
#include "platform/file_ops.hpp"
#include "capi/declare.hpp"
#include "capi/values.hpp"

namespace rg {

int mark_store_loaded(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_True); }

int mark_store_unread(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_False); }

int mark_unread_if_never_started(PyObject* self) {
  const int started = has_attr(self, S("_store_loaded"));
  RG_CHECK_OK(started);
  return started ? 0 : mark_store_unread(self);
}

int make_usage_dir() {
  RG_LET(usage_dir, G("_USAGE_DIR"));
  RG_LET(mkdir, attr(usage_dir, S("mkdir")));
  RG_LET(mode, integer(0700));
  RG_CHECK(call_kw(mkdir, {}, {{S("mode"), mode.get()}, {S("parents"), Py_True}, {S("exist_ok"), Py_True}}));
  return 0;
}

int store_writable(PyObject* self) {
  RG_LET(flag, attr_or(self, S("_store_loaded"), Py_True));  // never started: written as usual
  return PyObject_IsTrue(flag.get());
}

namespace {

// What path.read_bytes() returned, as bytes; anything else raises the TypeError that decoding
// it would.
Ref as_bytes(Ref data) {
  if (!data || PyBytes_Check(data.get())) return data;
  if (PyObject_CheckBuffer(data.get())) return steal(PyBytes_FromObject(data.get()));
  PyErr_Format(PyExc_TypeError, "decoding to str: need a bytes-like object, %.80s found",
               Py_TYPE(data.get())->tp_name);
  return {};
}

Ref new_list() { return steal(PyList_New(0)); }

// A path whose type has its own read_bytes (a host's substitute) is read through it, as Python
// code would; a plain path natively, from its end.
int read_loaded(PyObject* path, const TailBounds& bounds, LineSink& sink, bool& cut) {
  RG_LET(path_type_read, attr(reinterpret_cast<PyObject*>(Py_TYPE(path)), S("read_bytes")));
  RG_LET(path_class, G("Path"));
  RG_LET(plain_read, attr(path_class, S("read_bytes")));
  if (path_type_read.get() == plain_read.get()) return read_store_tail(path, bounds, sink, cut);
  RG_LET(data, as_bytes(call_method(path, S("read_bytes"))));
  return read_bytes_tail(data.get(), bounds, sink, cut);
}

int log_cut(Py_ssize_t limit) {
  RG_LET(bound, integer(limit));
  RG_CHECK(log_at(S("debug"), "Usage store is larger than %s bytes; the lines before its last %s "
                                  "bytes were not read", bound, bound));
  return 0;
}

// Records an empty store (missing or unreadable) as what this component last read.
int loaded_nothing(PyObject* self) {
  Synced none;
  RG_CHECK(none.keys = new_list());
  RG_CHECK(none.lines = new_list());
  RG_CHECK_OK(none.save(self));
  return mark_store_loaded(self);
}

}  // namespace

namespace guarder {

// A failed load leaves the loaded state as it was: only start-up, which marks the store unread
// before it loads, keeps its later writes off a store it could not read.
RG_DEF(Method, 6, _load_store, "_load_store(self)", "")
Ref _load_store(PyObject* self) {
  RG_LET(rows, new_list());
  RG_CHECK_OK(PyObject_SetAttr(self, S("_sessions"), rows.get()));
  RG_LET(path, G("_SESSIONS_FILE"));
  RG_LET(exists, call_method(path, S("exists")));
  const int present = PyObject_IsTrue(exists.get());
  RG_CHECK_OK(present);
  if (!present) {
    RG_CHECK_OK(loaded_nothing(self));
    return none();
  }

  StoreLock lock;  // waits out a write in progress; goes on unlocked if it cannot have it
  RG_CHECK_OK(lock.acquire(path.get(), false));
  TailBounds bounds;
  RG_CHECK_OK(bounds.load());
  JsonCodec codec;
  RG_CHECK_OK(codec.open());
  LoadedRows loaded(codec);
  RG_CHECK_OK(loaded.open());
  bool cut = false;
  if (read_loaded(path.get(), bounds, loaded, cut) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
    PyErr_Clear();
    RG_CHECK_OK(loaded_nothing(self));
    return none();
  }
  if (cut) RG_CHECK_OK(log_cut(bounds.max_bytes));
  Synced synced;
  RG_CHECK_OK(loaded.finish(rows.get(), synced));
  RG_LET(max_stored, G("_MAX_STORED"));
  RG_LET(count, integer(PyList_GET_SIZE(rows.get())));
  const int over = PyObject_RichCompareBool(count.get(), max_stored.get(), Py_GT);
  RG_CHECK_OK(over);
  if (over) {
    RG_LET(kept, last_stored(rows.get()));
    RG_CHECK_OK(PyObject_SetAttr(self, S("_sessions"), kept.get()));
    RG_CHECK(synced.keys = last_stored(synced.keys.get()));
    RG_CHECK(synced.lines = last_stored(synced.lines.get()));
  }
  RG_CHECK_OK(synced.save(self));
  RG_CHECK_OK(mark_store_loaded(self));
  return none();
}

}  // namespace guarder

namespace {

// Writes the lines to the temporary file beside the store (natively, the GIL released), moves
// it over the store with the path's own replace, then syncs the directory, so a crash at any
// moment leaves the old store or the new one, whole.
int write_store(PyObject* target, PyObject* lines) {
  RG_LET(suffix, str(".tmp"));
  RG_LET(tmp, call_method(target, S("with_suffix"), suffix));
  RG_LET(parent, attr(target, S("parent")));
  RG_LET(tmp_path, fs_path(tmp.get()));
  RG_LET(dir_path, fs_path(parent.get()));
  FallibleVector<platform::Piece> pieces;
  RG_CHECK_OK(store_pieces(lines, pieces));
  int error;
  {
    GilRelease nogil;
    error = platform::write_durable(fs_name(tmp_path), pieces.begin(), pieces.size());
  }
  RG_CHECK_OK(PyErr_CheckSignals());
  if (error) return raise_os_error(error, tmp.get());
  RG_CHECK(call_method(tmp, S("replace"), target));
  GilRelease nogil;
  platform::sync_directory(fs_name(dir_path));
  return 0;
}

// Whether the store file still holds exactly the rows this component last read or wrote, one
// line each, as its reader would read them (each line within the line bound, the whole within
// the byte bound): the usual case, one process alone, settled without a buffer the size of the
// store. 0 sends the caller to the reader (also for a record it cannot lay out: that read
// reports what is wrong with it).
int still_synced(PyObject* target, const Synced& synced, const TailBounds& bounds) {
  FallibleVector<platform::Piece> expected;
  Ref lines = last_stored(synced.lines.get());
  if (!lines || store_pieces(lines.get(), expected) < 0) return swallow_ordinary() ? 0 : -1;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < expected.size(); i += 2) {  // each line, then its "\n"
    const std::size_t n = expected[i].size;
    if (n == 0 || n > static_cast<std::uint64_t>(bounds.max_line)) return 0;
    total += n + 1;
  }
  if (total > static_cast<std::uint64_t>(bounds.max_bytes)) return 0;
  RG_LET(name, fs_path(target));
  return file_holds(fs_name(name), expected);
}

// The keys and compact lines of `rows`. A row whose line is the one last synced for its key
// shares that str: a full store's unchanged rows are not copied again.
int rows_to_lines(const JsonCodec& codec, PyObject* rows, const Synced& synced, Ref& keys, Ref& lines) {
  RG_LET(synced_line_of, steal(PyDict_New()));
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(synced.keys.get()); ++j)
    RG_CHECK_OK(PyDict_SetItem(synced_line_of.get(), PyList_GET_ITEM(synced.keys.get(), j),
                               PyList_GET_ITEM(synced.lines.get(), j)));
  const Py_ssize_t n = PyList_GET_SIZE(rows);
  RG_CHECK(keys = steal(PyList_New(n)));
  RG_CHECK(lines = steal(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* row = PyList_GET_ITEM(rows, i);
    RG_LET(key, session_key(row));
    PyObject* known = PyDict_GetItemWithError(synced_line_of.get(), key.get());  // borrowed
    if (!known && PyErr_Occurred()) return -1;
    RG_LET(line, codec.line(row, known));
    PyList_SET_ITEM(lines.get(), i, line.release());
    PyList_SET_ITEM(keys.get(), i, key.release());
  }
  return 0;
}

// The component's rows become the merged ones; the list object stays the same.
int take_merged(PyObject* self, PyObject* sessions, PyObject* merged) {
  if (PyList_Check(sessions)) return PyList_SetSlice(sessions, 0, PyList_GET_SIZE(sessions), merged);
  return PyObject_SetAttr(self, S("_sessions"), merged);
}

// Everything of _persist_unlocked that may raise OSError; the caller logs that one.
int persist_rows(PyObject* self) {
  RG_CHECK_OK(make_usage_dir());
  RG_LET(target, G("_SESSIONS_FILE"));
  StoreLock lock;
  RG_CHECK_OK(lock.acquire(target.get(), true));

  JsonCodec codec;
  RG_CHECK_OK(codec.open());
  RG_LET(sessions, attr(self, S("_sessions")));
  RG_LET(tail, last_stored(sessions.get()));
  RG_LET(rows, steal(PySequence_List(tail.get())));
  Synced synced;
  RG_CHECK_OK(synced.load(self));
  Ref keys, lines;
  RG_CHECK_OK(rows_to_lines(codec, rows.get(), synced, keys, lines));

  TailBounds bounds;
  RG_CHECK_OK(bounds.load());
  int unchanged = still_synced(target.get(), synced, bounds);
  RG_CHECK_OK(unchanged);
  Ref on_disk, disk_rows;
  std::string_view disk;
  if (!unchanged) {
    bool cut = false;
    on_disk = read_disk_rows(target.get(), bounds, codec, synced.lines.get(), cut, disk_rows);
    if (!on_disk) {
      if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
      PyErr_Clear();  // an unreadable store holds nothing to keep, as at load
      cut = false;
      RG_CHECK(on_disk = steal(PyBytes_FromStringAndSize(nullptr, 0)));
      RG_CHECK(disk_rows = new_list());
    }
    disk = std::string_view(PyBytes_AS_STRING(on_disk.get()), static_cast<size_t>(PyBytes_GET_SIZE(on_disk.get())));
    unchanged = synced.matches(disk);
    RG_CHECK_OK(unchanged);
    if (cut && !unchanged) RG_CHECK_OK(log_cut(bounds.max_bytes));  // unchanged: the load said so
  }

  Synced written;
  Ref merged_rows;
  if (unchanged) {
    written.keys = std::move(keys);
    written.lines = std::move(lines);
  } else {
    Merged merged;
    RG_LET(current, attr_or(self, S("_current_id"), Py_None));  // "" before a session started
    RG_CHECK_OK(merge_into_store(codec, synced, rows.get(), keys.get(), lines.get(), current.get(), disk,
                                 disk_rows.get(), merged));
    written.keys = std::move(merged.keys);
    written.lines = std::move(merged.lines);
    merged_rows = std::move(merged.rows);
  }
  on_disk = Ref();
  RG_LET(in_file, last_stored(written.lines.get()));
  RG_CHECK_OK(write_store(target.get(), in_file.get()));
  if (merged_rows) RG_CHECK_OK(take_merged(self, sessions.get(), merged_rows.get()));
  return written.save(self);
}

}  // namespace

namespace guarder {

RG_DEF(Method, 8, _persist_unlocked, "_persist_unlocked(self)", "")
Ref _persist_unlocked(PyObject* self) {
  const int writable = store_writable(self);
  RG_CHECK_OK(writable);
  if (!writable || persist_rows(self) == 0) {
    RG_CHECK_OK(PyErr_CheckSignals());
    return none();
  }
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return {};
  Ref exc = catch_ordinary();
  RG_CHECK(log_at(S("debug"), "Could not persist usage store: %s", exc));
  return none();
}

// with self._lock: self._persist_unlocked()
RG_DEF(Method, 7, _persist, "_persist(self)", "")
Ref _persist(PyObject* self) {
  RG_LET(lock, attr(self, S("_lock")));
  RG_CHECK_OK(with_lock(lock.get(), [&] { return call_method(self, S("_persist_unlocked")) ? 0 : -1; }));
  return none();
}

}  // namespace guarder

}  // namespace rg
