// NavPoint: one nav point of a trace. It shares the immutable trace, so it
// stays valid whatever happens to the NavFile or the view it came from.

#include <Python.h>

#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr const char* kNavPointDoc =
    "A nav fix combined with its associated satellite report, as read from a file.\n"
    "\n"
    "The value ranges of :class:`NavFix` apply as expectations only. :attr:`lat`\n"
    "and :attr:`lon` are returned unchanged, NaN included. A NaN :attr:`heading`,\n"
    ":attr:`speed_mps` or :attr:`eph_m` is returned as ``None``, because NaN is how\n"
    "the write path stores an absent one. Checking ranges is the caller's job.";

PyResult<Ref> report_or_none(const std::optional<quillrun::SatelliteReport>& report) {
  if (!report) return Ref::borrow(Py_None);
  return g_satellite_report.new_object(*report);
}

PyResult<Ref> nav_point_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto row, g_nav_point.shared(self));
  const auto& point = record_of(*row);
  return text_object("NavPoint(lat=" + fixed6(point.lat) + ", lon=" + fixed6(point.lon) + ")");
}

const PyType_Slot kNavPointSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<nav_point_repr>)},
};

using quillrun::NavPoint;

PyGetSetDef g_nav_point_getters[] = {
    attribute<g_nav_point, &NavPoint::lat, float_object>("lat", "Latitude in degrees, expected in [-90, 90]."),
    attribute<g_nav_point, &NavPoint::lon, float_object>("lon", "Longitude in degrees, expected in [-180, 180]."),
    attribute<g_nav_point, &NavPoint::times, gps_time_object>(
        "gps_time", "GPS-receiver timestamp (timezone-aware UTC), or `None` when the receiver\nhad no lock."),
    attribute<g_nav_point, &NavPoint::times, sys_time_object>(
        "sys_time", "System-clock timestamp (timezone-aware UTC), or `None` when the recorder\ndid not supply one."),
    attribute<g_nav_point, &NavPoint::heading, float_or_none<double>>(
        "heading", "Heading in degrees, expected in [0, 360), or `None`."),
    attribute<g_nav_point, &NavPoint::speed_mps, float_or_none<double>>(
        "speed_mps", "Speed in m/s, expected to be non-negative, or `None`."),
    attribute<g_nav_point, &NavPoint::eph_m, float_or_none<double>>(
        "eph_m", "Estimated horizontal accuracy radius in metres, expected to be\nnon-negative, or `None`."),
    attribute<g_nav_point, &NavPoint::satellites, report_or_none>(
        "satellites", "Associated satellite report, or `None` if none was recorded at this fix."),
    kEndOfGetters,
};

const ClassSpec kNavPointSpec{
    .qualified_name = "builtins.NavPoint",
    .doc = kNavPointDoc,
    .has_constructor = false,
    .is_sequence = false,
    .slots = kNavPointSlots,
    .getters = g_nav_point_getters,
};

}  // namespace

Class<TraceRow<quillrun::NavPoint>> g_nav_point{kNavPointSpec};

}  // namespace quillrun::py
