// What the store needs of the OS that Python lacks: advisory locks, a sync to the disk, owner-only
// permissions. No Python in it: callers release the GIL. CMake picks the _posix or _windows file.
#pragma once

#include <cstdint>

namespace rg::platform {
enum class LockAttempt { kHeld, kBusy, kFailed };

// An exclusive advisory lock, held while this keeps its file open; the OS drops it when we die.
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
  std::intptr_t handle_ = -1;  // a descriptor or a HANDLE; -1 (INVALID_HANDLE_VALUE too): none
};

// Opens `path` (created owner-only when missing) and tries once to lock it: kBusy when another
// holds it, kFailed when it cannot be opened or locked. A file removed meanwhile is reopened.
LockAttempt try_lock(const char* path, FileLock& out);
// Whether a live process holds the lock on `path` (false when missing or unreadable). A lock
// file nobody holds is removed: dead owners' files do not pile up.
bool lock_is_held(const char* path);
int sync_file(int fd);  // to the disk itself; 0 or the errno value
void sync_directory(const char* path);  // after a rename in it; best effort (some refuse)
// The file open as `fd` at `path` made owner-only (0600, or a protected DACL for the user
// alone). 0 or the errno value.
int restrict_to_owner(int fd, const char* path);
}  // namespace rg::platform
