// Windows side of the platform seam. Paths arrive in UTF-8 (Python's file system encoding on
// Windows) and go to the wide-character API; errors come back as errno values, as on POSIX, so
// the callers raise the same OSError on every platform.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/file_ops.hpp"

namespace rg::platform {

namespace {

int errno_from(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NO_UNICODE_TRANSLATION:
      return EILSEQ;
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    default:
      return EIO;
  }
}

int last_errno() { return errno_from(GetLastError()); }

// Other handles may read, write, rename and delete a file we hold open, as on POSIX: a lock
// file is probed through a second handle and removed while held, and the store is replaced
// while another process reads it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// False, with the reason in GetLastError(), for a path that is not UTF-8.
bool widen(const char* path, std::wstring& out) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  if (n <= 0) return false;
  out.assign(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out.data(), n) != n) return false;
  out.pop_back();  // the terminator counted in n
  return true;
}

// INVALID_HANDLE_VALUE with the reason in GetLastError().
HANDLE open_path(const char* path, DWORD access, DWORD disposition, SECURITY_ATTRIBUTES* attributes = nullptr,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  std::wstring wide;
  if (!widen(path, wide)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), access, kShareAll, attributes, disposition, flags, nullptr);
}

// Owner-only, as mode 0600 on POSIX: a protected DACL (nothing inherited from the folder)
// that grants this process's user full access and nobody else anything. The user's own SID,
// not OWNER RIGHTS: a file owned by a group (an elevated administrator's) stays the user's.
class OwnerOnly {
 public:
  OwnerOnly() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    LPWSTR sid = nullptr;
    if (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
      std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
      LocalFree(sid);
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr))
        descriptor_ = nullptr;
    }
    CloseHandle(token);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~OwnerOnly() {
    if (descriptor_) LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;

  // For CreateFileW: applied when the call creates the file.
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

  // Puts it on a file opened with WRITE_DAC, which may have been created with a wider one.
  bool apply(HANDLE file) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!descriptor_ || !GetSecurityDescriptorDacl(descriptor_, &present, &dacl, &defaulted)) return false;
    DWORD r = SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
    SetLastError(r);
    return r == ERROR_SUCCESS;
  }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

// The whole file, from offset 0 to the largest one.
bool lock_whole(HANDLE file) {
  OVERLAPPED at{};
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at) != 0;
}

// Unlocked before the close: Windows drops the lock of a closed handle only "eventually".
void unlock_and_close(HANDLE file) {
  OVERLAPPED at{};
  UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at);
  CloseHandle(file);
}

bool same_file(HANDLE file, const char* path) {
  HANDLE by_path = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS);
  if (by_path == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(by_path, &b) &&
              a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
              a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(by_path);
  return same;
}

}  // namespace

// INVALID_HANDLE_VALUE is -1 too, so -1 means "no handle" on both sides of the seam.
void FileLock::release() {
  if (handle_ == -1) return;
  unlock_and_close(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

LockAttempt try_lock(const char* path, FileLock& out, int* error) {
  out.release();
  OwnerOnly owner_only;
  for (int attempt = 0; attempt < 8; ++attempt) {
    HANDLE file = open_path(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, owner_only.attributes());
    DWORD why = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (why == ERROR_ACCESS_DENIED || why == ERROR_WRITE_PROTECT) {
      file = open_path(path, GENERIC_READ, OPEN_EXISTING);
      why = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
      // A file whose deletion is pending (file systems without POSIX delete semantics keep the
      // name until its holder closes it) refuses every open for that moment: try again.
      if (why == ERROR_ACCESS_DENIED && attempt + 1 < 8) {
        Sleep(1);
        continue;
      }
    }
    if (file == INVALID_HANDLE_VALUE) {
      *error = errno_from(why);
      return LockAttempt::kFailed;
    }
    if (!lock_whole(file)) {
      DWORD saved = GetLastError();
      CloseHandle(file);
      if (saved == ERROR_LOCK_VIOLATION || saved == ERROR_IO_PENDING) return LockAttempt::kBusy;
      *error = errno_from(saved);
      return LockAttempt::kFailed;
    }
    // Someone removed the file (a dead owner's lock being swept) between our open and lock:
    // a lock on that orphan would guard nothing. Open the name again.
    if (!same_file(file, path)) {
      unlock_and_close(file);
      continue;
    }
    out.handle_ = reinterpret_cast<std::intptr_t>(file);
    return LockAttempt::kHeld;
  }
  *error = EAGAIN;
  return LockAttempt::kFailed;
}

bool lock_is_held(const char* path) {
  HANDLE file = open_path(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (!lock_whole(file)) {
    bool busy = GetLastError() == ERROR_LOCK_VIOLATION;  // any other failure says nothing
    CloseHandle(file);
    return busy;
  }
  // Free: its owner is gone. Remove it while we hold the lock, so no live owner loses its file.
  remove_file(path);
  unlock_and_close(file);
  return false;
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

int remove_file(const char* path) {
  std::wstring wide;
  if (!widen(path, wide)) return last_errno();
  if (DeleteFileW(wide.c_str())) return 0;
  DWORD why = GetLastError();
  return why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? 0 : errno_from(why);
}

ReadHandle::~ReadHandle() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

int open_for_read(const char* path, ReadHandle& out, std::uint64_t* size) {
  HANDLE file = open_path(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return last_errno();
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file, &length)) {
    int saved = last_errno();
    CloseHandle(file);
    return saved;
  }
  if (out.handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(out.handle_));
  out.handle_ = reinterpret_cast<std::intptr_t>(file);
  *size = length.QuadPart > 0 ? static_cast<std::uint64_t>(length.QuadPart) : 0;
  return 0;
}

int read_at(const ReadHandle& file, std::uint64_t offset, char* buffer, std::size_t n, std::size_t* got) {
  *got = 0;
  while (*got < n) {
    // The offset travels in the OVERLAPPED block, as pread's does: no shared file position.
    OVERLAPPED at{};
    std::uint64_t where = offset + *got;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - *got, 1u << 30));
    DWORD r = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(file.handle_), buffer + *got, want, &r, &at)) {
      DWORD why = GetLastError();
      if (why == ERROR_HANDLE_EOF || why == ERROR_BROKEN_PIPE) break;  // the end, as read(2)'s 0
      return errno_from(why);
    }
    if (r == 0) break;
    *got += r;
  }
  return 0;
}

int write_durable(const char* path, const Piece* pieces, std::size_t count) {
  OwnerOnly owner_only;
  HANDLE file = open_path(path, GENERIC_WRITE | WRITE_DAC, CREATE_ALWAYS, owner_only.attributes());
  if (file == INVALID_HANDLE_VALUE) return last_errno();
  // An earlier temporary file may have been created with a wider DACL: rows carry log text.
  bool ok = owner_only.apply(file);
  for (std::size_t i = 0; ok && i < count; ++i) {
    const char* data = pieces[i].data;
    std::size_t size = pieces[i].size;
    while (ok && size > 0) {
      DWORD n = 0;
      ok = WriteFile(file, data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &n, nullptr) != 0;
      data += n;
      size -= n;
    }
  }
  ok = ok && FlushFileBuffers(file);
  int saved = ok ? 0 : last_errno();
  if (!CloseHandle(file) && ok) saved = last_errno();
  return saved;
}

// NTFS journals the rename itself; flushing the folder is best effort, as on POSIX (it needs
// write access to the folder, which not every account has).
void sync_directory(const char* path) {
  HANDLE dir = open_path(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS);
  if (dir == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(dir);
  CloseHandle(dir);
}

}  // namespace rg::platform
