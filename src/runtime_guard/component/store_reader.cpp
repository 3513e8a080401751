#include "component/store_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "capi/module_scope.hpp"
#include "component/fallible.hpp"
#include "component/store_line_scan.hpp"
#include "component/store_lock.hpp"
#include "platform/file_ops.hpp"

namespace rg {

namespace {

constexpr std::size_t kChunk = 1 << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// The index of the last LF or CR among the first `n` bytes of `p`, or -1. Sixteen (SSE2) or
// eight bytes at a time where none is either: a skipped line of many megabytes is scanned at
// memory speed, and so is a full store's 48,000-character rows.
std::int64_t last_line_end(const char* p, std::size_t n) {
#ifdef RG_SCAN_SSE2
  const __m128i lf16 = _mm_set1_epi8('\n'), cr16 = _mm_set1_epi8('\r');
  for (; n >= 16; n -= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16));
    const auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf16), _mm_cmpeq_epi8(v, cr16))));
    if (mask) return static_cast<std::int64_t>(n - 16) + (31 - std::countl_zero(mask));
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p + n - 8, 8);
    const std::uint64_t lf = word ^ (kOnes * '\n'), cr = word ^ (kOnes * '\r');
    if ((((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs) break;  // one of them is here
    n -= 8;
  }
  while (n > 0)
    if (is_line_end(p[--n])) return static_cast<std::int64_t>(n);
  return -1;
}

Py_ssize_t bound_of(PyObject* name) {
  RG_LET(value, global(name));
  const Py_ssize_t n = PyNumber_AsSsize_t(value.get(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) return -1;
  return n < 0 ? 0 : n;
}

class FileSource {
 public:
  int open(PyObject* path) {
    path_ = borrow(path);
    RG_CHECK(name_ = fs_path(path));
    int error;
    {
      GilRelease nogil;
      error = platform::open_for_read(fs_name(name_), file_, &size_);
    }
    return error ? raise_os_error(error, path) : 0;
  }
  std::uint64_t size() const { return size_; }
  // Bytes a writer without the lock cut off meanwhile read as line ends: no row forms of them.
  int read(std::uint64_t offset, char* into, std::size_t n) {
    std::size_t got = 0;
    int error;
    {
      GilRelease nogil;
      error = platform::read_at(file_, offset, into, n, &got);
    }
    RG_CHECK_OK(PyErr_CheckSignals());
    if (error) return raise_os_error(error, path_.get());
    std::memset(into + got, '\n', n - got);
    return 0;
  }

 private:
  Ref path_, name_;
  platform::ReadHandle file_;
  std::uint64_t size_ = 0;
};

class BytesSource {
 public:
  explicit BytesSource(PyObject* data) : data_(PyBytes_AS_STRING(data)), size_(PyBytes_GET_SIZE(data)) {}
  std::uint64_t size() const { return size_; }
  int read(std::uint64_t offset, char* into, std::size_t n) {
    std::memcpy(into, data_ + offset, n);
    return 0;
  }

 private:
  const char* data_;
  std::uint64_t size_;
};

template <class Source>
class TailScan {
 public:
  TailScan(Source& source, const TailBounds& bounds, LineSink& sink)
      : source_(source), bounds_(bounds), sink_(sink) {}

  int run(bool& cut) {
    cut = false;
    const std::uint64_t size = source_.size();
    const auto max_bytes = static_cast<std::uint64_t>(bounds_.max_bytes);
    const std::uint64_t floor = size > max_bytes ? size - max_bytes : 0;
    // The byte before the bound says whether a line starts right at it.
    const std::uint64_t low = floor > 0 ? floor - 1 : 0;
    RG_CHECK_OK(chunk_.assign(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - low)), 0));
    end_ = size;
    for (std::uint64_t pos = size; pos > low;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, pos - low));
      base_ = pos - n;
      loaded_ = n;
      RG_CHECK_OK(source_.read(base_, chunk_.begin(), n));
      for (std::int64_t i = last_line_end(chunk_.begin(), n); i >= 0;
           i = last_line_end(chunk_.begin(), static_cast<std::size_t>(i))) {
        const std::uint64_t at = base_ + static_cast<std::uint64_t>(i);
        const int more = line(at + 1);
        end_ = at;
        if (more <= 0) return more;
      }
      pos = base_;
    }
    if (floor > 0) {
      cut = true;  // the line ending at end_ started before the bound
      return 0;
    }
    return line(0) < 0 ? -1 : 0;
  }

 private:
  // Hands [start, end_) to the sink. 1: go on, 0: the rows wanted are all there, -1: error.
  int line(std::uint64_t start) {
    const std::uint64_t length = end_ - start;
    if (length == 0 || length > static_cast<std::uint64_t>(bounds_.max_line)) return 1;
    std::string_view text;
    if (start >= base_ && end_ <= base_ + loaded_) {
      text = std::string_view(chunk_.begin() + (start - base_), static_cast<std::size_t>(length));
    } else {  // reaches into bytes read before this chunk
      RG_CHECK_OK(spanning_.assign(static_cast<std::size_t>(length), 0));
      RG_CHECK_OK(source_.read(start, spanning_.begin(), static_cast<std::size_t>(length)));
      text = std::string_view(spanning_.begin(), static_cast<std::size_t>(length));
    }
    if (start == 0 && text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
      text.remove_prefix(kByteOrderMark.size());
    const int row = sink_.take(text);
    RG_CHECK_OK(row);
    if (row && bounds_.rows_wanted > 0 && ++rows_ >= bounds_.rows_wanted) return 0;
    return 1;
  }

  Source& source_;
  const TailBounds& bounds_;
  LineSink& sink_;
  FallibleVector<char> chunk_, spanning_;
  std::uint64_t base_ = 0, end_ = 0;
  std::size_t loaded_ = 0;
  Py_ssize_t rows_ = 0;
};

// Appends to a list read newest first.
int append(const Ref& list, PyObject* value) { return PyList_Append(list.get(), value); }

// The rows a write compares and merges with: bytes of each row line, newest first.
class DiskRows final : public LineSink {
 public:
  explicit DiskRows(const JsonCodec& codec) : codec_(codec) {}
  int open(PyObject* known) {
    RG_CHECK(known_lines_ = steal(PySequence_List(known)));
    RG_CHECK(lines_ = steal(PyList_New(0)));
    RG_CHECK(rows_ = steal(PyList_New(0)));
    const Py_ssize_t n = PyList_GET_SIZE(known_lines_.get());
    RG_CHECK_OK(known_.init(static_cast<std::size_t>(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string_view text;
      RG_CHECK_OK(utf8_view(PyList_GET_ITEM(known_lines_.get(), i), text));
      known_.set(text, i);
    }
    return 0;
  }
  int take(std::string_view line) override {
    if (known_.find(line) >= 0) {
      RG_LET(bytes, steal(PyBytes_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()))));
      RG_CHECK_OK(append(lines_, bytes.get()));
      RG_CHECK_OK(append(rows_, Py_None));
      return 1;
    }
    Ref text;
    Ref row = codec_.parse(line, &text);
    if (!row) return PyErr_Occurred() ? -1 : 0;
    RG_LET(bytes, steal(PyUnicode_AsUTF8String(text.get())));
    RG_CHECK_OK(append(lines_, bytes.get()));
    RG_CHECK_OK(append(rows_, row.get()));
    return 1;
  }
  // The lines oldest first, each followed by "\n"; `rows` gets their rows in the same order
  // (None for a known line).
  Ref text(Ref& rows) {
    RG_CHECK_OK(PyList_Reverse(rows_.get()));
    rows = borrow(rows_.get());
    if (PyList_GET_SIZE(lines_.get()) == 0) return steal(PyBytes_FromStringAndSize(nullptr, 0));
    RG_CHECK_OK(PyList_Reverse(lines_.get()));
    RG_LET(last, steal(PyBytes_FromStringAndSize(nullptr, 0)));
    RG_CHECK_OK(append(lines_, last.get()));  // the newline after the last line
    RG_LET(newline, steal(PyBytes_FromStringAndSize("\n", 1)));
    return call_method(newline, S("join"), lines_);
  }

 private:
  const JsonCodec& codec_;
  Ref known_lines_, lines_, rows_;
  LineIndex<LineHash> known_;
};

}  // namespace

int TailBounds::load() {
  RG_CHECK_OK(max_bytes = bound_of(S("_MAX_STORE_BYTES")));
  RG_CHECK_OK(max_line = bound_of(S("_MAX_STORE_LINE_BYTES")));
  // rows[-_MAX_STORED:] keeps every row when it is not a positive whole number: read them all.
  RG_LET(stored, G("_MAX_STORED"));
  if (!PyLong_Check(stored.get())) return 0;
  int overflow = 0;
  const long long wanted = PyLong_AsLongLongAndOverflow(stored.get(), &overflow);
  if (wanted == -1 && PyErr_Occurred()) return -1;
  rows_wanted = overflow || wanted <= 0 || wanted > PY_SSIZE_T_MAX ? 0 : static_cast<Py_ssize_t>(wanted);
  return 0;
}

int read_store_tail(PyObject* path, const TailBounds& bounds, LineSink& sink, bool& cut) {
  FileSource source;
  RG_CHECK_OK(source.open(path));
  TailScan<FileSource> scan(source, bounds, sink);
  return scan.run(cut);
}

int read_bytes_tail(PyObject* data, const TailBounds& bounds, LineSink& sink, bool& cut) {
  BytesSource source(data);
  TailScan<BytesSource> scan(source, bounds, sink);
  return scan.run(cut);
}

int LoadedRows::open() {
  RG_CHECK(rows_ = steal(PyList_New(0)));
  RG_CHECK(keys_ = steal(PyList_New(0)));
  RG_CHECK(lines_ = steal(PyList_New(0)));
  return 0;
}

int LoadedRows::take(std::string_view line) {
  Ref text;
  Ref row = codec_.parse(line, &text);
  if (!row) return PyErr_Occurred() ? -1 : 0;
  RG_LET(key, session_key(row.get()));
  RG_CHECK_OK(append(rows_, row.get()));
  RG_CHECK_OK(append(keys_, key.get()));
  RG_CHECK_OK(append(lines_, text.get()));
  return 1;
}

int LoadedRows::finish(PyObject* rows, Synced& synced) {
  for (const Ref* list : {&rows_, &keys_, &lines_}) RG_CHECK_OK(PyList_Reverse(list->get()));
  RG_CHECK_OK(PyList_SetSlice(rows, 0, PyList_GET_SIZE(rows), rows_.get()));
  synced.keys = std::move(keys_);
  synced.lines = std::move(lines_);
  return 0;
}

Ref read_disk_rows(PyObject* path, const TailBounds& bounds, const JsonCodec& codec, PyObject* known,
                   bool& cut, Ref& rows) {
  DiskRows sink(codec);
  RG_CHECK_OK(sink.open(known));
  RG_CHECK_OK(read_store_tail(path, bounds, sink, cut));
  return sink.text(rows);
}

}  // namespace rg
