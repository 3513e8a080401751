// The session store: JSON Lines in `_SESSIONS_FILE`, the last `_MAX_STORED` rows, rewritten
// whole through a temporary file and an atomic rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "component/store_state.hpp"
#include "module.hpp"
#include "registry.hpp"

namespace rg {

int mark_store_loaded(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_True); }

int mark_store_unread(PyObject* self) { return PyObject_SetAttr(self, S("_store_loaded"), Py_False); }

namespace {

// The flag, or null with no error set when the component was never started.
Ref loaded_flag(PyObject* self) {
  Ref flag = steal(PyObject_GetAttr(self, S("_store_loaded")));
  if (!flag && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
  return flag;
}

}  // namespace

int mark_unread_if_never_started(PyObject* self) {
  Ref flag = loaded_flag(self);
  if (flag) return 0;
  return PyErr_Occurred() ? -1 : mark_store_unread(self);
}

int make_usage_dir() {
  Ref usage_dir = TRY_INT(G("_USAGE_DIR"));
  Ref mkdir = TRY_INT(attr(usage_dir, S("mkdir")));
  Ref mode = TRY_INT(integer(0700));
  TRY_INT(call_kw(mkdir, {}, {{S("mode"), mode.get()}, {S("parents"), Py_True}, {S("exist_ok"), Py_True}}));
  return 0;
}

int store_writable(PyObject* self) {
  Ref flag = loaded_flag(self);
  if (!flag) return PyErr_Occurred() ? -1 : 1;
  return PyObject_IsTrue(flag.get());
}

namespace {

// rows[-_MAX_STORED:], read late like Python code would.
Ref last_stored(PyObject* rows) {
  Ref max_stored = TRY(G("_MAX_STORED"));
  Ref start = TRY(steal(PyNumber_Negative(max_stored.get())));
  Ref slice = TRY(steal(PySlice_New(start.get(), nullptr, nullptr)));
  return steal(PyObject_GetItem(rows, slice.get()));
}

// A line decoded with surrogateescape holds U+DC80..U+DCFF exactly where the file had bytes
// that are not UTF-8. Such a line is skipped like a line of invalid JSON: one bad byte must
// not end session tracking on the machine.
bool has_undecodable_bytes(PyObject* line) {
  const int kind = PyUnicode_KIND(line);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const void* data = PyUnicode_DATA(line);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xDC80 && c <= 0xDCFF) return true;
  }
  return false;
}

// Parses one stored line; returns the row, or null with no error set when the line is skipped.
Ref parse_row(PyObject* json, PyObject* decode_error, PyObject* line) {
  Ref stripped = TRY(call_method(line, S("strip")));
  if (PyUnicode_GET_LENGTH(stripped.get()) == 0 || has_undecodable_bytes(stripped.get())) return {};
  Ref row = call_method(json, S("loads"), stripped);
  if (!row) {
    // A line nested deeper than the parser's recursion limit is as unreadable as a broken one.
    if (PyErr_ExceptionMatches(decode_error) || PyErr_ExceptionMatches(PyExc_RecursionError))
      PyErr_Clear();
    return {};
  }
  if (!PyDict_Check(row.get())) return {};
  Ref id = TRY(call_method(row, S("get"), S("session_id")));
  int truth = PyObject_IsTrue(id.get());
  if (truth < 0) return {};
  return truth ? std::move(row) : Ref();
}

PyObject* load_store(PyObject*, PyObject* self) {
  if (mark_store_unread(self) < 0) return nullptr;
  Ref rows = TRY(steal(PyList_New(0)));
  if (PyObject_SetAttr(self, S("_sessions"), rows.get()) < 0) return nullptr;
  Ref path = TRY(G("_SESSIONS_FILE"));
  Ref exists = TRY(call_method(path, S("exists")));
  int present = PyObject_IsTrue(exists.get());
  if (present < 0) return nullptr;
  if (!present) return mark_store_loaded(self) < 0 ? nullptr : Py_NewRef(Py_None);

  Ref data = call_method(path, S("read_bytes"));
  if (!data) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
    PyErr_Clear();
    return mark_store_loaded(self) < 0 ? nullptr : Py_NewRef(Py_None);
  }
  Ref text = TRY(steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()),
                                            PyBytes_GET_SIZE(data.get()), "surrogateescape")));
  data = nullptr;
  Ref lines = TRY(call_method(text, S("splitlines")));
  Ref json = TRY(G("json"));
  Ref decode_error = TRY(attr(json, S("JSONDecodeError")));
  const Py_ssize_t n = PyList_GET_SIZE(lines.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref row = parse_row(json.get(), decode_error.get(), PyList_GET_ITEM(lines.get(), i));
    if (!row) {
      if (PyErr_Occurred()) return nullptr;
      continue;
    }
    if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
  }
  Ref max_stored = TRY(G("_MAX_STORED"));
  Ref count = TRY(integer(PyList_GET_SIZE(rows.get())));
  int over = PyObject_RichCompareBool(count.get(), max_stored.get(), Py_GT);
  if (over < 0) return nullptr;
  if (over) {
    Ref kept = TRY(last_stored(rows.get()));
    if (PyObject_SetAttr(self, S("_sessions"), kept.get()) < 0) return nullptr;
  }
  return mark_store_loaded(self) < 0 ? nullptr : Py_NewRef(Py_None);
}
RG_EXPORT(Method, "_load_store", load_store, METH_O, "_load_store(self)\n--\n\n");

// The store text: one compact JSON line per row, a newline after the last.
Ref store_text(PyObject* rows) {
  Ref json = TRY(G("json"));
  Ref dumps = TRY(attr(json, S("dumps")));
  Ref separators = TRY(steal(Py_BuildValue("(ss)", ",", ":")));
  Ref lines = TRY(steal(PyList_New(0)));
  Ref iter = TRY(steal(PyObject_GetIter(rows)));
  while (Ref row = steal(PyIter_Next(iter.get()))) {
    Ref line = TRY(call_kw(dumps, {row.get()}, {{S("separators"), separators.get()}}));
    if (PyList_Append(lines.get(), line.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  Ref newline = TRY(str("\n"));
  Ref text = TRY(steal(PyUnicode_Join(newline.get(), lines.get())));
  if (PyUnicode_GET_LENGTH(text.get()) == 0) return text;
  return steal(PyUnicode_Concat(text.get(), newline.get()));
}

struct WriteFailure {
  int error = 0;
  enum { kNone, kTemp, kRename } where = kNone;
};

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Writes the temporary file (owner-only: rows carry log text), syncs it, renames it over the
// store and syncs the directory, so a power cut leaves the old store or the new one, whole.
WriteFailure write_store(const std::string& tmp, const std::string& target, const std::string& dir,
                         const char* data, size_t size) {
  WriteFailure f;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return {errno, WriteFailure::kTemp};
  bool ok = ::fchmod(fd, 0600) == 0 && write_all(fd, data, size) && ::fsync(fd) == 0;
  int saved = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (!ok) return {saved, WriteFailure::kTemp};
  if (::rename(tmp.c_str(), target.c_str()) != 0) return {errno, WriteFailure::kRename};
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);  // best effort: some file systems refuse to sync a directory
    ::close(dfd);
  }
  return f;
}

bool fs_path(PyObject* path, std::string& out) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return false;
  out.assign(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
  Py_DECREF(encoded);
  return true;
}

// Everything of _persist_unlocked that may raise OSError; the caller logs that one.
int persist_rows(PyObject* self) {
  if (make_usage_dir() < 0) return -1;

  Ref sessions = TRY_INT(attr(self, S("_sessions")));
  Ref rows = TRY_INT(last_stored(sessions.get()));
  Ref text = TRY_INT(store_text(rows.get()));

  Ref target = TRY_INT(G("_SESSIONS_FILE"));
  Ref suffix = TRY_INT(str(".tmp"));
  Ref tmp = TRY_INT(call_method(target, S("with_suffix"), suffix));
  Ref parent = TRY_INT(attr(target, S("parent")));
  std::string tmp_path, target_path, dir_path;
  if (!fs_path(tmp.get(), tmp_path) || !fs_path(target.get(), target_path) ||
      !fs_path(parent.get(), dir_path))
    return -1;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!data) return -1;

  WriteFailure f;
  {
    GilRelease nogil;
    f = write_store(tmp_path, target_path, dir_path, data, static_cast<size_t>(size));
  }
  if (f.where == WriteFailure::kNone) return 0;
  errno = f.error;
  if (f.where == WriteFailure::kTemp)
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, tmp.get());
  else
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, tmp.get(), target.get());
  return -1;
}

PyObject* persist_unlocked(PyObject*, PyObject* self) {
  int writable = store_writable(self);
  if (writable < 0) return nullptr;
  if (!writable || persist_rows(self) == 0) Py_RETURN_NONE;
  if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
  Ref exc = catch_ordinary();
  TRY(log_at(S("debug"), "Could not persist usage store: %s", exc));
  Py_RETURN_NONE;
}
RG_EXPORT(Method, "_persist_unlocked", persist_unlocked, METH_O, "_persist_unlocked(self)\n--\n\n");

PyObject* persist(PyObject*, PyObject* self) {
  Ref lock = TRY(attr(self, S("_lock")));
  LockGuard held(lock.get());
  if (!held.ok()) return nullptr;
  Ref done = call_method(self, S("_persist_unlocked"));
  if (!held.unlock() || !done) return nullptr;
  Py_RETURN_NONE;
}
RG_EXPORT(Method, "_persist", persist, METH_O, "_persist(self)\n--\n\n");

}  // namespace

}  // namespace rg
