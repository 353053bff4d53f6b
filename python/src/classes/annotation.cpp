// Annotation: a map annotation at one time, with an optional label.

#include <cstdint>
#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "bridge/error_mapping.hpp"
#include "runtime/frame.hpp"
#include "quillrun/fixed_field.hpp"
#include "quillrun/layout.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"time"},
    {"label", ParamKind::KeywordOnly, false},
    {"icon", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"Annotation.__new__()", kParams};

// The label is bound for the markers/label field of the file, so that
// field's rules are checked here, where the caller can still fix it.
namespace markers = layout::markers;

// An empty label is none; a NUL byte, then a length past the field, fail.
PyResult<std::optional<std::string>> label_rules(std::optional<std::string> label) {
  if (!label || label->empty()) return std::optional<std::string>();
  Status<FieldError> fits = check_field_text(*label, markers::kLabel.max_text_bytes());
  if (!fits) {
    return fail(error_to_exception(SdkError{sdk_error::FieldEncode{
        std::move(fits).error(), std::string(markers::kGroup), std::string(markers::kLabel.name)}}));
  }
  return label;
}

PyResult<Ref> annotation_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[3];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  Annotation annotation;
  QR_ASSIGN_OR_RETURN(annotation.time, for_param("time", instant_from_datetime(values[0])));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> label, optional_str_arg("label", values[1]));
  // Left out means PIN; None is no stand-in for it and is refused.
  MarkerIcon icon = MarkerIcon::Pin;
  if (values[2] != nullptr) {
    QR_ASSIGN_OR_RETURN(icon, for_param("icon", extract_marker_icon(values[2])));
  }
  annotation.icon = static_cast<std::uint8_t>(icon);

  QR_ASSIGN_OR_RETURN(annotation.label, label_rules(std::move(label)));
  return g_annotation.new_object(std::move(annotation));
}

std::string padded(std::uint64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

// 2024-05-01T12:00:00.250Z: the fraction only when there is one, in 3, 6 or
// 9 digits; years outside 0..9999 with a sign.
std::string iso_time(const Instant& t) {
  const CivilDate date = civil_from_days(t.days);
  std::uint32_t second = t.secs % 60;
  std::uint32_t nanos = t.nanos;
  if (nanos >= 1'000'000'000) {  // inside a leap second: second 60
    second += 1;
    nanos -= 1'000'000'000;
  }
  std::string text;
  if (date.year >= 0 && date.year <= 9999) {
    text = padded(static_cast<std::uint64_t>(date.year), 4);
  } else {
    text = date.year < 0 ? "-" : "+";
    text += padded(static_cast<std::uint64_t>(date.year < 0 ? -date.year : date.year), 4);
  }
  text += "-" + padded(date.month, 2) + "-" + padded(date.day, 2);
  text += "T" + padded(t.secs / 3600, 2) + ":" + padded(t.secs / 60 % 60, 2) + ":" + padded(second, 2);
  if (nanos != 0) {
    if (nanos % 1'000'000 == 0) {
      text += "." + padded(nanos / 1'000'000, 3);
    } else if (nanos % 1'000 == 0) {
      text += "." + padded(nanos / 1'000, 6);
    } else {
      text += "." + padded(nanos, 9);
    }
  }
  text += "Z";
  return text;
}

PyResult<Ref> annotation_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto annotation, g_annotation.shared(self));
  return text_object("Annotation(time=" + iso_time(annotation->time) + ")");
}

PyResult<Ref> annotation_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_annotation, self, other, op);
}

PyResult<Ref> get_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto annotation, g_annotation.shared(self));
  return datetime_from_instant(annotation->time);
}
PyResult<Ref> get_label(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto annotation, g_annotation.shared(self));
  return text_or_none(annotation->label);
}
PyResult<Ref> get_icon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto annotation, g_annotation.shared(self));
  // A code read from a file that this build does not have: no member.
  if (annotation->icon_unknown || !is_known_marker_icon(annotation->icon)) return Ref::borrow(Py_None);
  return marker_icon_member(static_cast<MarkerIcon>(annotation->icon));
}
PyResult<Ref> get_icon_code(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto annotation, g_annotation.shared(self));
  return own(PyLong_FromUnsignedLong(annotation->icon));
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<annotation_new>)},
    {Py_tp_repr, as_slot(&unary_entry<annotation_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<annotation_compare>)},
};

PyGetSetDef g_getters[] = {
    {"time", &getter_entry<get_time>, nullptr, nullptr, nullptr},
    {"label", &getter_entry<get_label>, nullptr, nullptr, nullptr},
    {"icon", &getter_entry<get_icon>, nullptr, nullptr, nullptr},
    {"icon_code", &getter_entry<get_icon_code>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.Annotation",
    .doc = "Annotation(time, *, label=None, icon=...)\n--\n\n"
           "A map annotation at a timezone-aware time, placed on the nav track by\n"
           "interpolation, with an optional label (at most 255 UTF-8 bytes, no NUL;\n"
           "an empty label counts as none) and an icon (a MarkerIcon member,\n"
           "MarkerIcon.PIN when left out).",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<Annotation> g_annotation{kSpec};

}  // namespace quillrun::py
