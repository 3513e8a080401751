#include "component/store_bytes.hpp"

#include <algorithm>
#include <cstring>

namespace rg {

int store_pieces(PyObject* lines, FallibleVector<platform::Piece>& pieces) {
  if (!PyList_Check(lines)) return PyErr_SetString(PyExc_TypeError, "store lines must be a list"), -1;
  const Py_ssize_t n = PyList_GET_SIZE(lines);
  RG_CHECK_OK(pieces.reserve(2 * static_cast<std::size_t>(n)));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* line = PyList_GET_ITEM(lines, i);
    if (!PyUnicode_Check(line)) {
      PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                   Py_TYPE(line)->tp_name);
      return -1;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(line, &size);
    RG_CHECK(data);
    RG_CHECK_OK(pieces.push_back({data, static_cast<std::size_t>(size)}));
    RG_CHECK_OK(pieces.push_back({"\n", 1}));
  }
  return 0;
}

namespace {

// The comparison proper, with no Python in it.
bool same_bytes(const char* path, const FallibleVector<platform::Piece>& pieces, char* step, std::size_t step_size) {
  platform::ReadHandle file;
  std::uint64_t size = 0;
  if (platform::open_for_read(path, file, &size) != 0) return false;
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) expected += pieces[i].size;
  if (expected != size) return false;
  std::uint64_t offset = 0;
  std::size_t piece = 0, within = 0;  // where in the pieces the next byte is
  while (offset < size) {
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(step_size, size - offset));
    if (platform::read_at(file, offset, step, want, &got) != 0 || got != want) return false;
    for (std::size_t at = 0; at < got;) {
      const platform::Piece& p = pieces[piece];
      const std::size_t n = std::min(p.size - within, got - at);
      if (std::memcmp(p.data + within, step + at, n) != 0) return false;
      at += n;
      within += n;
      if (within == p.size) ++piece, within = 0;
    }
    offset += got;
  }
  return true;
}

}  // namespace

int file_holds(const char* path, const FallibleVector<platform::Piece>& pieces) {
  constexpr std::size_t kStep = 256 * 1024;
  char* step = static_cast<char*>(PyMem_RawMalloc(kStep));
  if (!step) return PyErr_NoMemory(), -1;
  bool same;
  {
    GilRelease nogil;
    same = same_bytes(path, pieces, step, kStep);
  }
  PyMem_RawFree(step);
  return same ? 1 : 0;
}

}  // namespace rg
