// Marker: one map marker of a trace (an annotation placed on the track),
// handed to Python as a private copy.

#include <Python.h>

#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

PyResult<Ref> marker_lat(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return float_object(marker->lat);
}

PyResult<Ref> marker_lon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return float_object(marker->lon);
}

PyResult<Ref> marker_annotation(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return g_annotation.new_object(quillrun::Annotation{
      .time = marker->time, .label = marker->label, .icon = marker->icon, .icon_unknown = marker->icon_unknown});
}

PyResult<Ref> marker_label(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return text_or_none(marker->label);
}

PyResult<Ref> marker_icon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  // The reader flags every code past the catalog; the second test only
  // keeps a code the bridge has no member for from ever reaching it.
  if (marker->icon_unknown || !is_known_marker_icon(marker->icon)) return Ref::borrow(Py_None);
  return marker_icon_member(static_cast<MarkerIcon>(marker->icon));
}

PyResult<Ref> marker_icon_code(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return own(PyLong_FromLong(marker->icon));
}

PyResult<Ref> marker_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return datetime_from_instant(marker->time);
}

PyResult<Ref> marker_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_marker.shared(self));
  return text_object("Marker(lat=" + fixed6(marker->lat) + ", lon=" + fixed6(marker->lon) + ")");
}

const PyType_Slot kMarkerSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<marker_repr>)},
};

PyGetSetDef g_marker_getters[] = {
    {"lat", &getter_entry<marker_lat>, nullptr, "Interpolated latitude in degrees.", nullptr},
    {"lon", &getter_entry<marker_lon>, nullptr, "Interpolated longitude in degrees.", nullptr},
    {"annotation", &getter_entry<marker_annotation>, nullptr, "The annotation at :attr:`lat` and :attr:`lon`.",
     nullptr},
    {"label", &getter_entry<marker_label>, nullptr, "Display label from the annotation, or `None`.", nullptr},
    {"icon", &getter_entry<marker_icon>, nullptr,
     "Visual icon from the annotation, or ``None`` for an icon code this\n"
     "build does not have. :attr:`icon_code` holds such a code.",
     nullptr},
    {"icon_code", &getter_entry<marker_icon_code>, nullptr,
     "The stored code of :attr:`icon`.\n\n"
     "An icon code this build does not have is returned unchanged, and\n"
     ":attr:`icon` is ``None`` for it.",
     nullptr},
    {"time", &getter_entry<marker_time>, nullptr, "Annotation timestamp (timezone-aware UTC).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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

Class<quillrun::Marker> g_marker{kMarkerSpec};

}  // namespace quillrun::py
