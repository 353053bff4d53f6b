// Satellite: one tracked satellite of a report.

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "runtime/frame.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"constellation"},
    {"prn"},
    {"in_fix", ParamKind::KeywordOnly, false},
    {"elevation", ParamKind::KeywordOnly, false},
    {"azimuth", ParamKind::KeywordOnly, false},
    {"snr", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"Satellite.__new__()", kParams};

PyResult<std::uint32_t> to_u32(PyObject* value) {
  // The interpreter's own conversion first: its errors for non-integers and
  // for values past 64 bits are the ones raised.
  const long number = PyLong_AsLong(value);
  if (number == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  if (number < 0 || number > std::numeric_limits<std::uint32_t>::max()) {
    return fail(PyError::new_error(PyExc_OverflowError, "out of range integral type conversion attempted"));
  }
  return static_cast<std::uint32_t>(number);
}

// True or False, or a NumPy boolean scalar (numpy.bool_, numpy.bool).
PyResult<bool> to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  QR_ASSIGN_OR_RETURN(std::string name, type_name(Py_TYPE(value)));
  if (name == "bool_" || name == "bool") {
    QR_ASSIGN_OR_RETURN(Ref module, own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                                               "__module__")));
    if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
      const int truth = PyObject_IsTrue(value);
      if (truth < 0) return fail(PyError::fetch());
      return truth != 0;
    }
  }
  return fail(not_an_instance(value, "bool"));
}

// Round to nearest, ties to even. Past the float range a plain cast is
// undefined behaviour, so the overflow to infinity is spelt out: from the
// midpoint between FLT_MAX and 2^128 on, the nearest float is infinite.
float narrow_to_float(double value) noexcept {
  constexpr double kOverflow = 0x1.ffffffp127;  // 2^128 - 2^103
  if (value >= kOverflow) return std::numeric_limits<float>::infinity();
  if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

PyResult<std::optional<float>> optional_float32_arg(const char* param, PyObject* argument) {
  QR_ASSIGN_OR_RETURN(std::optional<double> value, optional_double_arg(param, argument));
  if (!value) return std::optional<float>();
  return std::optional<float>(narrow_to_float(*value));
}

PyResult<Ref> satellite_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[6];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  Satellite satellite;
  QR_ASSIGN_OR_RETURN(Constellation constellation, for_param("constellation", extract_constellation(values[0])));
  satellite.constellation = static_cast<std::uint8_t>(constellation);
  QR_ASSIGN_OR_RETURN(satellite.prn, for_param("prn", to_u32(values[1])));
  // None is no stand-in for the default here: it is refused.
  if (values[2] != nullptr) {
    QR_ASSIGN_OR_RETURN(satellite.in_fix, for_param("in_fix", to_bool(values[2])));
  }
  QR_ASSIGN_OR_RETURN(satellite.elevation, optional_float32_arg("elevation", values[3]));
  QR_ASSIGN_OR_RETURN(satellite.azimuth, optional_float32_arg("azimuth", values[4]));
  QR_ASSIGN_OR_RETURN(satellite.snr, optional_float32_arg("snr", values[5]));
  return g_satellite.new_object(std::move(satellite));
}

PyResult<Ref> satellite_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  const std::string member = is_known_constellation(satellite->constellation)
                                 ? std::string(kConstellationMembers[satellite->constellation])
                                 : std::to_string(satellite->constellation);
  return text_object("Satellite(constellation=Constellation." + member + ", prn=" + std::to_string(satellite->prn) +
                     ")");
}

PyResult<Ref> satellite_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_satellite, self, other, op);
}

PyResult<Ref> get_constellation(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return constellation_member(static_cast<Constellation>(satellite->constellation));
}
PyResult<Ref> get_prn(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return own(PyLong_FromUnsignedLong(satellite->prn));
}
PyResult<Ref> get_in_fix(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return bool_object(satellite->in_fix);
}
PyResult<Ref> get_elevation(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return float_or_none(satellite->elevation);
}
PyResult<Ref> get_azimuth(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return float_or_none(satellite->azimuth);
}
PyResult<Ref> get_snr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  return float_or_none(satellite->snr);
}
PyResult<Ref> get_snr_is_no_data_sentinel(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto satellite, g_satellite.shared(self));
  // In 32-bit arithmetic, as snr_is_no_data_sentinel(); NaN gives false.
  const std::optional<float>& snr = satellite->snr;
  return bool_object(snr.has_value() && std::fabs(*snr - 99.0f) < 0.5f);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<satellite_new>)},
    {Py_tp_repr, as_slot(&unary_entry<satellite_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<satellite_compare>)},
};

PyGetSetDef g_getters[] = {
    {"constellation", &getter_entry<get_constellation>, nullptr, nullptr, nullptr},
    {"prn", &getter_entry<get_prn>, nullptr, nullptr, nullptr},
    {"in_fix", &getter_entry<get_in_fix>, nullptr, nullptr, nullptr},
    {"elevation", &getter_entry<get_elevation>, nullptr, nullptr, nullptr},
    {"azimuth", &getter_entry<get_azimuth>, nullptr, nullptr, nullptr},
    {"snr", &getter_entry<get_snr>, nullptr, nullptr, nullptr},
    {"snr_is_no_data_sentinel", &getter_entry<get_snr_is_no_data_sentinel>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.Satellite",
    .doc = "Satellite(constellation, prn, *, in_fix=False, elevation=None, azimuth=None, snr=None)\n--\n\n"
           "One tracked satellite: its constellation, PRN and whether it was used in\n"
           "the fix, with optional elevation and azimuth (degrees) and SNR (dB-Hz).\n\n"
           "Elevation, azimuth and SNR are stored as 32-bit floats, so a value read\n"
           "back can differ from the one given in its eighth significant digit.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<Satellite> g_satellite{kSpec};

}  // namespace quillrun::py
