// POSIX side of the platform seam: calls a signal can interrupt are retried (the caller checks
// for pending signals once it holds the GIL again).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_ops.hpp"

namespace rg::platform {

namespace {

template <class Call>
int retrying(Call call) {
  int r;
  do r = call();
  while (r == -1 && errno == EINTR);
  return r;
}

int open_path(const char* path, int flags, mode_t mode = 0) {
  return retrying([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

// flock(2) locks belong to the open file description: a second handle in this same process is
// kept out too, and the lock goes when the last handle closes. close(2) is never retried: the
// descriptor is gone by then, and a retry could close one another thread just opened.
bool lock_now(int fd) { return retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0; }

// Device and inode, through statx on Linux: the stat family took new symbol versions in glibc
// 2.33, and the module must load on older systems.
bool identity(int fd, const char* path, unsigned long long out[2]) {
#ifdef __linux__
  struct statx sx;
  if (::statx(path ? AT_FDCWD : fd, path ? path : "", path ? 0 : AT_EMPTY_PATH, STATX_INO, &sx) != 0)
    return false;
  out[0] = (static_cast<unsigned long long>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  out[1] = sx.stx_ino;
#else
  struct stat st;
  if ((path ? ::stat(path, &st) : ::fstat(fd, &st)) != 0) return false;
  out[0] = static_cast<unsigned long long>(st.st_dev);
  out[1] = static_cast<unsigned long long>(st.st_ino);
#endif
  return true;
}

bool same_file(int fd, const char* path) {
  unsigned long long a[2], b[2];
  return identity(fd, nullptr, a) && identity(-1, path, b) && a[0] == b[0] && a[1] == b[1];
}

}  // namespace

void FileLock::release() {
  if (handle_ != -1) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

LockAttempt try_lock(const char* path, FileLock& out) {
  out.release();
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open_path(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open_path(path, O_RDONLY);
    if (fd < 0) return LockAttempt::kFailed;
    if (!lock_now(fd)) {
      const bool busy = errno == EWOULDBLOCK;
      ::close(fd);
      return busy ? LockAttempt::kBusy : LockAttempt::kFailed;
    }
    // Removed (a dead owner's file being swept) between our open and lock: a lock on that
    // orphan would guard nothing. Open the name again.
    if (same_file(fd, path)) {
      out.handle_ = fd;
      return LockAttempt::kHeld;
    }
    ::close(fd);
  }
  return LockAttempt::kFailed;
}

bool lock_is_held(const char* path) {
  const int fd = open_path(path, O_RDONLY);
  if (fd < 0) return false;
  const bool free = lock_now(fd);
  const bool busy = !free && errno == EWOULDBLOCK;  // any other failure says nothing
  if (free) ::unlink(path);  // its owner is gone; removed while we hold it, so no live one loses it
  ::close(fd);
  return busy;
}

// On macOS fsync(2) only hands the data to the drive, which may keep it in its cache;
// F_FULLFSYNC asks the drive to write it out. File systems that refuse it get fsync.
int sync_file(int fd) {
#ifdef F_FULLFSYNC
  if (retrying([&] { return ::fcntl(fd, F_FULLFSYNC); }) != -1) return 0;
#endif
  return retrying([&] { return ::fsync(fd); }) == 0 ? 0 : errno;
}

void sync_directory(const char* path) {
  const int fd = open_path(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  sync_file(fd);
  ::close(fd);
}

int restrict_to_owner(int fd, const char* /*path*/) { return ::fchmod(fd, 0600) == 0 ? 0 : errno; }

}  // namespace rg::platform
