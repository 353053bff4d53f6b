#pragma once
// The operations every view and iterator shares, written once over a table
// description:
//
//   struct Table {
//     static constexpr const char* kReprPrefix;  // "NavPointSequence(len="
//     static Class<SequenceView>& view();
//     static Class<SequenceIterator>& iterator();
//     static const std::vector<Record>& rows(const NavFileData&);
//     static PyResult<Ref> element(Record copy);  // the element object
//   };

#include <Python.h>

#include <cstdint>
#include <string>

#include "runtime/errors.hpp"
#include "runtime/frame.hpp"
#include "classes/sequence_views.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {

template <class Table>
struct SequenceOps {
  static PyResult<Py_ssize_t> len(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, Table::view().shared(self));
    const std::size_t count = Table::rows(*view->trace).size();
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      return fail(PyError::new_error(PyExc_OverflowError, "length does not fit a Py_ssize_t"));
    }
    return static_cast<Py_ssize_t>(count);
  }

  static PyResult<Ref> getitem(PyObject* self, PyObject* key) {
    QR_ASSIGN_OR_RETURN(auto view, Table::view().shared(self));
    const auto& rows = Table::rows(*view->trace);
    if (PySlice_Check(key)) return slice(rows, key);

    // int or __index__; anything else is the conversion's TypeError, an int
    // past 64 bits its OverflowError.
    long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
    if (index < 0) index += static_cast<long long>(rows.size());
    // Still negative reads as huge: one test covers both ends.
    const auto row = static_cast<std::uint64_t>(index);
    if (row >= rows.size()) return fail(PyError::new_error(PyExc_IndexError, "index out of range"));
    return Table::element(rows[static_cast<std::size_t>(row)]);
  }

  static PyResult<Ref> iter(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, Table::view().shared(self));
    return Table::iterator().new_object(SequenceIterator{view->trace, 0});
  }

  static PyResult<Ref> repr(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, Table::view().shared(self));
    return text_object(std::string(Table::kReprPrefix) + std::to_string(Table::rows(*view->trace).size()) + ")");
  }

  // A null result without an exception ends the iteration; the position
  // stays, so every later call ends it again.
  static PyResult<Ref> next(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto iterator, Table::iterator().exclusive(self));
    const auto& rows = Table::rows(*iterator->trace);
    if (iterator->position >= rows.size()) return Ref{};
    auto copy = rows[iterator->position];
    ++iterator->position;
    return Table::element(std::move(copy));
  }

 private:
  template <class Rows>
  static PyResult<Ref> slice(const Rows& rows, PyObject* key) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    // A zero step is the interpreter's ValueError, non-integer bounds its
    // TypeError.
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return fail(PyError::fetch());
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(rows.size()), &start, &stop, step);
    QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(0)));
    for (Py_ssize_t i = 0; i < count; ++i) {
      // Computed afresh each time: stepping past the last index could
      // overflow.
      const Py_ssize_t index = start + i * step;
      if (index < 0 || static_cast<std::size_t>(index) >= rows.size()) continue;
      QR_ASSIGN_OR_RETURN(Ref element, Table::element(rows[static_cast<std::size_t>(index)]));
      QR_TRY(check(PyList_Append(list.get(), element.get())));
    }
    return list;
  }
};

// The table entries of a view and of its iterator.
template <class Table>
struct SequenceSlots {
  static inline const PyType_Slot kView[] = {
      {Py_mp_length, as_slot(&size_entry<&SequenceOps<Table>::len>)},
      {Py_mp_subscript, as_slot(&binary_entry<&SequenceOps<Table>::getitem>)},
      {Py_tp_iter, as_slot(&unary_entry<&SequenceOps<Table>::iter>)},
      {Py_tp_repr, as_slot(&unary_entry<&SequenceOps<Table>::repr>)},
  };
  static inline const PyType_Slot kIterator[] = {
      {Py_tp_iter, as_slot(&unary_entry<&return_self>)},
      {Py_tp_iternext, as_slot(&unary_entry<&SequenceOps<Table>::next>)},
  };
};

// The closing sentences every view's docstring shares.
#define QR_SEQUENCE_DOC_TAIL                                                         \
  "\n\nSupports ``len()``, indexing, slicing and iteration, and builds one new\n" \
  "element object per element read. It keeps working after the :class:`NavFile`\n" \
  "object is gone."

}  // namespace quillrun::py
