// POSIX side of the platform seam: every call that can be interrupted by a signal is retried
// (the caller checks for pending signals once it holds the GIL again).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_ops.hpp"

namespace rg::platform {

namespace {

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// On macOS fsync(2) only hands the data to the drive, which may keep it in its cache;
// F_FULLFSYNC asks the drive to write it out. File systems that refuse it get fsync instead.
int fsync_retrying(int fd) {
  int r;
#ifdef F_FULLFSYNC
  do {
    r = ::fcntl(fd, F_FULLFSYNC);
  } while (r == -1 && errno == EINTR);
  if (r != -1) return 0;
#endif
  do {
    r = ::fsync(fd);
  } while (r != 0 && errno == EINTR);
  return r;
}

// flock(2) locks belong to the open file description, so they also exclude a second handle in
// this same process, and the kernel drops them when the last handle closes.
int flock_retrying(int fd, int op) {
  int r;
  do {
    r = ::flock(fd, op);
  } while (r != 0 && errno == EINTR);
  return r;
}

// close(2) is not retried on EINTR: Linux has released the descriptor by then, and a retry
// could close one that another thread has just opened.
int close_once(int fd) { return ::close(fd); }

// Gathered writes, a batch of pieces per call, resumed where a short write stopped.
bool write_all(int fd, const Piece* pieces, std::size_t count) {
  constexpr std::size_t kBatch = 64;
  std::size_t next = 0, done = 0;  // the first piece not fully written, and how much of it is
  while (next < count) {
    struct iovec batch[kBatch];
    int n = 0;
    for (std::size_t j = next; j < count && n < static_cast<int>(kBatch); ++j) {
      const std::size_t skip = j == next ? done : 0;
      if (pieces[j].size > skip) batch[n++] = {const_cast<char*>(pieces[j].data + skip), pieces[j].size - skip};
    }
    if (n == 0) return true;  // only empty pieces left
    const ssize_t wrote = ::writev(fd, batch, n);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      if (wrote == 0) errno = EIO;
      return false;
    }
    std::size_t left = static_cast<std::size_t>(wrote);
    while (next < count && left >= pieces[next].size - done) {
      left -= pieces[next].size - done;
      done = 0;
      ++next;
    }
    done += left;
  }
  return true;
}

struct FileInfo {
  unsigned long long device, inode, size;
};

// What stat(2) says about an open file or a path. On Linux through statx (glibc 2.28): the stat
// family took new symbol versions in glibc 2.33, and the module must load on older systems.
#ifdef __linux__
bool statx_info(int dir, const char* path, int flags, FileInfo& out) {
  struct statx sx;
  if (::statx(dir, path, flags, STATX_INO | STATX_SIZE, &sx) != 0) return false;
  out = {(static_cast<unsigned long long>(sx.stx_dev_major) << 32) | sx.stx_dev_minor, sx.stx_ino, sx.stx_size};
  return true;
}
bool fd_info(int fd, FileInfo& out) { return statx_info(fd, "", AT_EMPTY_PATH, out); }
bool path_info(const char* path, FileInfo& out) { return statx_info(AT_FDCWD, path, 0, out); }
#else
FileInfo info_from(const struct stat& st) {
  return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
          st.st_size > 0 ? static_cast<unsigned long long>(st.st_size) : 0};
}
bool fd_info(int fd, FileInfo& out) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && (out = info_from(st), true);
}
bool path_info(const char* path, FileInfo& out) {
  struct stat st;
  return ::stat(path, &st) == 0 && (out = info_from(st), true);
}
#endif

bool same_file(int fd, const char* path) {
  FileInfo by_fd, by_path;
  return fd_info(fd, by_fd) && path_info(path, by_path) && by_fd.device == by_path.device &&
         by_fd.inode == by_path.inode;
}

}  // namespace

void FileLock::release() {
  if (handle_ == -1) return;
  close_once(static_cast<int>(handle_));
  handle_ = -1;
}

LockAttempt try_lock(const char* path, FileLock& out, int* error) {
  out.release();
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = open_retrying(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open_retrying(path, O_RDONLY);
    if (fd < 0) {
      *error = errno;
      return LockAttempt::kFailed;
    }
    if (flock_retrying(fd, LOCK_EX | LOCK_NB) != 0) {
      int saved = errno;
      close_once(fd);
      if (saved == EWOULDBLOCK) return LockAttempt::kBusy;
      *error = saved;
      return LockAttempt::kFailed;
    }
    // Someone removed the file (a dead owner's lock being swept) between our open and lock:
    // a lock on that orphan would guard nothing. Open the name again.
    if (!same_file(fd, path)) {
      close_once(fd);
      continue;
    }
    out.handle_ = fd;
    return LockAttempt::kHeld;
  }
  *error = EAGAIN;
  return LockAttempt::kFailed;
}

bool lock_is_held(const char* path) {
  int fd = open_retrying(path, O_RDONLY);
  if (fd < 0) return false;
  if (flock_retrying(fd, LOCK_EX | LOCK_NB) != 0) {
    bool busy = errno == EWOULDBLOCK;  // any other failure says nothing: leave the file alone
    close_once(fd);
    return busy;
  }
  // Free: its owner is gone. Remove it while we hold the lock, so no live owner loses its file.
  ::unlink(path);
  close_once(fd);
  return false;
}

long process_id() { return static_cast<long>(::getpid()); }

int remove_file(const char* path) {
  if (::unlink(path) == 0 || errno == ENOENT) return 0;
  return errno;
}

ReadHandle::~ReadHandle() {
  if (handle_ != -1) close_once(static_cast<int>(handle_));
}

int open_for_read(const char* path, ReadHandle& out, std::uint64_t* size) {
  int fd = open_retrying(path, O_RDONLY);
  if (fd < 0) return errno;
  FileInfo info;
  if (!fd_info(fd, info)) {
    int saved = errno;
    close_once(fd);
    return saved;
  }
  if (out.handle_ != -1) close_once(static_cast<int>(out.handle_));
  out.handle_ = fd;
  *size = info.size;
  return 0;
}

int read_at(const ReadHandle& file, std::uint64_t offset, char* buffer, std::size_t n, std::size_t* got) {
  *got = 0;
  while (*got < n) {
    ssize_t r = ::pread(static_cast<int>(file.handle_), buffer + *got, n - *got,
                        static_cast<off_t>(offset + *got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) break;
    *got += static_cast<std::size_t>(r);
  }
  return 0;
}

int write_durable(const char* path, const Piece* pieces, std::size_t count) {
  int fd = open_retrying(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return errno;
  // An earlier temporary file may have been created with wider permissions: rows carry log text.
  bool ok = ::fchmod(fd, 0600) == 0 && write_all(fd, pieces, count) && fsync_retrying(fd) == 0;
  int saved = ok ? 0 : errno;
  if (close_once(fd) != 0 && ok && errno != EINTR) saved = errno;
  return saved;
}

void sync_directory(const char* path) {
  int fd = open_retrying(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync_retrying(fd);
  close_once(fd);
}

}  // namespace rg::platform
