// The five views and their iterators, written once over a table
// description: the trace's rows, the element class, and the view and
// iterator classes.

#include "classes/sequence_views.hpp"

#include <Python.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "bridge/time_convert.hpp"
#include "classes/class_objects.hpp"
#include "classes/value_class.hpp"
#include "runtime/errors.hpp"
#include "runtime/frame.hpp"

namespace quillrun::py {
namespace {

template <class Record, std::vector<Record> NavFileData::*Rows, auto& Element, auto& View, auto& Iterator>
struct Table {
  static const std::vector<Record>& rows(const NavFileData& trace) { return trace.*Rows; }
  static PyResult<Ref> element(const SharedTrace& trace, std::size_t index) {
    const Record& record = rows(*trace)[index];
    using Payload = typename std::remove_reference_t<decltype(Element)>::Payload;
    if constexpr (std::is_same_v<Payload, TraceRow<Record>>) {
      return Element.new_object(TraceRow<Record>{trace, &record});
    } else {
      return Element.new_object(Record(record));
    }
  }
  static Class<SequenceView>& view() { return View; }
  static Class<SequenceIterator>& iterator() { return Iterator; }
};

template <class T>
struct Ops {
  static PyResult<Py_ssize_t> len(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, T::view().shared(self));
    const std::size_t count = T::rows(*view->trace).size();
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
      return fail(PyError::new_error(PyExc_OverflowError, "length does not fit a Py_ssize_t"));
    }
    return static_cast<Py_ssize_t>(count);
  }

  static PyResult<Ref> getitem(PyObject* self, PyObject* key) {
    QR_ASSIGN_OR_RETURN(auto view, T::view().shared(self));
    const std::size_t size = T::rows(*view->trace).size();
    if (PySlice_Check(key)) return slice(view->trace, size, key);

    // int or __index__; anything else is the conversion's TypeError, an int
    // past 64 bits its OverflowError.
    long long index = PyLong_AsLongLong(key);
    if (index == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
    if (index < 0) index += static_cast<long long>(size);
    // Still negative reads as huge: one test covers both ends.
    const auto row = static_cast<std::uint64_t>(index);
    if (row >= size) return fail(PyError::new_error(PyExc_IndexError, "index out of range"));
    return T::element(view->trace, static_cast<std::size_t>(row));
  }

  static PyResult<Ref> iter(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, T::view().shared(self));
    return T::iterator().new_object(SequenceIterator{view->trace, 0});
  }

  static PyResult<Ref> repr(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto view, T::view().shared(self));
    return text_object(std::string(T::view().name()) + "(len=" + std::to_string(T::rows(*view->trace).size()) + ")");
  }

  // A null result without an exception ends the iteration; the position
  // stays, so every later call ends it again.
  static PyResult<Ref> next(PyObject* self) {
    QR_ASSIGN_OR_RETURN(auto iterator, T::iterator().exclusive(self));
    if (iterator->position >= T::rows(*iterator->trace).size()) return Ref{};
    const std::size_t index = iterator->position++;
    return T::element(iterator->trace, index);
  }

  static PyResult<Ref> slice(const SharedTrace& trace, std::size_t size, PyObject* key) {
    Py_ssize_t start = 0;
    Py_ssize_t stop = 0;
    Py_ssize_t step = 0;
    // A zero step is the interpreter's ValueError, non-integer bounds its
    // TypeError.
    if (PySlice_Unpack(key, &start, &stop, &step) < 0) return fail(PyError::fetch());
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(size), &start, &stop, step);
    QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(0)));
    for (Py_ssize_t i = 0; i < count; ++i) {
      // Computed afresh each time: stepping past the last index could
      // overflow.
      const Py_ssize_t index = start + i * step;
      if (index < 0 || static_cast<std::size_t>(index) >= size) continue;
      QR_ASSIGN_OR_RETURN(Ref element, T::element(trace, static_cast<std::size_t>(index)));
      QR_TRY(check(PyList_Append(list.get(), element.get())));
    }
    return list;
  }

  static inline const PyType_Slot kViewSlots[] = {
      {Py_mp_length, as_slot(&size_entry<&Ops::len>)},
      {Py_mp_subscript, as_slot(&binary_entry<&Ops::getitem>)},
      {Py_tp_iter, as_slot(&unary_entry<&Ops::iter>)},
      {Py_tp_repr, as_slot(&unary_entry<&Ops::repr>)},
  };
  static inline const PyType_Slot kIteratorSlots[] = {
      {Py_tp_iter, as_slot(&unary_entry<&return_self>)},
      {Py_tp_iternext, as_slot(&unary_entry<&Ops::next>)},
  };
};

using NavPoints = Table<quillrun::NavPoint, &NavFileData::points, g_nav_point, g_nav_point_sequence,
                        g_nav_point_iterator>;
using Markers = Table<quillrun::Marker, &NavFileData::markers, g_marker, g_marker_sequence, g_marker_iterator>;
using EventMarkerPoints = Table<quillrun::EventMarkerPoint, &NavFileData::event_markers, g_event_marker_point,
                                g_event_marker_point_sequence, g_event_marker_point_iterator>;
using Channels = Table<quillrun::Channel, &NavFileData::channels, g_channel, g_channel_sequence, g_channel_iterator>;
using EventMarkerStyles = Table<quillrun::EventMarkerStyle, &NavFileData::event_marker_styles, g_event_marker_style,
                                g_event_marker_style_sequence, g_event_marker_style_iterator>;

// One entry per nav point, in table order; each entry as the matching
// NavPoint getter gives it.
template <auto Read, auto Convert>
PyResult<Ref> column(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto view, g_nav_point_sequence.shared(self));
  const std::vector<quillrun::NavPoint>& points = view->trace->points;
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(static_cast<Py_ssize_t>(points.size()))));
  for (std::size_t i = 0; i < points.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Ref entry, Convert(points[i].*Read));
    // A list made with its length holds nulls until filled; should a later
    // entry fail, freeing it skips them.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

using quillrun::NavPoint;

PyMethodDef g_nav_point_sequence_methods[] = {
    {"latitudes", as_cfunction(&noargs_entry<&column<&NavPoint::lat, float_object>>), METH_NOARGS,
     "Every point's latitude in degrees."},
    {"longitudes", as_cfunction(&noargs_entry<&column<&NavPoint::lon, float_object>>), METH_NOARGS,
     "Every point's longitude in degrees."},
    {"gps_times", as_cfunction(&noargs_entry<&column<&NavPoint::times, gps_time_object>>), METH_NOARGS,
     "Every point's GPS-receiver timestamp, ``None`` where the receiver\nhad no lock."},
    {"sys_times", as_cfunction(&noargs_entry<&column<&NavPoint::times, sys_time_object>>), METH_NOARGS,
     "Every point's system-clock timestamp, ``None`` where the recorder\nsupplied none."},
    {"headings", as_cfunction(&noargs_entry<&column<&NavPoint::heading, float_or_none<double>>>), METH_NOARGS,
     "Every point's heading in degrees, or ``None`` for a fix without one."},
    {"speeds_mps", as_cfunction(&noargs_entry<&column<&NavPoint::speed_mps, float_or_none<double>>>), METH_NOARGS,
     "Every point's speed in m/s, or ``None`` for a fix without one."},
    {"eph_m_values", as_cfunction(&noargs_entry<&column<&NavPoint::eph_m, float_or_none<double>>>), METH_NOARGS,
     "Every point's horizontal accuracy radius in metres, or ``None`` for a\nfix without one."},
    {nullptr, nullptr, 0, nullptr},
};

// The closing sentences every view's docstring shares.
#define QR_SEQUENCE_DOC_TAIL                                                         \
  "\n\nSupports ``len()``, indexing, slicing and iteration, and builds one new\n" \
  "element object per element read. It keeps working after the :class:`NavFile`\n" \
  "object is gone."

template <class T>
constexpr ClassSpec view_spec(const char* qualified_name, const char* doc, PyMethodDef* methods = nullptr) {
  return {.qualified_name = qualified_name, .doc = doc, .has_constructor = false, .is_sequence = true,
          .slots = Ops<T>::kViewSlots, .methods = methods};
}

template <class T>
constexpr ClassSpec iterator_spec(const char* qualified_name) {
  return {.qualified_name = qualified_name, .doc = "", .has_constructor = false, .is_sequence = false,
          .slots = Ops<T>::kIteratorSlots};
}

const ClassSpec kNavPointSequenceSpec = view_spec<NavPoints>(
    "builtins.NavPointSequence", "The nav points of a :class:`NavFile`, in chronological order." QR_SEQUENCE_DOC_TAIL,
    g_nav_point_sequence_methods);
const ClassSpec kNavPointIteratorSpec = iterator_spec<NavPoints>("builtins.NavPointIterator");
const ClassSpec kMarkerSequenceSpec = view_spec<Markers>(
    "builtins.MarkerSequence",
    "The map markers of a :class:`NavFile` with their interpolated positions." QR_SEQUENCE_DOC_TAIL);
const ClassSpec kMarkerIteratorSpec = iterator_spec<Markers>("builtins.MarkerIterator");
const ClassSpec kEventMarkerPointSequenceSpec = view_spec<EventMarkerPoints>(
    "builtins.EventMarkerPointSequence",
    "The event markers of a :class:`NavFile` with their interpolated positions." QR_SEQUENCE_DOC_TAIL);
const ClassSpec kEventMarkerPointIteratorSpec = iterator_spec<EventMarkerPoints>("builtins.EventMarkerPointIterator");
const ClassSpec kChannelSequenceSpec = view_spec<Channels>(
    "builtins.ChannelSequence", "The sensor channels of a :class:`NavFile`, sorted by name." QR_SEQUENCE_DOC_TAIL);
const ClassSpec kChannelIteratorSpec = iterator_spec<Channels>("builtins.ChannelIterator");
const ClassSpec kEventMarkerStyleSequenceSpec = view_spec<EventMarkerStyles>(
    "builtins.EventMarkerStyleSequence",
    "The per-variant event marker styles of a :class:`NavFile`." QR_SEQUENCE_DOC_TAIL);
const ClassSpec kEventMarkerStyleIteratorSpec = iterator_spec<EventMarkerStyles>("builtins.EventMarkerStyleIterator");

#undef QR_SEQUENCE_DOC_TAIL

}  // namespace

Class<SequenceView> g_nav_point_sequence{kNavPointSequenceSpec};
Class<SequenceIterator> g_nav_point_iterator{kNavPointIteratorSpec};
Class<SequenceView> g_marker_sequence{kMarkerSequenceSpec};
Class<SequenceIterator> g_marker_iterator{kMarkerIteratorSpec};
Class<SequenceView> g_event_marker_point_sequence{kEventMarkerPointSequenceSpec};
Class<SequenceIterator> g_event_marker_point_iterator{kEventMarkerPointIteratorSpec};
Class<SequenceView> g_channel_sequence{kChannelSequenceSpec};
Class<SequenceIterator> g_channel_iterator{kChannelIteratorSpec};
Class<SequenceView> g_event_marker_style_sequence{kEventMarkerStyleSequenceSpec};
Class<SequenceIterator> g_event_marker_style_iterator{kEventMarkerStyleIteratorSpec};

}  // namespace quillrun::py
