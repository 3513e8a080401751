// The operating-system side of the store: durable writes, directory sync and advisory file
// locks. Plain C++ with no Python in it, so callers can run it with the GIL released.
//
// file_ops_posix.cpp implements it with open/fsync/flock. A Windows build adds
// file_ops_windows.cpp beside it (CreateFileW, FlushFileBuffers, LockFileEx with
// LOCKFILE_FAIL_IMMEDIATELY) and CMake picks one of the two; nothing else changes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rg::platform {

enum class LockAttempt { kHeld, kBusy, kFailed };

// An exclusive advisory lock, held for as long as this object keeps its file open. The OS drops
// it when the process dies, however it dies.
class FileLock {
 public:
  FileLock() = default;
  FileLock(FileLock&& o) : handle_(o.handle_) { o.handle_ = -1; }
  FileLock& operator=(FileLock&& o) {
    if (this != &o) {
      release();
      handle_ = o.handle_;
      o.handle_ = -1;
    }
    return *this;
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { release(); }

  bool held() const { return handle_ != -1; }
  void release();

 private:
  friend LockAttempt try_lock(const char*, FileLock&, int*);
  std::intptr_t handle_ = -1;  // a file descriptor; wide enough for a Windows HANDLE
};

// Opens `path` (created owner-only when missing) and tries once to lock it. kBusy when another
// holder has it; kFailed with the OS error in `*error` when the file cannot be opened or locked.
// A lock file removed by someone else between open and lock is opened again.
LockAttempt try_lock(const char* path, FileLock& out, int* error);

// Whether a live process holds the lock on `path`. A lock file that nobody holds is removed, so
// the files of dead owners do not pile up. False when the file is missing or unreadable.
bool lock_is_held(const char* path);

// The calling process's id: tells a forked child from the process that took a lock.
long process_id();

// Removes `path`; a missing file is not an error. Returns 0 or the OS error.
int remove_file(const char* path);

// A file open for reading, closed with the object. The caller owns the buffers it reads into,
// so a failed allocation is the caller's to report.
class ReadHandle {
 public:
  ReadHandle() = default;
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;
  ~ReadHandle();

 private:
  friend int open_for_read(const char*, ReadHandle&, std::uint64_t*);
  friend int read_at(const ReadHandle&, std::uint64_t, char*, std::size_t, std::size_t*);
  std::intptr_t handle_ = -1;
};

// Opens `path` for reading and gives its size. Returns 0 or the OS error (ENOENT when missing).
int open_for_read(const char* path, ReadHandle& out, std::uint64_t* size);

// Reads up to `n` bytes at `offset` into `buffer`; `*got` is short only at the end of the file.
// Returns 0 or the OS error.
int read_at(const ReadHandle& file, std::uint64_t offset, char* buffer, std::size_t n, std::size_t* got);

// One run of a file's bytes: a file written from many buffers needs no copy that joins them.
struct Piece {
  const char* data;
  std::size_t size;
};

// Writes the pieces, in order, to `path` (created or truncated, owner-only) and syncs it to
// disk. Returns 0 or the OS error.
int write_durable(const char* path, const Piece* pieces, std::size_t count);
inline int write_durable(const char* path, const char* data, std::size_t size) {
  const Piece whole{data, size};
  return write_durable(path, &whole, 1);
}

// Syncs a directory after a rename in it; best effort (some file systems refuse).
void sync_directory(const char* path);

}  // namespace rg::platform
