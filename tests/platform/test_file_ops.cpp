// The platform layer alone, against real files: built with file_ops_posix.cpp or
// file_ops_windows.cpp (and run under Wine in CI), the same checks for both.
//     c++ -std=c++20 -Isrc/runtime_guard -o test_file_ops tests/platform/test_file_ops.cpp
//         src/runtime_guard/platform/file_ops_posix.cpp && ./test_file_ops
// Ends with "N passed, 0 failed"; the exit status is the number of failures.
#include <cerrno>
#include <cstdint>
#include <cstdio>
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

// The whole file through open_for_read and read_at, as the store reads its tail.
int read_file(const char* path, std::string& out) {
  out.clear();
  ReadHandle file;
  std::uint64_t size = 0;
  if (int error = open_for_read(path, file, &size)) return error;
  out.resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  int error = read_at(file, 0, out.data(), out.size(), &got);
  out.resize(got);
  return error;
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

void durable_writes_and_reads(const fs::path& dir) {
  const std::string path = utf8(dir / "store.jsonl");
  std::string got = "stale";
  CHECK(read_file(path.c_str(), got) == ENOENT);
  CHECK(got.empty());

  std::string big(200000, 'x');  // past the first read step, with a NUL inside
  big[1234] = '\0';
  CHECK(write_durable(path.c_str(), big.data(), big.size()) == 0);
  CHECK(read_file(path.c_str(), got) == 0);
  CHECK(got == big);
  {
    // A read from an offset, and one that runs past the end, stops short at the end.
    ReadHandle file;
    std::uint64_t size = 0;
    CHECK(open_for_read(path.c_str(), file, &size) == 0 && size == big.size());
    std::string tail(10, '?');
    std::size_t n = 0;
    CHECK(read_at(file, size - 4, tail.data(), tail.size(), &n) == 0 && n == 4);
    CHECK(tail.substr(0, 4) == "xxxx");
    CHECK(read_at(file, 1230, tail.data(), 10, &n) == 0 && n == 10 && tail[4] == '\0');
  }

  // Truncated, not overwritten in place.
  CHECK(write_durable(path.c_str(), "short\n", 6) == 0);
  CHECK(read_file(path.c_str(), got) == 0);
  CHECK(got == "short\n");
  CHECK(write_durable(path.c_str(), "", 0) == 0);
  CHECK(read_file(path.c_str(), got) == 0 && got.empty());

  // From many pieces (more than one gathered batch, empty ones among them): their concatenation.
  std::vector<Piece> pieces;
  std::string joined;
  for (std::size_t i = 0; i < 300; ++i) {
    const Piece piece = i % 7 == 0 ? Piece{big.data(), 0} : i % 2 ? Piece{big.data() + i, 1000 + i} : Piece{"\n", 1};
    pieces.push_back(piece);
    joined.append(piece.data, piece.size);
  }
  CHECK(write_durable(path.c_str(), pieces.data(), pieces.size()) == 0);
  CHECK(read_file(path.c_str(), got) == 0 && got == joined);

  CHECK(write_durable(utf8(dir / "missing" / "x").c_str(), "a", 1) == ENOENT);
  CHECK(write_durable(utf8(dir).c_str(), "a", 1) != 0);  // a folder is no file
  sync_directory(utf8(dir).c_str());
  sync_directory(utf8(dir / "missing").c_str());  // best effort: no crash, no error

#ifndef _WIN32
  // Owner-only, also over an earlier file that had wider permissions.
  const std::string wide = utf8(dir / "wide.tmp");
  std::FILE* f = std::fopen(wide.c_str(), "w");
  if (f) std::fclose(f);
  ::chmod(wide.c_str(), 0644);
  CHECK(write_durable(wide.c_str(), "rows", 4) == 0);
  struct stat st;
  CHECK(::stat(wide.c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
#endif
}

void removal(const fs::path& dir) {
  const std::string path = utf8(dir / "gone");
  CHECK(write_durable(path.c_str(), "a", 1) == 0);
  CHECK(remove_file(path.c_str()) == 0);
  std::string got;
  CHECK(read_file(path.c_str(), got) == ENOENT);
  CHECK(remove_file(path.c_str()) == 0);  // already missing: not an error
  CHECK(remove_file(utf8(dir / "no-such-dir" / "gone").c_str()) == 0);
}

void locks(const fs::path& dir) {
  const std::string path = utf8(dir / "store.lock");
  int error = 0;
  FileLock first;
  CHECK(try_lock(path.c_str(), first, &error) == LockAttempt::kHeld);
  CHECK(first.held());

  // A second handle in this same process is kept out, as another process would be.
  FileLock second;
  CHECK(try_lock(path.c_str(), second, &error) == LockAttempt::kBusy);
  CHECK(!second.held());
  CHECK(lock_is_held(path.c_str()));
  std::string got;
  CHECK(read_file(path.c_str(), got) != ENOENT);  // a held lock file is left alone

  // Moving keeps the lock; the moved-from object holds nothing.
  FileLock moved(static_cast<FileLock&&>(first));
  CHECK(!first.held() && moved.held());
  CHECK(try_lock(path.c_str(), second, &error) == LockAttempt::kBusy);

  // Released: free for the next taker, and a sweep removes the abandoned file.
  moved.release();
  CHECK(!moved.held());
  CHECK(!lock_is_held(path.c_str()));
  CHECK(read_file(path.c_str(), got) == ENOENT);
  CHECK(!lock_is_held(path.c_str()));  // missing

  // Removed by its holder while held (as the store does on release): the next taker gets a
  // lock on the new file at that name, not on the orphan.
  CHECK(try_lock(path.c_str(), first, &error) == LockAttempt::kHeld);
  CHECK(remove_file(path.c_str()) == 0);
  FileLock after;
  LockAttempt a = try_lock(path.c_str(), after, &error);
  first.release();
  if (a != LockAttempt::kHeld) a = try_lock(path.c_str(), after, &error);
  CHECK(a == LockAttempt::kHeld);
  CHECK(lock_is_held(path.c_str()));
  after.release();

  error = 0;
  CHECK(try_lock(utf8(dir / "no-such-dir" / "x.lock").c_str(), second, &error) == LockAttempt::kFailed);
  CHECK(error == ENOENT);
  CHECK(process_id() > 0);
}

}  // namespace

int main() {
  fs::path dir = scratch_dir();
  durable_writes_and_reads(dir);
  removal(dir);
  locks(dir);
  std::error_code ec;
  fs::remove_all(dir, ec);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed;
}
