// POSIX side of the platform seam: calls a signal interrupts are retried (callers check signals).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <utility>

#include "platform/file_ops.hpp"

namespace rg::platform {
namespace {
template <class Call> int retrying(Call call) {
  int r;
  do r = call();
  while (r == -1 && errno == EINTR);
  return r;
}

int open_path(const char* path, int flags, mode_t mode = 0) {
  return retrying([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

// flock(2) locks belong to the open file description: another handle in this process is kept out
// too. close(2) is never retried: a retry could close a descriptor another thread just opened.
bool lock_now(int fd) { return retrying([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0; }

// Whether `fd` is the file `path` names (device and inode). statx on Linux: the stat family took
// new symbol versions in glibc 2.33, and the module must load on older systems.
bool same_file(int fd, const char* path) {
#ifdef __linux__
  struct statx a, b;
  return ::statx(fd, "", AT_EMPTY_PATH, STATX_INO, &a) == 0 && ::statx(AT_FDCWD, path, 0, STATX_INO, &b) == 0 &&
         a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor && a.stx_ino == b.stx_ino;
#else
  struct stat a, b;
  return ::fstat(fd, &a) == 0 && ::stat(path, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
#endif
}
}  // namespace

void FileLock::release() {
  if (handle_ != -1) ::close(static_cast<int>(std::exchange(handle_, -1)));
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
    if (same_file(fd, path)) return out.handle_ = fd, LockAttempt::kHeld;
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
