// NavFix: one position fix with its receiver and/or host time.

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"lat"},
    {"lon"},
    {"gps_time", ParamKind::KeywordOnly, false},
    {"sys_time", ParamKind::KeywordOnly, false},
    {"heading", ParamKind::KeywordOnly, false},
    {"speed_mps", ParamKind::KeywordOnly, false},
    {"eph_m", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"NavFix.__new__()", kParams};

PyResult<Ref> nav_fix_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[7];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  NavFix fix;
  QR_ASSIGN_OR_RETURN(fix.lat, for_param("lat", to_double(values[0])));
  QR_ASSIGN_OR_RETURN(fix.lon, for_param("lon", to_double(values[1])));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> gps_time, optional_time_arg("gps_time", values[2]));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> sys_time, optional_time_arg("sys_time", values[3]));
  QR_ASSIGN_OR_RETURN(fix.heading, optional_double_arg("heading", values[4]));
  QR_ASSIGN_OR_RETURN(fix.speed_mps, optional_double_arg("speed_mps", values[5]));
  QR_ASSIGN_OR_RETURN(fix.eph_m, optional_double_arg("eph_m", values[6]));
  const auto times = Timestamps::from(gps_time, sys_time);
  if (!times) return fail(PyError::value_error("provide gps_time or sys_time"));
  fix.times = *times;
  return g_nav_fix.new_object(std::move(fix));
}

PyResult<Ref> nav_fix_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return text_object("NavFix(lat=" + fixed6(fix->lat) + ", lon=" + fixed6(fix->lon) + ")");
}

PyResult<Ref> nav_fix_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_nav_fix, self, other, op);
}

PyResult<Ref> get_lat(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return float_object(fix->lat);
}
PyResult<Ref> get_lon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return float_object(fix->lon);
}
PyResult<Ref> get_gps_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return datetime_or_none(fix->times.gps_time());
}
PyResult<Ref> get_sys_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return datetime_or_none(fix->times.sys_time());
}
PyResult<Ref> get_heading(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return float_or_none(fix->heading);
}
PyResult<Ref> get_speed_mps(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return float_or_none(fix->speed_mps);
}
PyResult<Ref> get_eph_m(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return float_or_none(fix->eph_m);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<nav_fix_new>)},
    {Py_tp_repr, as_slot(&unary_entry<nav_fix_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<nav_fix_compare>)},
};

PyGetSetDef g_getters[] = {
    {"lat", &getter_entry<get_lat>, nullptr, nullptr, nullptr},
    {"lon", &getter_entry<get_lon>, nullptr, nullptr, nullptr},
    {"gps_time", &getter_entry<get_gps_time>, nullptr, nullptr, nullptr},
    {"sys_time", &getter_entry<get_sys_time>, nullptr, nullptr, nullptr},
    {"heading", &getter_entry<get_heading>, nullptr, nullptr, nullptr},
    {"speed_mps", &getter_entry<get_speed_mps>, nullptr, nullptr, nullptr},
    {"eph_m", &getter_entry<get_eph_m>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.NavFix",
    .doc = "NavFix(lat, lon, *, gps_time=None, sys_time=None, heading=None, speed_mps=None, eph_m=None)\n--\n\n"
           "One position fix: latitude and longitude in degrees, with a GPS-receiver\n"
           "time, a system-clock time or both (timezone-aware datetimes; at least one\n"
           "is required), and optional heading (degrees), speed (m/s) and horizontal\n"
           "accuracy radius eph_m (metres).",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<NavFix> g_nav_fix{kSpec};

}  // namespace quillrun::py
