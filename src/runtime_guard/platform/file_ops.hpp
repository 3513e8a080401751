// What the store needs of the OS that Python does not offer: advisory file locks, a sync that
// reaches the disk (with the directory's entry), and owner-only permissions. Plain C++ with no
// Python in it, so callers run it with the GIL released. file_ops_posix.cpp or
// file_ops_windows.cpp implements it; CMake picks one.
#pragma once

#include <cstdint>

namespace rg::platform {

enum class LockAttempt { kHeld, kBusy, kFailed };

// An exclusive advisory lock, held while this object keeps its file open. The OS drops it when
// the process dies, however it dies.
class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& o) : handle_(o.handle_) { o.handle_ = -1; }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { release(); }
  bool held() const { return handle_ != -1; }
  void release();

 private:
  friend LockAttempt try_lock(const char*, FileLock&);
  std::intptr_t handle_ = -1;  // a file descriptor, or a Windows HANDLE
};

// Opens `path` (created owner-only when missing) and tries once to lock it: kBusy when another
// holder has it, kFailed when it cannot be opened or locked. A lock file removed by someone
// else between the open and the lock is opened again.
LockAttempt try_lock(const char* path, FileLock& out);

// Whether a live process holds the lock on `path`. A lock file nobody holds is removed, so the
// files of dead owners do not pile up. False when the file is missing or unreadable.
bool lock_is_held(const char* path);

// Syncs the open file `fd` to the disk itself. 0 or the errno value.
int sync_file(int fd);

// Syncs a directory after a rename in it; best effort (some file systems refuse).
void sync_directory(const char* path);

// Makes the file open as `fd` at `path` readable by its owner only (mode 0600, or a protected
// DACL for the user alone). 0 or the errno value.
int restrict_to_owner(int fd, const char* path);

}  // namespace rg::platform
