// Windows side of the platform seam: UTF-8 paths (Python's file system encoding) go to the W API.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <io.h>
#include <sddl.h>
#include <cerrno>
#include <memory>
#include <string>
#include <utility>

#include "platform/file_ops.hpp"

namespace rg::platform {
namespace {
std::wstring widen(const char* path) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out.data(), n);
  out.pop_back();  // the terminator; a path that is not UTF-8 becomes "", which opens nothing
  return out;
}

// Other handles may read, write, rename and delete a file we hold open, as on POSIX: a lock file
// is probed through a second handle and removed while held.
HANDLE open_path(const char* path, DWORD access, DWORD disposition, SECURITY_ATTRIBUTES* sa = nullptr,
                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  return CreateFileW(widen(path).c_str(), access, kShare, sa, disposition, flags, nullptr);
}

// Owner-only, as mode 0600: a protected DACL granting this process's user, by its own SID (a file
// owned by an elevated administrator's group stays the user's), full access, nobody else any.
PSECURITY_DESCRIPTOR owner_only() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  alignas(TOKEN_USER) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  LPWSTR sid = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid)) {
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
      sd = nullptr;
  }
  CloseHandle(token);
  return sd;
}

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
  HANDLE other = open_path(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS);
  if (other == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  const bool same = GetFileInformationByHandle(file, &a) && GetFileInformationByHandle(other, &b) &&
                    a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                    a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
  CloseHandle(other);
  return same;
}
}  // namespace

void FileLock::release() {
  if (handle_ != -1) unlock_and_close(reinterpret_cast<HANDLE>(std::exchange(handle_, -1)));
}

LockAttempt try_lock(const char* path, FileLock& out) {
  out.release();
  const std::unique_ptr<void, decltype(&LocalFree)> sd(owner_only(), &LocalFree);
  SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
  for (int attempt = 0; attempt < 8; ++attempt) {
    HANDLE file = open_path(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS, sd ? &sa : nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
      file = open_path(path, GENERIC_READ, OPEN_EXISTING);
      // A file whose deletion is pending refuses every open for that moment: try again.
      if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        Sleep(1);
        continue;
      }
    }
    if (file == INVALID_HANDLE_VALUE) return LockAttempt::kFailed;
    if (!lock_whole(file)) {
      const DWORD why = GetLastError();
      CloseHandle(file);
      return why == ERROR_LOCK_VIOLATION || why == ERROR_IO_PENDING ? LockAttempt::kBusy : LockAttempt::kFailed;
    }
    if (same_file(file, path)) {  // else removed between the open and the lock: open it again
      out.handle_ = reinterpret_cast<std::intptr_t>(file);
      return LockAttempt::kHeld;
    }
    unlock_and_close(file);
  }
  return LockAttempt::kFailed;
}

bool lock_is_held(const char* path) {
  HANDLE file = open_path(path, GENERIC_READ, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool free = lock_whole(file);
  const bool busy = !free && GetLastError() == ERROR_LOCK_VIOLATION;  // other failures say nothing
  if (free) DeleteFileW(widen(path).c_str());  // its owner is gone; removed while we hold it
  free ? unlock_and_close(file) : static_cast<void>(CloseHandle(file));
  return busy;
}

int sync_file(int fd) {
  const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  return file != INVALID_HANDLE_VALUE && FlushFileBuffers(file) ? 0 : EIO;
}

// NTFS journals the rename itself; flushing the folder needs write access, not every account's.
void sync_directory(const char* path) {
  HANDLE dir = open_path(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, nullptr, FILE_FLAG_BACKUP_SEMANTICS);
  if (dir == INVALID_HANDLE_VALUE) return;
  FlushFileBuffers(dir);
  CloseHandle(dir);
}

// By name: a C runtime descriptor's handle lacks WRITE_DAC.
int restrict_to_owner(int /*fd*/, const char* path) {
  const std::unique_ptr<void, decltype(&LocalFree)> sd(owner_only(), &LocalFree);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  constexpr SECURITY_INFORMATION kWhat = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
  return sd && GetSecurityDescriptorDacl(sd.get(), &present, &dacl, &defaulted) &&
                 SetNamedSecurityInfoW(widen(path).data(), SE_FILE_OBJECT, kWhat, nullptr, nullptr, dacl, nullptr) == 0
             ? 0
             : EACCES;
}
}  // namespace rg::platform
