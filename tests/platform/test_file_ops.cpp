// The platform layer alone, against real files: built with file_ops_posix.cpp or
// file_ops_windows.cpp (and run under Wine in CI), the same checks for both.
//     c++ -std=c++20 -Isrc/runtime_guard -o test_file_ops tests/platform/test_file_ops.cpp
//         src/runtime_guard/platform/file_ops_posix.cpp && ./test_file_ops
// Ends with "N passed, 0 failed"; the exit status is the number of failures.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <system_error>

#include "platform/file_ops.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace rg::platform;

namespace {

int passed = 0, failed = 0;

void check(bool ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED line %d: %s\n", line, what);
  }
}
#define CHECK(x) check((x), #x, __LINE__)

std::string utf8(const fs::path& p) {
  auto s = p.u8string();
  return std::string(s.begin(), s.end());
}

// A file opened by the C library; by its wide name on Windows, where a narrow one would be
// read in the code page (the scratch folder's name is not ASCII).
std::FILE* open_file(const fs::path& p, const char* mode) {
#ifdef _WIN32
  const std::wstring wide_mode(mode, mode + std::strlen(mode));
  return _wfopen(p.c_str(), wide_mode.c_str());
#else
  return std::fopen(p.c_str(), mode);
#endif
}

// The whole file, read back with the C library.
std::string read_file(const fs::path& path) {
  std::string out;
  if (std::FILE* f = open_file(path, "rb")) {
    char step[4096];
    for (std::size_t n; (n = std::fread(step, 1, sizeof step, f)) > 0;) out.append(step, n);
    std::fclose(f);
  }
  return out;
}

// A non-ASCII folder name: the Windows side must turn UTF-8 into UTF-16, not the code page.
fs::path scratch_dir() {
  std::error_code ec;
  const char8_t* name = u8"rg-file-ops-\u00e9\u00fc";
  fs::path dir = fs::temp_directory_path(ec) / fs::path(name);
  fs::remove_all(dir, ec);
  fs::create_directories(dir, ec);
  return dir;
}

void syncs_and_owner_only(const fs::path& dir) {
  const fs::path file = dir / "store.tmp";
  const std::string path = utf8(file);
  std::FILE* f = open_file(file, "wb");
  CHECK(f != nullptr);
  if (!f) return;
#ifndef _WIN32
  ::chmod(path.c_str(), 0644);  // an earlier file with wider permissions
  const int fd = fileno(f);
#else
  const int fd = _fileno(f);
#endif
  CHECK(restrict_to_owner(fd, path.c_str()) == 0);
  std::fputs("rows\n", f);
  std::fflush(f);
  CHECK(sync_file(fd) == 0);
  std::fclose(f);
  CHECK(read_file(file) == "rows\n");  // the owner still reads and writes it
#ifndef _WIN32
  struct stat st;
  CHECK(::stat(path.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
#endif
  sync_directory(utf8(dir).c_str());
  sync_directory(utf8(dir / "missing").c_str());  // best effort: no crash, no error
}

void locks(const fs::path& dir) {
  const fs::path file = dir / "store.lock";
  const std::string path = utf8(file);
  FileLock first;
  CHECK(try_lock(path.c_str(), first) == LockAttempt::kHeld);
  CHECK(first.held());

  // A second handle in this same process is kept out, as another process would be.
  FileLock second;
  CHECK(try_lock(path.c_str(), second) == LockAttempt::kBusy);
  CHECK(!second.held());
  CHECK(lock_is_held(path.c_str()));
  CHECK(fs::exists(file));  // a held lock file is left alone

  // Moving keeps the lock; the moved-from object holds nothing.
  FileLock moved(static_cast<FileLock&&>(first));
  CHECK(!first.held() && moved.held());
  CHECK(try_lock(path.c_str(), second) == LockAttempt::kBusy);

  // Released: free for the next taker, and a sweep removes the abandoned file.
  moved.release();
  CHECK(!moved.held());
  CHECK(!lock_is_held(path.c_str()));
  CHECK(!fs::exists(file));
  CHECK(!lock_is_held(path.c_str()));  // missing

  // Removed by its holder while held (as the store does on release): the next taker gets a
  // lock on the new file at that name, not on the orphan.
  CHECK(try_lock(path.c_str(), first) == LockAttempt::kHeld);
  std::error_code ec;
  CHECK(fs::remove(file, ec));
  FileLock after;
  LockAttempt a = try_lock(path.c_str(), after);
  first.release();
  if (a != LockAttempt::kHeld) a = try_lock(path.c_str(), after);
  CHECK(a == LockAttempt::kHeld);
  CHECK(lock_is_held(path.c_str()));
  after.release();

  CHECK(try_lock(utf8(dir / "no-such-dir" / "x.lock").c_str(), second) == LockAttempt::kFailed);
}

}  // namespace

int main() {
  fs::path dir = scratch_dir();
  syncs_and_owner_only(dir);
  locks(dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
