// EventMarkerStyle: the icon and colour of one event-marker variant.

#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "runtime/frame.hpp"
#include "quillrun/record_rules.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"variant_path"},
    {"icon", ParamKind::KeywordOnly, false},
    {"color", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"EventMarkerStyle.__new__()", kParams};

PyResult<Ref> event_marker_style_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[3];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  QR_ASSIGN_OR_RETURN(std::string_view path, for_param("variant_path", to_str(values[0])));
  StyleIconArg icon;
  if (!is_absent(values[1])) {
    QR_ASSIGN_OR_RETURN(icon, for_param("icon", extract_marker_icon(values[1])));
  }
  QR_ASSIGN_OR_RETURN(std::optional<std::string> color, optional_str_arg("color", values[2]));
  auto style = new_event_marker_style(std::string(path), std::move(icon), std::move(color));
  if (!style) return fail(PyError::value_error(style.error().message()));
  return g_event_marker_style.new_object(std::move(style).value());
}

PyResult<Ref> event_marker_style_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto style, g_event_marker_style.shared(self));
  return text_object("EventMarkerStyle(variant_path=" + style->variant_path + ")");
}

PyResult<Ref> get_variant_path(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto style, g_event_marker_style.shared(self));
  return text_object(style->variant_path);
}
PyResult<Ref> get_icon(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto style, g_event_marker_style.shared(self));
  // No icon, or a name from a file that this build does not have.
  if (style->icon.kind != StyleIcon::Kind::Known) return Ref::borrow(Py_None);
  return marker_icon_member(style->icon.code);
}
PyResult<Ref> get_icon_name(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto style, g_event_marker_style.shared(self));
  if (style->icon.kind == StyleIcon::Kind::None) return Ref::borrow(Py_None);
  return text_object(style->icon.name());
}
PyResult<Ref> get_color(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto style, g_event_marker_style.shared(self));
  if (style->color.kind == ColorHex::Kind::Absent) return Ref::borrow(Py_None);
  return text_object(style->color.text);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<event_marker_style_new>)},
    {Py_tp_repr, as_slot(&unary_entry<event_marker_style_repr>)},
};

PyGetSetDef g_getters[] = {
    {"variant_path", &getter_entry<get_variant_path>, nullptr, nullptr, nullptr},
    {"icon", &getter_entry<get_icon>, nullptr, nullptr, nullptr},
    {"icon_name", &getter_entry<get_icon_name>, nullptr, nullptr, nullptr},
    {"color", &getter_entry<get_color>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.EventMarkerStyle",
    .doc = "EventMarkerStyle(variant_path, *, icon=None, color=None)\n--\n\n"
           "The style of the event markers of one variant path: an optional icon (a\n"
           "MarkerIcon member; None means the application's default icon) and an\n"
           "optional colour in the #RRGGBB form (an empty string means none).\n\n"
           "A style read from a file can hold an icon name this build does not have\n"
           "(icon is then None and icon_name the stored name) or a colour in another\n"
           "notation, exactly as stored.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<EventMarkerStyle> g_event_marker_style{kSpec};

}  // namespace quillrun::py
