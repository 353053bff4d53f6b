#pragma once
// The bridge between the core's enum codes and the members of the enum
// classes of `quillrun_sdk.enums`, which this module does not define. A
// member crosses by its upper-case name alone; its value is never read.

#include <Python.h>

#include <cstdint>

#include "runtime/errors.hpp"
#include "quillrun/codes.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

enum class EnumKind : std::uint8_t { Constellation, MarkerIcon, TravelMode };

// The class object, looked up on first use and held once found; a failed
// lookup (module missing, attribute missing or not a class) is tried again
// at the next use. Borrowed: it lives for the process.
[[nodiscard]] PyResult<PyObject*> enum_class(EnumKind kind);

// The core code of a member of the class, by its `name`. Exceptions raised
// while testing the class or reading the name propagate as they are.
[[nodiscard]] PyResult<std::uint8_t> enum_member_code(EnumKind kind, PyObject* object);

// The member for a code this build knows, read from the class anew on every
// call.
[[nodiscard]] PyResult<Ref> enum_member(EnumKind kind, std::uint8_t code);

[[nodiscard]] inline PyResult<Ref> constellation_member(Constellation code) {
  return enum_member(EnumKind::Constellation, static_cast<std::uint8_t>(code));
}
[[nodiscard]] inline PyResult<Ref> marker_icon_member(MarkerIcon code) {
  return enum_member(EnumKind::MarkerIcon, static_cast<std::uint8_t>(code));
}
[[nodiscard]] inline PyResult<Ref> travel_mode_member(TravelMode code) {
  return enum_member(EnumKind::TravelMode, static_cast<std::uint8_t>(code));
}

[[nodiscard]] inline PyResult<MarkerIcon> extract_marker_icon(PyObject* object) {
  QR_ASSIGN_OR_RETURN(std::uint8_t code, enum_member_code(EnumKind::MarkerIcon, object));
  return static_cast<MarkerIcon>(code);
}
[[nodiscard]] inline PyResult<Constellation> extract_constellation(PyObject* object) {
  QR_ASSIGN_OR_RETURN(std::uint8_t code, enum_member_code(EnumKind::Constellation, object));
  return static_cast<Constellation>(code);
}
[[nodiscard]] inline PyResult<TravelMode> extract_travel_mode(PyObject* object) {
  QR_ASSIGN_OR_RETURN(std::uint8_t code, enum_member_code(EnumKind::TravelMode, object));
  return static_cast<TravelMode>(code);
}

}  // namespace quillrun::py
