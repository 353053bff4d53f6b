// EventMarkerPoint: one event marker of a trace with its interpolated
// position, sharing the immutable trace.

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

using quillrun::EventMarkerPoint;

PyResult<Ref> event_marker_point_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto row, g_event_marker_point.shared(self));
  const auto& point = record_of(*row);
  // The path goes in as plain text, without quotes or escapes.
  return text_object("EventMarkerPoint(variant_path=" + point.variant_path + ", lat=" + fixed6(point.lat) +
                    ", lon=" + fixed6(point.lon) + ")");
}

const PyType_Slot kEventMarkerPointSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<event_marker_point_repr>)},
};

PyGetSetDef g_event_marker_point_getters[] = {
    attribute<g_event_marker_point, &EventMarkerPoint::variant_path, text_object>("variant_path"),
    attribute<g_event_marker_point, &EventMarkerPoint::sys_time, datetime_from_instant>("sys_time"),
    attribute<g_event_marker_point, &EventMarkerPoint::lat, float_object>("lat", "Interpolated latitude in degrees."),
    attribute<g_event_marker_point, &EventMarkerPoint::lon, float_object>("lon", "Interpolated longitude in degrees."),
    attribute<g_event_marker_point, &EventMarkerPoint::annotation, text_or_none>("annotation"),
    kEndOfGetters,
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

Class<TraceRow<quillrun::EventMarkerPoint>> g_event_marker_point{kEventMarkerPointSpec};

}  // namespace quillrun::py
