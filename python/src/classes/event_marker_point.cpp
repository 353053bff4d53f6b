// EventMarkerPoint: one event marker of a trace with its interpolated
// position, handed to Python as a private copy.

#include <Python.h>

#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr const char* kEventMarkerPointDoc =
    "A resolved event marker as read from a :class:`NavFile`, with an\n"
    "interpolated map position.\n"
    "\n"
    "Obtained via the :attr:`NavFile.event_markers` getter.";

PyResult<Ref> event_marker_point_variant_path(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  return text_object(point->variant_path);
}

PyResult<Ref> event_marker_point_sys_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  return datetime_from_instant(point->sys_time);
}

PyResult<Ref> event_marker_point_lat(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  return float_object(point->lat);
}

PyResult<Ref> event_marker_point_lon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  return float_object(point->lon);
}

PyResult<Ref> event_marker_point_annotation(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  return text_or_none(point->annotation);
}

PyResult<Ref> event_marker_point_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_event_marker_point.shared(self));
  // The path goes in as plain text, without quotes or escapes.
  return text_object("EventMarkerPoint(variant_path=" + point->variant_path + ", lat=" + fixed6(point->lat) +
                    ", lon=" + fixed6(point->lon) + ")");
}

const PyType_Slot kEventMarkerPointSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<event_marker_point_repr>)},
};

PyGetSetDef g_event_marker_point_getters[] = {
    {"variant_path", &getter_entry<event_marker_point_variant_path>, nullptr, nullptr, nullptr},
    {"sys_time", &getter_entry<event_marker_point_sys_time>, nullptr, nullptr, nullptr},
    {"lat", &getter_entry<event_marker_point_lat>, nullptr, "Interpolated latitude in degrees.", nullptr},
    {"lon", &getter_entry<event_marker_point_lon>, nullptr, "Interpolated longitude in degrees.", nullptr},
    {"annotation", &getter_entry<event_marker_point_annotation>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kEventMarkerPointSpec{
    .qualified_name = "builtins.EventMarkerPoint",
    .doc = kEventMarkerPointDoc,
    .has_constructor = false,
    .is_sequence = false,
    .slots = kEventMarkerPointSlots,
    .getters = g_event_marker_point_getters,
};

}  // namespace

Class<quillrun::EventMarkerPoint> g_event_marker_point{kEventMarkerPointSpec};

}  // namespace quillrun::py
