// RuntimeGuarder, the host's ApplicationComponent subclass, and its members in this folder.
// The session store: JSON Lines in `_SESSIONS_FILE`, the last `_MAX_STORED` rows, read from its
// end and rewritten whole through a temporary file and an atomic rename. Another instance may
// share the file: every write happens under the store lock and merges with what is on disk.
#pragma once
#include <cstdint>
#include <string_view>

#include "capi/buffer.hpp"
#include "capi/guard.hpp"
#include "store_lines/codec.hpp"
#include "platform/file_ops.hpp"

namespace rg {
// The class statement: the members in definition order, the class made by calling the base's
// metaclass, so whatever metaclass the host uses (ABCMeta, say) is the class's metaclass too.
Ref guarder_class(PyObject* module, const char* module_name);

struct FlushUpload {
  PyObject *self, *url, *api_key, *token_id, *plan, *timeout;
  bool allow_empty;
};
// Sends what fits of `pending` (row copies); marks flushed the rows the server accepted.
int upload_pending(const FlushUpload& job, const List& pending);
// Whether this runs on the start-up flush's own thread, which nobody waits for: its flush
// waits per operation, not on the wall clock, and may send a backlog in several uploads.
Answer on_background_flush_thread();


Ref last_stored(PyObject* rows);  // rows[-_MAX_STORED:], read late like Python code would
// json.dumps/loads, looked up per store operation; native while json is the interpreter's own.
struct JsonCodec {
  Ref json, dumps, separators;
  bool native = false;
  mutable Buffer<char> scratch;
  int open();
  // json.dumps(row, separators=(",", ":")); `known` (a str or null) when it is that line.
  Ref line(PyObject* row, PyObject* known = nullptr) const;
  // A stripped stored line (str): the row, or null with no error set when it holds none.
  Ref parse(PyObject* text) const;
};

Ref stripped_text(std::string_view line);  // str.strip() of its text (bad UTF-8 as surrogates)
// A session id as a dict key: a str or None itself, any other value (a hand-edited store) a
// one-tuple of its repr, so even a list can be a key.
Ref id_key(PyObject* id);
Ref session_key(PyObject* row);  // id_key(row["session_id"]); None when missing or no dict
int row_flag(PyObject* row, PyObject* key);  // the truth of row.get(key); -1 on error
Ref row_content(PyObject* row);  // the row without "flushed": what a delivery vouches for

struct TailBounds {
  Py_ssize_t max_bytes = 0, max_line = 0, rows_wanted = 0;  // rows_wanted 0: no such stop
  int load();
};

// Takes the lines read, newest first: whether the line holds a row (one more of the rows
// wanted). Sets `done` to stop the reading.
class LineSink {
 public:
  virtual bool wants(std::uint64_t /*file_size*/) { return true; }  // false: nothing is read
  virtual Answer take(std::string_view line) = 0;
  bool done = false;
 protected:
  ~LineSink() = default;
};

Ref open_file(PyObject* path, const char* mode);  // open(path, mode, 0), late-bound
// file.<method>(memoryview of n bytes at p, released after): the count returned (None: 0); -1.
Py_ssize_t through_view(PyObject* file, PyObject* method, char* p, Py_ssize_t n, int access);
int closing(PyObject* file, int status);  // file.close(); a failed step's error wins
bool unreadable();  // the error set is an OSError, now cleared: such a store holds no rows
// Reads the open store (or its bytes) from its end until the sink has the rows wanted. `cut`:
// lines before the byte bound were left unread while rows were still wanted.
int read_tail(PyObject* file, const TailBounds& bounds, LineSink& sink, bool& cut);
int log_cut(Py_ssize_t limit);

struct StoreRows {
  List rows, keys, lines;  // in file order
};
int no_rows(StoreRows& rows);
// Reads the rows, then closes the file; no file (null) or an unreadable one gives no rows. A
// line that is a key of `known` ({line: key} or null) is not parsed: its row is None.
int read_rows(PyObject* file, const TailBounds& bounds, const JsonCodec& codec, PyObject* known,
              StoreRows& rows, bool& cut);

// Per row as last read or written, in list order: its key and line (the last _MAX_STORED of
// them are the rows the file held then). Kept on the component as `_store_synced`.
struct Synced {
  List keys, lines;
  Ref key_of, line_of;  // {line: key} (made by index_lines) and {key: line} (made by load)
  int load(PyObject* self);
  // Only a store that changed on disk needs it: hashing a full store's lines costs milliseconds.
  int index_lines();
  int save(PyObject* self) const;
};

// Merges the component's rows into the file's: rows this process created or changed since it
// last synced carry its version, every other row stays as the file has it, rows new to the
// file go at the end; `current` (the key of this process's session) stays even when the file
// lost it. Rows of `mine` that stay are updated in place.
int merge_rows(const JsonCodec& codec, const Synced& synced, const StoreRows& mine, PyObject* current,
               StoreRows& disk, StoreRows& out);

// `_store_loaded`: absent (never started: written as usual), False (unread: not written, or every
// stored row would be replaced with none), True (read).
int mark_store_loaded(PyObject* self);
int mark_store_unread(PyObject* self);
int mark_unread_if_never_started(PyObject* self);
int make_usage_dir();  // _USAGE_DIR.mkdir(mode=0o700, parents=True, exist_ok=True)
Ref fs_text(PyObject* path);    // os.fspath(path)
Bytes fs_path(PyObject* path);  // os.fsencode(path): the NUL-terminated name OS calls take
int raise_os_error(int error, PyObject* path);  // the OSError os functions raise; -1

// The store lock ("sessions.lock" beside the store, there while held) for one scope around each
// read-modify-write, never across the network. A thread holding it passes through.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  // 0 when held or when no lock file can be made (nobody can write the store then). Still
  // busy after a bounded wait: OSError when `required`, else 0, unlocked. -1 on a signal.
  int acquire(PyObject* store_path, bool required);
 private:
  Bytes path_;
  platform::FileLock lock_;
  StoreLock* outer_ = nullptr;
  bool installed_ = false;
};

// A running component holds "session-<id>.lock" beside the store; the OS drops it when the
// process dies, so a row whose lock is held belongs to a live process and is not stale.
int hold_session_lock(PyObject* self);
int release_session_lock(PyObject* self);
Ref live_session_ids();  // the ids whose lock is held; dead owners' files go on the way
}  // namespace rg
