// EventMarker: an event on the host clock, to be placed on the nav track;
// a skipped marker (variant path None or event_kind.skip) holds no path.

#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/text.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"variant_path"},
    {"sys_time"},
    {"annotation", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"EventMarker.__new__()", kParams};

// Whether `value` is the skip sentinel: an instance of the type of
// quillrun_sdk.event_kind.event_kind.skip. The module is imported afresh at
// every call, so one replaced in sys.modules is seen at once.
PyResult<bool> is_skip_sentinel(PyObject* value) {
  QR_ASSIGN_OR_RETURN(Ref module, own(PyImport_ImportModule("quillrun_sdk.event_kind")));
  QR_ASSIGN_OR_RETURN(Ref kinds, own(PyObject_GetAttrString(module.get(), "event_kind")));
  QR_ASSIGN_OR_RETURN(Ref skip, own(PyObject_GetAttrString(kinds.get(), "skip")));
  const int is_instance = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(Py_TYPE(skip.get())));
  if (is_instance < 0) return fail(PyError::fetch());
  return is_instance != 0;
}

// The path text, or none for a skipped marker.
PyResult<std::optional<std::string>> variant_path_arg(PyObject* value) {
  if (value == Py_None) return std::optional<std::string>();
  if (PyUnicode_Check(value)) {
    PyResult<std::string_view> text = utf8_of(value);
    if (text) return std::optional<std::string>(std::string(*text));
    // A str with a lone surrogate is no path: it ends in the type error below.
    PyError encoding = std::move(text).error();
    if (is_fatal_exception(encoding)) return fail(std::move(encoding));
  }
  QR_ASSIGN_OR_RETURN(bool skipped, is_skip_sentinel(value));
  if (skipped) return std::optional<std::string>();
  QR_ASSIGN_OR_RETURN(std::string type, type_name(Py_TYPE(value)));
  return fail(PyError::type_error("variant_path must be a str, None, or event_kind.skip, not " + type));
}

PyResult<Ref> event_marker_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[3];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  QR_ASSIGN_OR_RETURN(Instant sys_time, for_param("sys_time", instant_from_datetime(values[1])));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> annotation, optional_str_arg("annotation", values[2]));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> path, variant_path_arg(values[0]));
  if (!path) {
    // A skipped marker is never stored, so its annotation goes unchecked
    // and is kept exactly as given.
    return g_event_marker.new_object(EventMarker{std::nullopt, sys_time, std::move(annotation)});
  }
  auto marker = new_event_marker(std::move(*path), sys_time, std::move(annotation));
  if (!marker) return fail(PyError::value_error(marker.error().message()));
  return g_event_marker.new_object(std::move(marker).value());
}

PyResult<Ref> event_marker_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_event_marker.shared(self));
  const std::string path = marker->variant_path ? "Some(" + quoted(*marker->variant_path) + ")" : "None";
  return text_object("EventMarker(variant_path=" + path + ")");
}

PyResult<Ref> get_variant_path(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_event_marker.shared(self));
  return text_or_none(marker->variant_path);
}
PyResult<Ref> get_sys_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_event_marker.shared(self));
  return datetime_from_instant(marker->sys_time);
}
PyResult<Ref> get_annotation(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto marker, g_event_marker.shared(self));
  return text_or_none(marker->annotation);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<event_marker_new>)},
    {Py_tp_repr, as_slot(&unary_entry<event_marker_repr>)},
};

PyGetSetDef g_getters[] = {
    {"variant_path", &getter_entry<get_variant_path>, nullptr, nullptr, nullptr},
    {"sys_time", &getter_entry<get_sys_time>, nullptr, nullptr, nullptr},
    {"annotation", &getter_entry<get_annotation>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.EventMarker",
    .doc = "EventMarker(variant_path, sys_time, *, annotation=None)\n--\n\n"
           "An event at a system-clock time (a timezone-aware datetime), placed on\n"
           "the nav track by interpolation. variant_path is a slash-separated path\n"
           "such as \"power/boot\"; None or event_kind.skip make a skipped marker,\n"
           "which NavFileBuilder.add accepts and the build drops. The optional\n"
           "annotation holds at most 511 UTF-8 bytes and no NUL.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<EventMarker> g_event_marker{kSpec};

}  // namespace quillrun::py
