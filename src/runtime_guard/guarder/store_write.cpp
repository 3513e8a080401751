// Writing the store under its lock, merged with what another instance wrote meanwhile, through a
// synced temporary file renamed over it: a crash leaves the old store or the new one, whole.

#include "capi/declare.hpp"
#include "capi/scope.hpp"
#include "capi/call.hpp"
#include "guarder/guarder.hpp"

namespace rg {
namespace {
// Whether the file holds exactly the lines this component last synced, newest first: the usual
// case (one process alone) settled without an object made, and unread when the sizes differ.
class SameLines final : public LineSink {
 public:
  explicit SameLines(const List& expected) : expected_(expected), next_(expected.size()) {}
  int open() {
    for (Py_ssize_t j = 0; j < expected_.size(); ++j) {
      Str line = Str::probe(expected_.at(j));
      Py_ssize_t n = 0;
      if (line && !PyUnicode_AsUTF8AndSize(line.get(), &n)) return -1;
      bytes_ += static_cast<std::uint64_t>(n) + 1;
    }
    return 0;
  }
  bool wants(std::uint64_t file_size) override { return file_size == bytes_; }
  Answer take(std::string_view line) override {
    Str text = Str::probe(next_ > 0 ? expected_.at(--next_) : nullptr);
    Py_ssize_t n = 0;
    const char* p = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (text && !p) return failed;
    done = !p || line != std::string_view(p, static_cast<std::size_t>(n));
    return done ? Answer::kNo : Answer::kYes;
  }
  bool same() const { return !done && next_ == 0; }
 private:
  const List& expected_;
  Py_ssize_t next_;
  std::uint64_t bytes_ = 0;
};

// The keys and compact lines of `mine.rows`. A row whose line is the one last synced for its
// key shares that str: a full store's unchanged rows are not copied again.
int rows_to_lines(const JsonCodec& codec, StoreRows& mine, const Synced& synced) {
  const Py_ssize_t n = mine.rows.size();
  RG_CHECK(mine.keys = List::fresh(PyList_New(n)));
  RG_CHECK(mine.lines = List::fresh(PyList_New(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    RG_LET(key, session_key(mine.rows.at(i)));
    PyObject* known = PyDict_GetItemWithError(synced.line_of.get(), key.get());  // borrowed
    if (!known && PyErr_Occurred()) return -1;
    RG_LET(line, codec.line(mine.rows.at(i), known));
    mine.lines.set(i, std::move(line));
    mine.keys.set(i, std::move(key));
  }
  return 0;
}

int write_all(PyObject* file, const char* p, Py_ssize_t n) {
  while (n > 0) {
    const Py_ssize_t k = through_view(file, S("write"), const_cast<char*>(p), n, PyBUF_READ);
    RG_CHECK_OK(k);
    if (k == 0 || k > n) return PyErr_SetString(PyExc_OSError, "short write to the usage store"), -1;
    p += k;
    n -= k;
  }
  return 0;
}

// The lines, each followed by "\n", through a small buffer: few calls of file.write() for many
// short rows, and no copy of a whole store (megabytes) at once.
int write_lines(PyObject* file, const List& lines) {
  constexpr std::size_t kStep = 256 * 1024;
  Buffer<char> step;
  auto put = [&](const char* p, std::size_t n) -> int {
    for (std::size_t k; n > 0; p += k, n -= k) {
      if (step.size() == kStep) {
        RG_CHECK_OK(write_all(file, step.data(), kStep));
        step.clear();
      }
      k = std::min(n, kStep - step.size());
      if (!step.append(p, k)) return -1;
    }
    return 0;
  };
  for (Py_ssize_t i = 0; i < lines.size(); ++i) {
    Str line = Str::probe(lines.at(i));
    if (!line) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                   Py_TYPE(lines.at(i))->tp_name);
      return -1;
    }
    Py_ssize_t n = 0;
    const char* data = PyUnicode_AsUTF8AndSize(line.get(), &n);
    RG_CHECK(data);
    RG_CHECK_OK(put(data, static_cast<std::size_t>(n)));
    RG_CHECK_OK(put("\n", 1));
  }
  return write_all(file, step.data(), static_cast<Py_ssize_t>(step.size()));
}

// os.open(path, O_WRONLY | O_CREAT | O_TRUNC [| O_BINARY], 0o600), then open(fd, "wb", 0): no
// moment with the default permissions. A descriptor open() refuses is closed.
Ref create_owner_only(PyObject* path) {
  RG_LET(os, G("os"));
  RG_LET(no_bits, integer(0));
  Ref flags = borrow(no_bits.get());
  for (PyObject* name : {S("O_WRONLY"), S("O_CREAT"), S("O_TRUNC"), S("O_BINARY")}) {
    RG_LET(flag, attr_or(os.get(), name, no_bits.get()));  // O_BINARY: Windows only
    RG_CHECK(flags = steal(PyNumber_Or(flags.get(), flag.get())));
  }
  RG_LET(name, fs_text(path));
  RG_LET(mode, integer(0600));
  RG_LET(fd, call_method(os, S("open"), name, flags, mode));
  Ref file = open_file(fd.get(), "wb");
  if (!file) {
    ErrorStash keep;  // open()'s error, not close's
    Ref closed = call_method(os, S("close"), fd);
    PyErr_Clear();
  }
  return file;
}

// The lines to the temporary file beside the store (owner-only even when one was left with other
// permissions, synced with the GIL released), renamed over the store by the path's own replace.
int write_store(PyObject* target, const List& lines) {
  RG_LET(suffix, str(".tmp"));
  RG_LET(tmp, call_method(target, S("with_suffix"), suffix));
  RG_LET(parent, attr(target, S("parent")));
  Bytes tmp_name = fs_path(tmp.get()), dir_name = tmp_name ? fs_path(parent.get()) : Bytes();
  RG_CHECK(dir_name);
  RG_LET(file, create_owner_only(tmp.get()));
  const int fd = PyObject_AsFileDescriptor(file.get());
  int status = fd < 0 ? -1 : 0;
  if (status == 0) {
    int error = platform::restrict_to_owner(fd, tmp_name.data());
    if (!error) status = write_lines(file.get(), lines);
    if (!error && status == 0) {
      GilRelease nogil;
      error = platform::sync_file(fd);
    }
    if (error) status = raise_os_error(error, tmp.get());
  }
  RG_CHECK_OK(closing(file.get(), status));
  RG_CHECK(call_method(tmp, S("replace"), target));
  GilRelease nogil;
  platform::sync_directory(dir_name.data());
  return 0;
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
  StoreRows mine;
  RG_CHECK(mine.rows = List::fresh(PySequence_List(tail.get())));
  Synced synced;
  RG_CHECK_OK(synced.load(self));
  RG_CHECK_OK(rows_to_lines(codec, mine, synced));
  TailBounds bounds;
  RG_CHECK_OK(bounds.load());
  List in_file = List::of(last_stored(synced.lines.get()));
  RG_CHECK(in_file);
  Ref file = open_file(target.get(), "rb");
  if (!file && !unreadable()) return -1;
  bool cut = false, unchanged = false;
  if (file) {
    SameLines same(in_file);
    const int status = same.open() < 0 ? -1 : read_tail(file.get(), bounds, same, cut);
    unchanged = status == 0 && same.same();
    if (status < 0 || unchanged) {
      if (closing(file.get(), status) < 0 && !unreadable()) return -1;
      file = Ref();
    }
  }
  StoreRows disk, merged;
  if (!unchanged) {
    RG_CHECK_OK(synced.index_lines());
    RG_CHECK_OK(read_rows(file.get(), bounds, codec, synced.key_of.get(), disk, cut));
    const int equal = PyObject_RichCompareBool(disk.lines.get(), in_file.get(), Py_EQ);
    RG_CHECK_OK(equal);
    unchanged = equal;
    if (cut && !unchanged) RG_CHECK_OK(log_cut(bounds.max_bytes));  // unchanged: the load said so
    if (!unchanged) {
      RG_LET(current, attr_or(self, S("_current_id"), Py_None));  // "" before a session started
      RG_CHECK_OK(merge_rows(codec, synced, mine, current.get(), disk, merged));
    }
  }
  const StoreRows& written = unchanged ? mine : merged;
  List lines = List::of(last_stored(written.lines.get()));
  RG_CHECK(lines);
  RG_CHECK_OK(write_store(target.get(), lines));
  PyObject* held = sessions.get();  // keeps its identity when it is a list
  if (!unchanged) {
    RG_CHECK_OK(PyList_Check(held) ? PyList_SetSlice(held, 0, PyList_Size(held), merged.rows.get())
                                   : PyObject_SetAttr(self, S("_sessions"), merged.rows.get()));
  }
  return Synced{List::borrowed(written.keys.get()), List::borrowed(written.lines.get())}.save(self);
}
}  // namespace

namespace guarder {
RG_DEF(Method, 8, _persist_unlocked, "_persist_unlocked(self)", "")
Ref _persist_unlocked(PyObject* self) {
  RG_LET(loaded, attr_or(self, S("_store_loaded"), Py_True));  // never started: written as usual
  RG_TRUTH(writable, loaded);
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
