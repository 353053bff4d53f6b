// Marker: one map marker of a trace (an annotation placed on the track),
// sharing the immutable trace.

#include <Python.h>

#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

using quillrun::Marker;

PyResult<Ref> annotation_of(const Marker& marker) {
  return g_annotation.new_object(quillrun::Annotation{
      .time = marker.time, .label = marker.label, .icon = marker.icon, .icon_unknown = marker.icon_unknown});
}

PyResult<Ref> icon_or_none(const Marker& marker) {
  // The reader flags every code past the catalog; the second test only
  // keeps a code the bridge has no member for from ever reaching it.
  if (marker.icon_unknown || !is_known_marker_icon(marker.icon)) return Ref::borrow(Py_None);
  return marker_icon_member(static_cast<MarkerIcon>(marker.icon));
}

PyResult<Ref> marker_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto row, g_marker.shared(self));
  const auto& marker = record_of(*row);
  return text_object("Marker(lat=" + fixed6(marker.lat) + ", lon=" + fixed6(marker.lon) + ")");
}

const PyType_Slot kMarkerSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<marker_repr>)},
};

PyGetSetDef g_marker_getters[] = {
    attribute<g_marker, &Marker::lat, float_object>("lat", "Interpolated latitude in degrees."),
    attribute<g_marker, &Marker::lon, float_object>("lon", "Interpolated longitude in degrees."),
    computed<g_marker, annotation_of>("annotation", "The annotation at :attr:`lat` and :attr:`lon`."),
    attribute<g_marker, &Marker::label, text_or_none>("label", "Display label from the annotation, or `None`."),
    computed<g_marker, icon_or_none>("icon",
                                     "Visual icon from the annotation, or ``None`` for an icon code this\n"
                                     "build does not have. :attr:`icon_code` holds such a code."),
    attribute<g_marker, &Marker::icon, int_object>("icon_code",
                                                   "The stored code of :attr:`icon`.\n\n"
                                                   "An icon code this build does not have is returned unchanged, and\n"
                                                   ":attr:`icon` is ``None`` for it."),
    attribute<g_marker, &Marker::time, datetime_from_instant>("time", "Annotation timestamp (timezone-aware UTC)."),
    kEndOfGetters,
};

const ClassSpec kMarkerSpec{
    .qualified_name = "builtins.Marker",
    .doc = "A map annotation with its interpolated position on the nav track.",
    .has_constructor = false,
    .is_sequence = false,
    .slots = kMarkerSlots,
    .getters = g_marker_getters,
};

}  // namespace

Class<TraceRow<quillrun::Marker>> g_marker{kMarkerSpec};

}  // namespace quillrun::py
