// Coordination between processes that share one store file.
//
// - The store lock ("sessions.lock" beside the store, there only while held) is held around
//   every read-modify-write of the store, and only for the file work, never across the network.
// - Each running component holds a session lock ("session-<id>.lock" beside the store) for its
//   life; the OS drops it when the process dies, so a row whose lock is held belongs to a live
//   process and is not stale.
#pragma once

#include "platform/file_ops.hpp"
#include "capi/py.hpp"

namespace rg {

// os.fsencode(path): bytes, whose buffer is the NUL-terminated name the OS calls take. Kept as
// a Python object, so running out of memory is a MemoryError.
Ref fs_path(PyObject* path);
inline const char* fs_name(const Ref& encoded) { return PyBytes_AS_STRING(encoded.get()); }

// Raises the OSError for `error` on `path`, named as Python's os functions name it. Returns -1.
int raise_os_error(int error, PyObject* path);

// The store lock for one scope. A thread that already holds it passes through, so start-up can
// hold it from the load to the first write while the write takes it too.
class StoreLock {
 public:
  StoreLock() = default;
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // Takes the lock of the store at `store_path` (a path object), waiting a bounded time.
  // 0 when held, or when no lock file can be made there (a read-only directory: nobody can
  // write the store then). Still busy at the bound: -1 with OSError when `required`, else 0
  // and the caller goes on unlocked. -1 also when a signal handler raises while waiting.
  int acquire(PyObject* store_path, bool required);

 private:
  Ref path_;  // fs_path of the lock file
  platform::FileLock lock_;
  StoreLock* outer_ = nullptr;
  bool installed_ = false;
};

// Takes the session lock of the component's current session (after _start_session). Not being
// able to lock is no error: the row is then only as protected as it was without the lock.
int hold_session_lock(PyObject* self);

// Drops the session lock and removes its file (cleanup). -1 only when Python fails.
int release_session_lock(PyObject* self);

// The session ids whose owner still holds its lock, as a set of str; lock files of dead owners
// are removed on the way.
Ref live_session_ids();

}  // namespace rg
