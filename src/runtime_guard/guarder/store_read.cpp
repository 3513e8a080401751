// Reading the store from its end: only its last `_MAX_STORED` rows' lines, so a file grown to a
// million rows does not slow start-up. Lines end at LF, CR LF or a lone CR only (a row may hold
// U+2028). Lines over `_MAX_STORE_LINE_BYTES` or before the last `_MAX_STORE_BYTES` go unread.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "capi/buffer.hpp"
#include "capi/scope.hpp"
#include "store_lines/shared.hpp"
#include "guarder/guarder.hpp"

namespace rg {
namespace {
constexpr std::size_t kChunk = 1 << 20;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The index of the last LF or CR among the first `n` bytes of `p`, or -1; 16 (SSE2) or 8 bytes at
// a time where neither is, so a skipped line of megabytes passes at memory speed.
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
  for (std::uint64_t word; n >= 8; n -= 8) {
    std::memcpy(&word, p + n - 8, 8);
    const std::uint64_t lf = word ^ (kOnes * '\n'), cr = word ^ (kOnes * '\r');
    if ((((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr)) & kHighs) break;  // one of them is here
  }
  while (n > 0)
    if (p[--n] == '\n' || p[n] == '\r') return static_cast<std::int64_t>(n);
  return -1;
}

Py_ssize_t bound_of(PyObject* name) {
  RG_LET(value, global(name));
  const Py_ssize_t n = PyNumber_AsSsize_t(value.get(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) return -1;
  return std::max<Py_ssize_t>(n, 0);
}
}  // namespace

Py_ssize_t through_view(PyObject* file, PyObject* method, char* p, Py_ssize_t n, int access) {
  RG_LET(view, steal(PyMemoryView_FromMemory(p, n, access)));
  Ref done = call_method(file, method, view);
  {
    ErrorStash keep;  // the file must not keep a view of memory that goes away
    Ref released = call_method(view, S("release"));
    PyErr_Clear();
  }
  RG_CHECK(done);
  const Py_ssize_t k = done.get() == Py_None ? 0 : PyNumber_AsSsize_t(done.get(), PyExc_OverflowError);
  return k < 0 && !PyErr_Occurred() ? 0 : k;
}

namespace {
// file.seek(offset), then file.readinto() until `n` bytes or the end. Bytes a writer without the
// lock cut off meanwhile read as line ends: no row forms of them.
int read_at(PyObject* file, std::uint64_t offset, char* into, std::size_t n) {
  if (Bytes data = Bytes::probe(file)) {  // a store read through its path's own read_bytes
    std::memcpy(into, data.data() + offset, n);
    return 0;
  }
  RG_LET(at, steal(PyLong_FromUnsignedLongLong(offset)));
  RG_CHECK(call_method(file, S("seek"), at));
  std::size_t got = 0;
  for (Py_ssize_t k; got < n; got += std::min(static_cast<std::size_t>(k), n - got)) {
    k = through_view(file, S("readinto"), into + got, static_cast<Py_ssize_t>(n - got), PyBUF_WRITE);
    RG_CHECK_OK(k);
    if (k == 0) break;
  }
  std::memset(into + got, '\n', n - got);
  return 0;
}

class TailScan {
 public:
  TailScan(PyObject* file, const TailBounds& bounds, LineSink& sink) : file_(file), bounds_(bounds), sink_(sink) {}
  int run(std::uint64_t size, bool& cut) {
    if (size == 0) return 0;
    const auto max_bytes = static_cast<std::uint64_t>(bounds_.max_bytes);
    const std::uint64_t floor = size > max_bytes ? size - max_bytes : 0;
    const std::uint64_t low = floor > 0 ? floor - 1 : 0;  // says whether a line starts at the bound
    chunk_.clear();
    char* chunk = chunk_.room(static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - low)));
    RG_CHECK(chunk);
    end_ = size;
    for (std::uint64_t pos = size; pos > low; pos = base_) {
      loaded_ = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, pos - low));
      base_ = pos - loaded_;
      RG_CHECK_OK(read_at(file_, base_, chunk, loaded_));
      for (std::int64_t i = last_line_end(chunk, loaded_); i >= 0;
           i = last_line_end(chunk, static_cast<std::size_t>(i))) {
        const std::uint64_t at = base_ + static_cast<std::uint64_t>(i);
        const int more = line(chunk, at + 1);
        end_ = at;
        if (more <= 0) return more;
      }
    }
    cut = floor > 0;  // the line ending at end_ started before the bound
    return cut ? 0 : std::min(line(chunk, 0), 0);
  }
 private:
  // Hands [start, end_) to the sink. 1: go on, 0: the rows wanted are all there, -1: error.
  int line(const char* chunk, std::uint64_t start) {
    const std::uint64_t length = end_ - start;
    if (length == 0 || length > static_cast<std::uint64_t>(bounds_.max_line)) return 1;
    const auto n = static_cast<std::size_t>(length);
    std::string_view text;
    if (start >= base_ && end_ <= base_ + loaded_) {
      text = std::string_view(chunk + (start - base_), n);
    } else {  // reaches into bytes read before this chunk
      spanning_.clear();
      char* p = spanning_.room(n);
      RG_CHECK(p);
      RG_CHECK_OK(read_at(file_, start, p, n));
      text = std::string_view(p, n);
    }
    // A text editor's byte-order mark is not part of the first line.
    if (start == 0 && text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    const Answer row = sink_.take(text);
    if (row == Answer::kFailed) return -1;
    if (sink_.done) return 0;
    return row == Answer::kYes && bounds_.rows_wanted > 0 && ++rows_ >= bounds_.rows_wanted ? 0 : 1;
  }
  PyObject* file_;
  const TailBounds& bounds_;
  LineSink& sink_;
  Buffer<char> chunk_, spanning_;
  std::uint64_t base_ = 0, end_ = 0;
  std::size_t loaded_ = 0;
  Py_ssize_t rows_ = 0;
};

// Collects rows, keys and stripped lines, newest first.
class RowsSink final : public LineSink {
 public:
  RowsSink(const JsonCodec& codec, PyObject* known, StoreRows& out) : codec_(codec), known_(known), out_(out) {}
  Answer take(std::string_view line) override {
    RG_LET(text, stripped_text(line));
    PyObject* known = known_ ? PyDict_GetItemWithError(known_, text.get()) : nullptr;  // its key
    if (!known && PyErr_Occurred()) return failed;
    Ref row = known ? none() : codec_.parse(text.get());
    if (!row) return PyErr_Occurred() ? Answer::kFailed : Answer::kNo;
    RG_LET(key, known ? borrow(known) : session_key(row.get()));
    RG_CHECK_OK(PyList_Append(out_.rows.get(), row.get()));
    RG_CHECK_OK(PyList_Append(out_.keys.get(), key.get()));
    RG_CHECK_OK(PyList_Append(out_.lines.get(), text.get()));
    return Answer::kYes;
  }
 private:
  const JsonCodec& codec_;
  PyObject* known_;
  StoreRows& out_;
};
}  // namespace

int TailBounds::load() {
  RG_CHECK_OK(max_bytes = bound_of(S("_MAX_STORE_BYTES")));
  RG_CHECK_OK(max_line = bound_of(S("_MAX_STORE_LINE_BYTES")));
  // rows[-_MAX_STORED:] keeps every row when it is not a positive whole number: read them all.
  RG_LET(stored, G("_MAX_STORED"));
  if (PyLong_Check(stored.get())) rows_wanted = std::max<Py_ssize_t>(PyNumber_AsSsize_t(stored.get(), nullptr), 0);
  return 0;
}

Ref open_file(PyObject* path, const char* mode) {
  Ref open = global(S("open"));  // the module's globals, then its builtins
  if (!open && PyErr_ExceptionMatches(PyExc_NameError)) {
    PyErr_Clear();
    RG_LET(builtins, G("__builtins__"));
    open = steal(PyObject_GetItem(builtins.get(), S("open")));
  }
  RG_CHECK(open);
  RG_LET(name, fs_text(path));
  RG_LET(how, str(mode));
  RG_LET(unbuffered, integer(0));
  return call(open, name, how, unbuffered);
}

int read_tail(PyObject* file, const TailBounds& bounds, LineSink& sink, bool& cut) {
  cut = false;
  Bytes data = Bytes::probe(file);
  RG_LET(zero, integer(0));
  RG_LET(from_end, integer(2));
  RG_LET(end, data ? integer(data.size()) : call_method(file, S("seek"), zero, from_end));
  const Py_ssize_t size = PyNumber_AsSsize_t(end.get(), PyExc_OverflowError);
  if (size == -1 && PyErr_Occurred()) return -1;
  const auto file_size = static_cast<std::uint64_t>(std::max<Py_ssize_t>(size, 0));
  if (!sink.wants(file_size)) return sink.done = true, 0;
  return TailScan(file, bounds, sink).run(file_size, cut);
}

int read_rows(PyObject* file, const TailBounds& bounds, const JsonCodec& codec, PyObject* known, StoreRows& rows,
              bool& cut) {
  RowsSink sink(codec, known, rows);
  int status = file ? no_rows(rows) : -1;
  if (status == 0) status = read_tail(file, bounds, sink, cut);
  for (List* list : {&rows.rows, &rows.keys, &rows.lines})
    if (status == 0) status = PyList_Reverse(list->get());
  if (file && closing(file, status) == 0) return 0;
  if (file && !unreadable()) return -1;
  cut = false;
  return no_rows(rows);
}
}  // namespace rg
