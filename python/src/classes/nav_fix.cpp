// NavFix: one position fix with its receiver and/or host time.

#include "runtime/args.hpp"
#include "bridge/error_mapping.hpp"
#include "quillrun/record_rules.hpp"
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
const Signature kNew{"NavFix.__new__()", kParams};

PyResult<Ref> nav_fix_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[7];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  QR_ASSIGN_OR_RETURN(double lat, for_param("lat", to_double(values[0])));
  QR_ASSIGN_OR_RETURN(double lon, for_param("lon", to_double(values[1])));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> gps_time, optional_time_arg("gps_time", values[2]));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> sys_time, optional_time_arg("sys_time", values[3]));
  QR_ASSIGN_OR_RETURN(std::optional<double> heading, optional_double_arg("heading", values[4]));
  QR_ASSIGN_OR_RETURN(std::optional<double> speed_mps, optional_double_arg("speed_mps", values[5]));
  QR_ASSIGN_OR_RETURN(std::optional<double> eph_m, optional_double_arg("eph_m", values[6]));
  auto fix = new_nav_fix(lat, lon, gps_time, sys_time, heading, speed_mps, eph_m);
  if (!fix) return fail(error_to_exception(fix.error()));
  return g_nav_fix.new_object(std::move(fix).value());
}

PyResult<Ref> nav_fix_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto fix, g_nav_fix.shared(self));
  return text_object("NavFix(lat=" + fixed6(fix->lat) + ", lon=" + fixed6(fix->lon) + ")");
}

PyResult<Ref> nav_fix_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_nav_fix, self, other, op);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<nav_fix_new>)},
    {Py_tp_repr, as_slot(&unary_entry<nav_fix_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<nav_fix_compare>)},
};

PyGetSetDef g_getters[] = {
    attribute<g_nav_fix, &NavFix::lat, float_object>("lat"),
    attribute<g_nav_fix, &NavFix::lon, float_object>("lon"),
    attribute<g_nav_fix, &NavFix::times, gps_time_object>("gps_time"),
    attribute<g_nav_fix, &NavFix::times, sys_time_object>("sys_time"),
    attribute<g_nav_fix, &NavFix::heading, float_or_none<double>>("heading"),
    attribute<g_nav_fix, &NavFix::speed_mps, float_or_none<double>>("speed_mps"),
    attribute<g_nav_fix, &NavFix::eph_m, float_or_none<double>>("eph_m"),
    kEndOfGetters,
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
