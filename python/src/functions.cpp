#include "functions.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/args.hpp"
#include "bridge/enum_bridge.hpp"
#include "bridge/error_mapping.hpp"
#include "runtime/frame.hpp"
#include "quillrun/codes.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/sdk_error.hpp"

namespace quillrun::py {
namespace {

// Given by their bits: every SDK of the format converts to the same doubles.
// The conversions out of m/s divide by these rather than multiply by their
// reciprocals, so kmh_from_mps(10.0) is exactly 36.0.
constexpr double kKmhFactor = std::bit_cast<double>(std::uint64_t{0x3FD1C71C71C71C72});    // 1000/3600
constexpr double kKnotsFactor = std::bit_cast<double>(std::uint64_t{0x3FE07654320FEDCC});  // 1852/3600

PyResult<double> float_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return one_argument<double>(signature, args, nargs, kwnames, to_double);
}

PyResult<std::string_view> name_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  return one_argument<std::string_view>(signature, args, nargs, kwnames, to_str);
}

PyResult<Ref> float_object(double value) { return own(PyFloat_FromDouble(value)); }

constexpr Param kMps[] = {{"mps"}};
constexpr Param kKmh[] = {{"kmh"}};
constexpr Param kKnots[] = {{"knots"}};
constexpr Param kSnr[] = {{"snr"}};
constexpr Param kName[] = {{"name"}};

// The member a lowercase name gives, by the core's lookup.
template <const Signature& signature, auto Lookup, auto MemberOf>
PyResult<Ref> member_from_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view name, name_argument(signature, args, nargs, kwnames));
  auto code = Lookup(name);
  if (!code) return fail(error_to_exception(code.error()));
  return MemberOf(*code);
}

// --- constellation_from_name(name)
const Signature kConstellationFromName{"constellation_from_name()", kName};
constexpr const char* kConstellationFromNameDoc =
    "constellation_from_name(name)\n--\n\n"
    "The Constellation member named by its lowercase name, such as \"beidou\".\n\n"
    "Raises ValueError for a name outside the set.";
constexpr FastcallBody constellation_from_name =
    &member_from_name<kConstellationFromName, quillrun::constellation_from_name, constellation_member>;

// --- marker_icon_from_name(name)
const Signature kMarkerIconFromName{"marker_icon_from_name()", kName};
constexpr const char* kMarkerIconFromNameDoc =
    "marker_icon_from_name(name)\n--\n\n"
    "The MarkerIcon member named by its lowercase name, such as \"satellite_lost\".\n\n"
    "Raises ValueError for a name outside the set.";
constexpr FastcallBody marker_icon_from_name =
    &member_from_name<kMarkerIconFromName, quillrun::marker_icon_from_name, marker_icon_member>;

// The four speed conversions: into m/s multiplies by the factor, out of m/s
// divides by it. The factor is passed by reference: clang before 18 takes no
// floating-point template arguments.
enum class Direction : std::uint8_t { IntoMps, OutOfMps };

template <const Signature& signature, const double& factor, Direction direction>
PyResult<Ref> convert_speed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(double speed, float_argument(signature, args, nargs, kwnames));
  return float_object(direction == Direction::IntoMps ? speed * factor : speed / factor);
}

// --- mps_from_kmh(kmh)
const Signature kMpsFromKmh{"mps_from_kmh()", kKmh};
constexpr const char* kMpsFromKmhDoc =
    "mps_from_kmh(kmh)\n--\n\n"
    "Convert a speed in km/h to m/s, the unit of NavFix.speed_mps.\n\n"
    "Every SDK of the format converts to the same float. Dividing by 3.6\n"
    "differs from it in the last place for some values, 23.2 among them.";
constexpr FastcallBody mps_from_kmh = &convert_speed<kMpsFromKmh, kKmhFactor, Direction::IntoMps>;

// --- mps_from_knots(knots)
const Signature kMpsFromKnots{"mps_from_knots()", kKnots};
constexpr const char* kMpsFromKnotsDoc =
    "mps_from_knots(knots)\n--\n\n"
    "Convert a speed in knots to m/s, the unit of NavFix.speed_mps.\n\n"
    "Every SDK of the format converts to the same float.";
constexpr FastcallBody mps_from_knots = &convert_speed<kMpsFromKnots, kKnotsFactor, Direction::IntoMps>;

// --- kmh_from_mps(mps)
const Signature kKmhFromMps{"kmh_from_mps()", kMps};
constexpr const char* kKmhFromMpsDoc = "kmh_from_mps(mps)\n--\n\nConvert a speed in m/s to km/h.";
constexpr FastcallBody kmh_from_mps = &convert_speed<kKmhFromMps, kKmhFactor, Direction::OutOfMps>;

// --- knots_from_mps(mps)
const Signature kKnotsFromMps{"knots_from_mps()", kMps};
constexpr const char* kKnotsFromMpsDoc = "knots_from_mps(mps)\n--\n\nConvert a speed in m/s to knots.";
constexpr FastcallBody knots_from_mps = &convert_speed<kKnotsFromMps, kKnotsFactor, Direction::OutOfMps>;

// --- snr_is_no_data_sentinel(snr)
const Signature kSnrIsNoDataSentinel{"snr_is_no_data_sentinel()", kSnr};
constexpr const char* kSnrIsNoDataSentinelDoc =
    "snr_is_no_data_sentinel(snr)\n--\n\n"
    "Test for the SNR that some receiver firmware sends when it has no\n"
    "measurement: 99 dB-Hz within the SDK's tolerance.\n\n"
    "The value is rounded to a 32-bit float first, as Satellite stores it.";

// True exactly when 98.5 < float32(snr) < 99.5.
bool is_no_data_sentinel(double snr) noexcept {
  // NaN, the infinities and anything far off are no sentinel; the bound also
  // keeps the narrowing below inside the float range.
  if (!(std::fabs(snr) < 1.0e6)) return false;
  const auto snr32 = static_cast<float>(snr);
  return std::fabs(snr32 - 99.0f) < 0.5f;
}

PyResult<Ref> snr_is_no_data_sentinel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(double snr, float_argument(kSnrIsNoDataSentinel, args, nargs, kwnames));
  return Ref::borrow(is_no_data_sentinel(snr) ? Py_True : Py_False);
}

// --- _rust_sdk_enum_members()
constexpr const char* kEnumMembersDoc =
    "_rust_sdk_enum_members()\n--\n\n"
    "The name and the value of every member of quillrun_sdk.enums that the\n"
    "core defines, keyed by class name, in the core's order of the members.";

template <std::size_t N, class ValueOf>
PyStatus add_members(PyObject* dict, const char* class_name, const std::array<std::string_view, N>& members,
                     ValueOf value_of) {
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(0)));
  for (std::size_t code = 0; code < N; ++code) {
    QR_ASSIGN_OR_RETURN(Ref name, own(PyUnicode_FromStringAndSize(members[code].data(),
                                                                  static_cast<Py_ssize_t>(members[code].size()))));
    QR_ASSIGN_OR_RETURN(Ref value, value_of(code));
    QR_ASSIGN_OR_RETURN(Ref pair, own(PyTuple_Pack(2, name.get(), value.get())));
    QR_TRY(check(PyList_Append(list.get(), pair.get())));
  }
  return check(PyDict_SetItemString(dict, class_name, list.get()));
}

PyResult<Ref> rust_sdk_enum_members(PyObject*) {
  // The core's own table: the enum module is neither imported nor read.
  const auto code_value = [](std::size_t code) { return own(PyLong_FromSize_t(code)); };
  QR_ASSIGN_OR_RETURN(Ref dict, own(PyDict_New()));
  QR_TRY(add_members(dict.get(), "Constellation", kConstellationMembers, code_value));
  QR_TRY(add_members(dict.get(), "MarkerIcon", kMarkerIconMembers, code_value));
  QR_TRY(add_members(dict.get(), "TravelMode", kTravelModeMembers, [](std::size_t code) {
    const std::string_view name = kTravelModeNames[code];
    return own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
  }));
  return dict;
}

constexpr int kWithParameters = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_functions[] = {
    {"constellation_from_name", as_cfunction(&fastcall_entry<constellation_from_name>), kWithParameters,
     kConstellationFromNameDoc},
    {"marker_icon_from_name", as_cfunction(&fastcall_entry<marker_icon_from_name>), kWithParameters,
     kMarkerIconFromNameDoc},
    {"mps_from_kmh", as_cfunction(&fastcall_entry<mps_from_kmh>), kWithParameters, kMpsFromKmhDoc},
    {"mps_from_knots", as_cfunction(&fastcall_entry<mps_from_knots>), kWithParameters, kMpsFromKnotsDoc},
    {"kmh_from_mps", as_cfunction(&fastcall_entry<kmh_from_mps>), kWithParameters, kKmhFromMpsDoc},
    {"knots_from_mps", as_cfunction(&fastcall_entry<knots_from_mps>), kWithParameters, kKnotsFromMpsDoc},
    {"snr_is_no_data_sentinel", as_cfunction(&fastcall_entry<snr_is_no_data_sentinel>), kWithParameters,
     kSnrIsNoDataSentinelDoc},
    {"_rust_sdk_enum_members", as_cfunction(&noargs_entry<rust_sdk_enum_members>), METH_NOARGS, kEnumMembersDoc},
};

}  // namespace

std::span<PyMethodDef> module_functions() noexcept { return g_functions; }

}  // namespace quillrun::py
