// NavPointSequence and NavPointIterator: the nav points of a trace, and the
// column methods that hand out one field of every point as a list.

#include <Python.h>

#include <vector>

#include "classes/class_objects.hpp"
#include "classes/sequence_view_ops.hpp"
#include "bridge/time_convert.hpp"

namespace quillrun::py {
namespace {

struct NavPointTable {
  static constexpr const char* kReprPrefix = "NavPointSequence(len=";
  static Class<SequenceView>& view() { return g_nav_point_sequence; }
  static Class<SequenceIterator>& iterator() { return g_nav_point_iterator; }
  static const std::vector<quillrun::NavPoint>& rows(const NavFileData& trace) { return trace.points; }
  static PyResult<Ref> element(quillrun::NavPoint copy) { return g_nav_point.new_object(std::move(copy)); }
};

// One entry per nav point, in table order; each entry as the matching
// NavPoint getter gives it.
template <PyResult<Ref> (*Entry)(const quillrun::NavPoint&)>
PyResult<Ref> column(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto view, g_nav_point_sequence.shared(self));
  const std::vector<quillrun::NavPoint>& points = view->trace->points;
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(static_cast<Py_ssize_t>(points.size()))));
  for (std::size_t i = 0; i < points.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Ref entry, Entry(points[i]));
    // A list made with its length holds nulls until filled; should a later
    // entry fail, freeing it skips them.
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry.release());
  }
  return list;
}

PyResult<Ref> latitude(const quillrun::NavPoint& point) { return float_object(point.lat); }
PyResult<Ref> longitude(const quillrun::NavPoint& point) { return float_object(point.lon); }
PyResult<Ref> gps_time(const quillrun::NavPoint& point) { return datetime_or_none(point.times.gps_time()); }
PyResult<Ref> sys_time(const quillrun::NavPoint& point) { return datetime_or_none(point.times.sys_time()); }
PyResult<Ref> heading(const quillrun::NavPoint& point) { return float_or_none(point.heading); }
PyResult<Ref> speed_mps(const quillrun::NavPoint& point) { return float_or_none(point.speed_mps); }
PyResult<Ref> eph_m(const quillrun::NavPoint& point) { return float_or_none(point.eph_m); }

PyMethodDef g_nav_point_sequence_methods[] = {
    {"latitudes", as_cfunction(&noargs_entry<&column<&latitude>>), METH_NOARGS,
     "Every point's latitude in degrees."},
    {"longitudes", as_cfunction(&noargs_entry<&column<&longitude>>), METH_NOARGS,
     "Every point's longitude in degrees."},
    {"gps_times", as_cfunction(&noargs_entry<&column<&gps_time>>), METH_NOARGS,
     "Every point's GPS-receiver timestamp, ``None`` where the receiver\nhad no lock."},
    {"sys_times", as_cfunction(&noargs_entry<&column<&sys_time>>), METH_NOARGS,
     "Every point's system-clock timestamp, ``None`` where the recorder\nsupplied none."},
    {"headings", as_cfunction(&noargs_entry<&column<&heading>>), METH_NOARGS,
     "Every point's heading in degrees, or ``None`` for a fix without one."},
    {"speeds_mps", as_cfunction(&noargs_entry<&column<&speed_mps>>), METH_NOARGS,
     "Every point's speed in m/s, or ``None`` for a fix without one."},
    {"eph_m_values", as_cfunction(&noargs_entry<&column<&eph_m>>), METH_NOARGS,
     "Every point's horizontal accuracy radius in metres, or ``None`` for a\nfix without one."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassSpec kNavPointSequenceSpec{
    .qualified_name = "builtins.NavPointSequence",
    .doc = "The nav points of a :class:`NavFile`, in chronological order." QR_SEQUENCE_DOC_TAIL,
    .has_constructor = false,
    .is_sequence = true,
    .slots = SequenceSlots<NavPointTable>::kView,
    .methods = g_nav_point_sequence_methods,
};

const ClassSpec kNavPointIteratorSpec{
    .qualified_name = "builtins.NavPointIterator",
    .doc = "",
    .has_constructor = false,
    .is_sequence = false,
    .slots = SequenceSlots<NavPointTable>::kIterator,
};

}  // namespace

Class<SequenceView> g_nav_point_sequence{kNavPointSequenceSpec};
Class<SequenceIterator> g_nav_point_iterator{kNavPointIteratorSpec};

}  // namespace quillrun::py
