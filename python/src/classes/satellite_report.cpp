// SatelliteReport: the satellites tracked at one moment.

#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "runtime/sequence_arg.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"tracked"},
    {"gps_time", ParamKind::KeywordOnly, false},
    {"sys_time", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"SatelliteReport.__new__()", kParams};

PyResult<Satellite> satellite_copy(PyObject* item) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared_arg(item));
  return *satellite;
}

PyResult<Ref> satellite_report_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[3];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  SatelliteReport report;
  QR_ASSIGN_OR_RETURN(report.tracked,
                      for_param("tracked", sequence_to_vector<Satellite>(values[0], &satellite_copy)));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> gps_time, optional_time_arg("gps_time", values[1]));
  QR_ASSIGN_OR_RETURN(std::optional<Instant> sys_time, optional_time_arg("sys_time", values[2]));
  const auto times = Timestamps::from(gps_time, sys_time);
  if (!times) return fail(PyError::value_error("provide gps_time or sys_time"));
  report.times = *times;
  return g_satellite_report.new_object(std::move(report));
}

PyResult<Ref> satellite_report_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto report, g_satellite_report.shared(self));
  return text_object("SatelliteReport(tracked=" + std::to_string(report->tracked.size()) + ")");
}

PyResult<Ref> satellite_report_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_satellite_report, self, other, op);
}

PyResult<Ref> get_tracked(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto report, g_satellite_report.shared(self));
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(0)));
  for (const Satellite& satellite : report->tracked) {
    QR_ASSIGN_OR_RETURN(Ref item, g_satellite.new_object(satellite));
    QR_TRY(check(PyList_Append(list.get(), item.get())));
  }
  return list;
}
PyResult<Ref> get_gps_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto report, g_satellite_report.shared(self));
  return datetime_or_none(report->times.gps_time());
}
PyResult<Ref> get_sys_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto report, g_satellite_report.shared(self));
  return datetime_or_none(report->times.sys_time());
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<satellite_report_new>)},
    {Py_tp_repr, as_slot(&unary_entry<satellite_report_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<satellite_report_compare>)},
};

PyGetSetDef g_getters[] = {
    {"tracked", &getter_entry<get_tracked>, nullptr, nullptr, nullptr},
    {"gps_time", &getter_entry<get_gps_time>, nullptr, nullptr, nullptr},
    {"sys_time", &getter_entry<get_sys_time>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.SatelliteReport",
    .doc = "SatelliteReport(tracked, *, gps_time=None, sys_time=None)\n--\n\n"
           "The satellites tracked at one moment: a sequence of Satellite objects\n"
           "(copied, in order) with a GPS-receiver time, a system-clock time or both\n"
           "(timezone-aware datetimes; at least one is required).",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<SatelliteReport> g_satellite_report{kSpec};

}  // namespace quillrun::py
