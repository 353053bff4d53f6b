// NavPoint: one nav point of a trace, handed to Python as a private copy, so
// it stays valid whatever happens to the NavFile or the view it came from.

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

PyResult<Ref> nav_point_lat(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return float_object(point->lat);
}

PyResult<Ref> nav_point_lon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return float_object(point->lon);
}

PyResult<Ref> nav_point_gps_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return datetime_or_none(point->times.gps_time());
}

PyResult<Ref> nav_point_sys_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return datetime_or_none(point->times.sys_time());
}

PyResult<Ref> nav_point_heading(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return float_or_none(point->heading);
}

PyResult<Ref> nav_point_speed_mps(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return float_or_none(point->speed_mps);
}

PyResult<Ref> nav_point_eph_m(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return float_or_none(point->eph_m);
}

PyResult<Ref> nav_point_satellites(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  if (!point->satellites) return Ref::borrow(Py_None);
  return g_satellite_report.new_object(*point->satellites);
}

PyResult<Ref> nav_point_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto point, g_nav_point.shared(self));
  return text_object("NavPoint(lat=" + fixed6(point->lat) + ", lon=" + fixed6(point->lon) + ")");
}

const PyType_Slot kNavPointSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<nav_point_repr>)},
};

PyGetSetDef g_nav_point_getters[] = {
    {"lat", &getter_entry<nav_point_lat>, nullptr, "Latitude in degrees, expected in [-90, 90].", nullptr},
    {"lon", &getter_entry<nav_point_lon>, nullptr, "Longitude in degrees, expected in [-180, 180].", nullptr},
    {"gps_time", &getter_entry<nav_point_gps_time>, nullptr,
     "GPS-receiver timestamp (timezone-aware UTC), or `None` when the receiver\nhad no lock.", nullptr},
    {"sys_time", &getter_entry<nav_point_sys_time>, nullptr,
     "System-clock timestamp (timezone-aware UTC), or `None` when the recorder\ndid not supply one.", nullptr},
    {"heading", &getter_entry<nav_point_heading>, nullptr, "Heading in degrees, expected in [0, 360), or `None`.",
     nullptr},
    {"speed_mps", &getter_entry<nav_point_speed_mps>, nullptr,
     "Speed in m/s, expected to be non-negative, or `None`.", nullptr},
    {"eph_m", &getter_entry<nav_point_eph_m>, nullptr,
     "Estimated horizontal accuracy radius in metres, expected to be\nnon-negative, or `None`.", nullptr},
    {"satellites", &getter_entry<nav_point_satellites>, nullptr,
     "Associated satellite report, or `None` if none was recorded at this fix.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
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

Class<quillrun::NavPoint> g_nav_point{kNavPointSpec};

}  // namespace quillrun::py
