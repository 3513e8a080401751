#include "component/store_merge.hpp"

#include <cstring>

#include "component/fallible.hpp"
#include "capi/module_scope.hpp"
#include "capi/values.hpp"

namespace rg {

namespace {

// (keys, lines), as Synced::save leaves it.
bool is_record(PyObject* record) {
  if (!PyTuple_Check(record) || PyTuple_GET_SIZE(record) != 2) return false;
  PyObject* keys = PyTuple_GET_ITEM(record, 0);
  PyObject* lines = PyTuple_GET_ITEM(record, 1);
  return PyList_Check(keys) && PyList_Check(lines) && PyList_GET_SIZE(keys) == PyList_GET_SIZE(lines);
}

// The store text cut into its lines, one at a time: any line ending ends a line, empty lines
// are left out. False when no line is left.
bool next_line(std::string_view& text, std::string_view& line) {
  while (!text.empty()) {
    size_t cut = 0;
    while (cut < text.size() && text[cut] != '\n' && text[cut] != '\r') ++cut;  // a lone CR too
    line = text.substr(0, cut);
    text.remove_prefix(cut < text.size() ? cut + 1 : cut);
    if (!line.empty()) return true;
  }
  return false;
}

// One row of the file: its key and line, and the parsed row unless it is a line this component
// last synced (then `synced` says which, and nothing was parsed).
struct DiskRow {
  Ref key, line, row;
  Py_ssize_t synced = -1;
};

enum class Change { kNone, kChanged, kNew };

class Merger {
 public:
  Merger(const JsonCodec& codec, const Synced& synced, PyObject* rows, PyObject* keys, PyObject* lines,
         PyObject* current, Merged& out)
      : codec_(codec), synced_(synced), rows_(rows), keys_(keys), lines_(lines), current_(current), out_(out) {}

  int run(std::string_view disk, PyObject* disk_rows) {
    RG_CHECK_OK(index_synced());
    RG_CHECK_OK(classify_memory());
    RG_CHECK_OK(read_disk(disk, disk_rows));
    return emit_all();
  }

 private:
  PyObject* synced_line(Py_ssize_t j) const { return PyList_GET_ITEM(synced_.lines.get(), j); }
  PyObject* key(Py_ssize_t i) const { return PyList_GET_ITEM(keys_, i); }

  int index_synced() {
    const Py_ssize_t n = PyList_GET_SIZE(synced_.lines.get());
    RG_CHECK_OK(memory_of_synced_.assign(static_cast<size_t>(n), -1));
    RG_CHECK_OK(synced_at_.init(static_cast<size_t>(n)));
    RG_CHECK(synced_by_key_ = steal(PyDict_New()));
    for (Py_ssize_t j = 0; j < n; ++j) {
      std::string_view text;
      RG_CHECK_OK(utf8_view(synced_line(j), text));
      synced_at_.set(text, j);
      RG_LET(index, integer(j));
      RG_CHECK_OK(PyDict_SetItem(synced_by_key_.get(), PyList_GET_ITEM(synced_.keys.get(), j), index.get()));
    }
    return 0;
  }

  // Which rows this process created or changed since it last synced with the file.
  int classify_memory() {
    const Py_ssize_t n = PyList_GET_SIZE(rows_);
    RG_CHECK_OK(change_.assign(static_cast<size_t>(n), Change::kNone));
    RG_CHECK_OK(placed_.assign(static_cast<size_t>(n), false));
    RG_CHECK(changed_at_ = steal(PyDict_New()));
    RG_CHECK(new_at_ = steal(PyDict_New()));
    RG_CHECK(memory_at_ = steal(PyDict_New()));
    for (Py_ssize_t i = 0; i < n; ++i) {
      std::string_view text;
      RG_CHECK_OK(utf8_view(PyList_GET_ITEM(lines_, i), text));
      RG_LET(index, integer(i));
      RG_CHECK_OK(PyDict_SetItem(memory_at_.get(), key(i), index.get()));
      const Py_ssize_t same = synced_at_.find(text);
      if (same >= 0) {
        memory_of_synced_[static_cast<size_t>(same)] = i;
        continue;
      }
      const int known = PyDict_Contains(synced_by_key_.get(), key(i));
      RG_CHECK_OK(known);
      if (known) {
        change_[static_cast<size_t>(i)] = Change::kChanged;
        RG_CHECK_OK(PyDict_SetItem(changed_at_.get(), key(i), index.get()));
        continue;
      }
      change_[static_cast<size_t>(i)] = Change::kNew;
      RG_LET(fresh, steal(PyList_New(0)));
      PyObject* list = PyDict_SetDefault(new_at_.get(), key(i), fresh.get());  // borrowed
      RG_CHECK(list);
      RG_CHECK_OK(PyList_Append(list, index.get()));
    }
    return 0;
  }

  // Lines this component synced are recognised by their text; the others are rows as the reader
  // parsed them, exactly as a load would read them.
  int read_disk(std::string_view disk, PyObject* disk_rows) {
    std::string_view line;
    for (Py_ssize_t k = 0; next_line(disk, line); ++k) {
      PyObject* parsed = k < PyList_GET_SIZE(disk_rows) ? PyList_GET_ITEM(disk_rows, k) : Py_None;
      const Py_ssize_t same = synced_at_.find(line);
      if (same >= 0) {
        DiskRow r;
        r.synced = same;
        r.key = borrow(PyList_GET_ITEM(synced_.keys.get(), r.synced));
        r.line = borrow(synced_line(r.synced));
        RG_CHECK_OK(disk_.push_back(std::move(r)));
        continue;
      }
      DiskRow r;
      r.row = parsed != Py_None ? borrow(parsed) : codec_.parse(line);
      if (!r.row) {
        if (PyErr_Occurred()) return -1;
        continue;
      }
      RG_CHECK(r.line = codec_.line(r.row.get()));
      RG_CHECK(r.key = session_key(r.row.get()));
      RG_CHECK_OK(disk_.push_back(std::move(r)));
    }
    return 0;
  }

  int emit(PyObject* row, PyObject* key, PyObject* line) {
    RG_CHECK_OK(PyList_Append(out_.rows.get(), row));
    RG_CHECK_OK(PyList_Append(out_.keys.get(), key));
    return PyList_Append(out_.lines.get(), line);
  }

  int emit_memory(Py_ssize_t i) {
    placed_[static_cast<size_t>(i)] = true;
    return emit(PyList_GET_ITEM(rows_, i), key(i), PyList_GET_ITEM(lines_, i));
  }

  // The component's row i takes the file's version; it stays the same object when it can.
  int emit_refreshed(Py_ssize_t i, PyObject* theirs, PyObject* line) {
    placed_[static_cast<size_t>(i)] = true;
    PyObject* row = PyList_GET_ITEM(rows_, i);
    if (!PyDict_Check(row)) return emit(theirs, key(i), line);
    PyDict_Clear(row);
    RG_CHECK_OK(PyDict_Update(row, theirs));
    return emit(row, key(i), line);
  }

  // The parsed row and its compact line for a file row (a synced line is parsed only now).
  int parsed(DiskRow& r) {
    if (r.row) return 0;
    r.row = codec_.parse(r.line.get());
    if (!r.row) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "synced store line is not a row");
      return -1;
    }
    RG_CHECK(r.line = codec_.line(r.row.get()));
    return 0;
  }

  // A row kept as the file has it.
  int emit_disk(DiskRow& r) {
    if (r.synced >= 0) {
      Py_ssize_t i = memory_of_synced_[static_cast<size_t>(r.synced)];
      if (i >= 0 && !placed_[static_cast<size_t>(i)]) return emit_memory(i);
    }
    RG_CHECK_OK(parsed(r));
    PyObject* index = PyDict_GetItemWithError(memory_at_.get(), r.key.get());
    if (!index) return PyErr_Occurred() ? -1 : emit(r.row.get(), r.key.get(), r.line.get());
    Py_ssize_t i = PyLong_AsSsize_t(index);
    if (placed_[static_cast<size_t>(i)] || change_[static_cast<size_t>(i)] != Change::kNone)
      return emit(r.row.get(), r.key.get(), r.line.get());
    return emit_refreshed(i, r.row.get(), r.line.get());
  }

  // Both this process and another changed the row since this one last synced.
  //  - same content on both sides: a delivery on either side stands;
  //  - ours changed only "flushed": we delivered a state the row no longer has, theirs stands;
  //  - ours changed the content (the owner closing its row): ours stands.
  int resolve(Py_ssize_t i, DiskRow& r) {
    PyObject* index = PyDict_GetItemWithError(synced_by_key_.get(), key(i));
    if (!index) return PyErr_Occurred() ? -1 : emit_memory(i);
    PyObject* base_line = synced_line(PyLong_AsSsize_t(index));
    if (r.line.get() == base_line) return emit_memory(i);
    const int unchanged = PyObject_RichCompareBool(r.line.get(), base_line, Py_EQ);
    RG_CHECK_OK(unchanged);
    if (unchanged) return emit_memory(i);

    RG_CHECK_OK(parsed(r));
    RG_LET(ours, row_content(PyList_GET_ITEM(rows_, i)));
    RG_LET(theirs, row_content(r.row.get()));
    const int same = PyObject_RichCompareBool(ours.get(), theirs.get(), Py_EQ);
    RG_CHECK_OK(same);
    int take_theirs = 0;
    if (same) {
      take_theirs = row_flag(r.row.get(), S("flushed"));
    } else {
      Ref base_row = codec_.parse(base_line);
      if (!base_row && PyErr_Occurred()) return -1;
      if (base_row) {
        RG_LET(base, row_content(base_row.get()));
        take_theirs = PyObject_RichCompareBool(ours.get(), base.get(), Py_EQ);  // only "flushed"
      }
    }
    RG_CHECK_OK(take_theirs);
    return take_theirs ? emit_refreshed(i, r.row.get(), r.line.get()) : emit_memory(i);
  }

  int emit_all() {
    RG_CHECK(out_.rows = steal(PyList_New(0)));
    RG_CHECK(out_.keys = steal(PyList_New(0)));
    RG_CHECK(out_.lines = steal(PyList_New(0)));
    RG_LET(seen, steal(PySet_New(nullptr)));
    for (DiskRow& r : disk_) {
      PyObject* k = r.key.get();
      PyObject* changed = PyDict_GetItemWithError(changed_at_.get(), k);
      if (!changed && PyErr_Occurred()) return -1;
      PyObject* fresh = PyDict_GetItemWithError(new_at_.get(), k);
      if (!fresh && PyErr_Occurred()) return -1;
      const int again = PySet_Contains(seen.get(), k);
      RG_CHECK_OK(again);
      RG_CHECK_OK(PySet_Add(seen.get(), k));
      if (again) {
        if (!changed && !fresh) RG_CHECK_OK(emit_disk(r));  // else ours replaced every copy
      } else if (changed) {
        RG_CHECK_OK(resolve(PyLong_AsSsize_t(changed), r));
      } else if (fresh) {
        for (Py_ssize_t m = 0; m < PyList_GET_SIZE(fresh); ++m)
          RG_CHECK_OK(emit_memory(PyLong_AsSsize_t(PyList_GET_ITEM(fresh, m))));
      } else {
        RG_CHECK_OK(emit_disk(r));
      }
    }
    // Rows new to the file go at the end. A changed row the file no longer has fell out of it
    // (another writer's trim) and stays out, unless it is this process's own session.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows_); ++i) {
      if (placed_[static_cast<size_t>(i)]) continue;
      const Change c = change_[static_cast<size_t>(i)];
      if (c == Change::kNone) continue;
      int mine = 0;
      if (c == Change::kChanged) {
        const int gone = PySet_Contains(seen.get(), key(i));
        RG_CHECK_OK(gone);
        mine = !gone ? PyObject_RichCompareBool(key(i), current_, Py_EQ) : 0;
        RG_CHECK_OK(mine);
      }
      if (c == Change::kNew || mine) RG_CHECK_OK(emit_memory(i));
    }
    return 0;
  }

  const JsonCodec& codec_;
  const Synced& synced_;
  PyObject *rows_, *keys_, *lines_, *current_;
  Merged& out_;

  LineIndex<LineHash> synced_at_;              // line -> synced index
  Ref synced_by_key_;                          // key -> synced index
  FallibleVector<Py_ssize_t> memory_of_synced_;  // synced index -> unchanged row
  FallibleVector<Change> change_;
  FallibleVector<bool> placed_;
  Ref changed_at_, new_at_, memory_at_;  // key -> row index (new: list of indices)
  FallibleVector<DiskRow> disk_;
};

}  // namespace

int Synced::load(PyObject* self) {
  Ref record;
  RG_CHECK_OK(optional_attr(self, S("_store_synced"), record));
  if (record && is_record(record.get())) {
    // Copies: the merge indexes them unchecked while host code (a row's __eq__) may run and
    // could reach the attribute's own lists.
    RG_CHECK(keys = steal(PyList_GetSlice(PyTuple_GET_ITEM(record.get(), 0), 0, PY_SSIZE_T_MAX)));
    RG_CHECK(lines = steal(PyList_GetSlice(PyTuple_GET_ITEM(record.get(), 1), 0, PY_SSIZE_T_MAX)));
    return 0;
  }
  RG_CHECK(keys = steal(PyList_New(0)));
  RG_CHECK(lines = steal(PyList_New(0)));
  return 0;
}

int Synced::save(PyObject* self) const {
  RG_LET(record, steal(PyTuple_Pack(2, keys.get(), lines.get())));
  return PyObject_SetAttr(self, S("_store_synced"), record.get());
}

int Synced::matches(std::string_view disk) const {
  RG_LET(in_file, last_stored(lines.get()));
  if (!PyList_Check(in_file.get())) return 0;
  size_t pos = 0;
  for (Py_ssize_t j = 0; j < PyList_GET_SIZE(in_file.get()); ++j) {
    std::string_view line;
    RG_CHECK_OK(utf8_view(PyList_GET_ITEM(in_file.get(), j), line));
    if (disk.size() - pos < line.size() + 1 || disk.compare(pos, line.size(), line) != 0 ||
        disk[pos + line.size()] != '\n')
      return 0;
    pos += line.size() + 1;
  }
  return pos == disk.size() ? 1 : 0;
}

int merge_into_store(const JsonCodec& codec, const Synced& synced, PyObject* rows, PyObject* keys,
                     PyObject* lines, PyObject* current, std::string_view disk, PyObject* disk_rows,
                     Merged& out) {
  Merger merger(codec, synced, rows, keys, lines, current, out);
  return merger.run(disk, disk_rows);
}

}  // namespace rg
