// Merging our rows into the store another instance left, over Python dicts and lists (a failed
// allocation is a MemoryError, never an abort).
#include "capi/buffer.hpp"
#include "capi/call.hpp"
#include "guarder/guarder.hpp"

namespace rg {
namespace {
enum Change : signed char { kSame, kChanged, kNew };

class Merger {
 public:
  Merger(const JsonCodec& codec, const Synced& synced, const StoreRows& mine, StoreRows& disk, StoreRows& out)
      : codec_(codec), synced_(synced), mine_(mine), disk_(disk), out_(out) {}
  int run(PyObject* current) {
    RG_CHECK_OK(classify());
    RG_LET(seen, steal(PySet_New(nullptr)));
    for (Py_ssize_t k = 0; k < disk_.rows.size(); ++k) {
      const int again = PySet_Contains(seen.get(), disk_.keys.at(k));
      RG_CHECK_OK(again);
      RG_CHECK_OK(PySet_Add(seen.get(), disk_.keys.at(k)));
      PyObject* at = PyDict_GetItemWithError(memory_at_.get(), disk_.keys.at(k));
      RG_CHECK(at || !PyErr_Occurred());
      const Py_ssize_t i = at ? PyLong_AsSsize_t(at) : -1;
      const Change change = i < 0 ? kSame : static_cast<Change>(change_[i]);
      if (again && change != kSame) continue;  // ours replaced every copy
      if (change == kChanged) RG_CHECK_OK(resolve(i, k));
      if (change == kNew) RG_CHECK_OK(emit_mine(i));
      if (change == kSame) RG_CHECK_OK(i < 0 || placed_[i] ? emit_theirs(k) : keep_or_refresh(i, k));
    }
    // Rows new to the file go at the end. A changed row the file no longer has fell out of it
    // (another writer's trim) and stays out, unless it is this process's own session.
    for (Py_ssize_t i = 0; i < mine_.rows.size(); ++i) {
      if (placed_[i] || change_[i] == kSame) continue;
      int keep = change_[i] == kNew;
      if (!keep) {
        const int on_file = PySet_Contains(seen.get(), key(i));
        RG_CHECK_OK(on_file);
        keep = on_file ? 0 : PyObject_RichCompareBool(key(i), current, Py_EQ);
        RG_CHECK_OK(keep);
      }
      if (keep) RG_CHECK_OK(emit_mine(i));
    }
    return 0;
  }
 private:
  PyObject* row(Py_ssize_t i) const { return mine_.rows.at(i); }
  PyObject* key(Py_ssize_t i) const { return mine_.keys.at(i); }
  // Which rows this process created or changed since it last synced; the file's rows that the
  // reader parsed are written back compact.
  int classify() {
    const Py_ssize_t n = mine_.rows.size();
    RG_CHECK(memory_at_ = steal(PyDict_New()));
    RG_CHECK_OK(no_rows(out_));
    for (Py_ssize_t i = 0; i < n; ++i) {
      RG_LET(index, integer(i));
      RG_CHECK_OK(PyDict_SetItem(memory_at_.get(), key(i), index.get()));
      const int same = PyDict_Contains(synced_.key_of.get(), mine_.lines.at(i));
      const int known = same ? same : PyDict_Contains(synced_.line_of.get(), key(i));
      RG_CHECK_OK(known);
      if (!change_.push(same ? kSame : known ? kChanged : kNew) || !placed_.push(false)) return -1;
    }
    for (Py_ssize_t k = 0; k < disk_.rows.size(); ++k) {
      if (disk_.rows.at(k) == Py_None) continue;
      RG_LET(compact, codec_.line(disk_.rows.at(k), disk_.lines.at(k)));
      RG_CHECK_OK(PyList_SetItem(disk_.lines.get(), k, compact.release()));
    }
    return 0;
  }
  int emit(PyObject* row, PyObject* key, PyObject* line) {
    RG_CHECK_OK(PyList_Append(out_.rows.get(), row));
    RG_CHECK_OK(PyList_Append(out_.keys.get(), key));
    return PyList_Append(out_.lines.get(), line);
  }
  int emit_mine(Py_ssize_t i) {
    placed_[i] = true;
    return emit(row(i), key(i), mine_.lines.at(i));
  }
  // The file's row k, parsed now if the reader knew it as a line this component synced.
  int parsed(Py_ssize_t k) {
    if (disk_.rows.at(k) != Py_None) return 0;
    Ref row = codec_.parse(disk_.lines.at(k));
    if (!row && !PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "synced store line is not a row");
    RG_CHECK(row);
    return PyList_SetItem(disk_.rows.get(), k, row.release());
  }
  int emit_theirs(Py_ssize_t k) {
    RG_CHECK_OK(parsed(k));
    return emit(disk_.rows.at(k), disk_.keys.at(k), disk_.lines.at(k));
  }
  // Our unchanged row i takes the file's version k; it stays the same object when it can.
  int keep_or_refresh(Py_ssize_t i, Py_ssize_t k) {
    const int same = PyObject_RichCompareBool(mine_.lines.at(i), disk_.lines.at(k), Py_EQ);
    RG_CHECK_OK(same);
    if (same) return emit_mine(i);
    placed_[i] = true;
    if (!PyDict_Check(row(i))) return emit_theirs(k);
    RG_CHECK_OK(parsed(k));
    PyDict_Clear(row(i));
    RG_CHECK_OK(PyDict_Update(row(i), disk_.rows.at(k)));
    return emit(row(i), key(i), disk_.lines.at(k));
  }
  // Both this process and another changed the row since this one last synced:
  //  - same content on both sides: a delivery on either side stands;
  //  - ours changed only "flushed": we delivered a state the row no longer has, theirs stands;
  //  - ours changed the content (the owner closing its row): ours stands.
  int resolve(Py_ssize_t i, Py_ssize_t k) {
    PyObject* base_line = PyDict_GetItemWithError(synced_.line_of.get(), key(i));  // borrowed
    if (!base_line) return PyErr_Occurred() ? -1 : emit_mine(i);
    Ref base = borrow(base_line);  // host code runs below
    const int unchanged = PyObject_RichCompareBool(disk_.lines.at(k), base.get(), Py_EQ);
    RG_CHECK_OK(unchanged);
    if (unchanged) return emit_mine(i);
    RG_CHECK_OK(parsed(k));
    RG_LET(ours, row_content(row(i)));
    RG_LET(theirs, row_content(disk_.rows.at(k)));
    const int same = PyObject_RichCompareBool(ours.get(), theirs.get(), Py_EQ);
    RG_CHECK_OK(same);
    int take_theirs = 0;
    if (same) {
      take_theirs = row_flag(disk_.rows.at(k), S("flushed"));
    } else if (Ref base_row = codec_.parse(base.get())) {
      RG_LET(base_content, row_content(base_row.get()));
      take_theirs = PyObject_RichCompareBool(ours.get(), base_content.get(), Py_EQ);  // only "flushed"
    } else if (PyErr_Occurred()) {
      return -1;
    }
    RG_CHECK_OK(take_theirs);
    return take_theirs ? keep_or_refresh(i, k) : emit_mine(i);
  }
  const JsonCodec& codec_;
  const Synced& synced_;
  const StoreRows& mine_;
  StoreRows& disk_;
  StoreRows& out_;
  Ref memory_at_;  // key -> index of our last row with it
  Buffer<signed char> change_;
  Buffer<bool> placed_;
};
}  // namespace

int Synced::load(PyObject* self) {
  Ref record;
  if (lookup_attr(self, S("_store_synced"), record) == Answer::kFailed) return failed;
  Tuple pair = Tuple::probe(record.get());
  List k = pair && pair.size() == 2 ? List::probe(pair.at(0)) : List();
  List l = pair && pair.size() == 2 ? List::probe(pair.at(1)) : List();
  const bool whole = k && l && k.size() == l.size();
  // Copies: host code (a key's __hash__) may run meanwhile and reach the attribute's lists.
  RG_CHECK(keys = List::fresh(whole ? PyList_GetSlice(k.get(), 0, PY_SSIZE_T_MAX) : PyList_New(0)));
  RG_CHECK(lines = List::fresh(whole ? PyList_GetSlice(l.get(), 0, PY_SSIZE_T_MAX) : PyList_New(0)));
  RG_CHECK(line_of = steal(PyDict_New()));
  for (Py_ssize_t j = 0; j < lines.size(); ++j)
    RG_CHECK_OK(PyDict_SetItem(line_of.get(), keys.at(j), lines.at(j)));
  return 0;
}

int Synced::index_lines() {
  RG_CHECK(key_of = steal(PyDict_New()));
  for (Py_ssize_t j = 0; j < lines.size(); ++j)
    RG_CHECK_OK(PyDict_SetItem(key_of.get(), lines.at(j), keys.at(j)));
  return 0;
}

int Synced::save(PyObject* self) const {
  RG_LET(record, steal(PyTuple_Pack(2, keys.get(), lines.get())));
  return PyObject_SetAttr(self, S("_store_synced"), record.get());
}

int merge_rows(const JsonCodec& codec, const Synced& synced, const StoreRows& mine, PyObject* current,
               StoreRows& disk, StoreRows& out) {
  return Merger(codec, synced, mine, disk, out).run(current);
}
}  // namespace rg
