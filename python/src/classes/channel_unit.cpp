// ChannelUnit: the unit of a channel as the core holds it (a catalog unit, a
// display-only custom label, or a legacy label read from an older file).

#include "classes/channel_unit.hpp"

#include <Python.h>

#include <string>
#include <string_view>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "quillrun/text.hpp"
#include "quillrun/units.hpp"
#include "bridge/unit_hash.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

// C0 controls, DEL and the C1 controls (U+0080 to U+009F, which UTF-8 writes
// as 0xC2 followed by 0x80 to 0x9F).
bool has_control_character(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return true;
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return true;
    }
  }
  return false;
}

constexpr Param kLabel[] = {{"label"}};
constexpr Signature kRecognized{"ChannelUnit.recognized()", kLabel};
constexpr Signature kCustom{"ChannelUnit.custom()", kLabel};

PyResult<std::string_view> label_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return one_argument<std::string_view>(signature, args, nargs, kwnames, to_str);
}

PyResult<Ref> recognized(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view label, label_argument(kRecognized, args, nargs, kwnames));
  const auto unit = unit_from_text(label);
  if (!unit) return fail(unrecognized_unit_error(label));
  return g_channel_unit.new_object(ChannelUnit::recognized(*unit));
}

PyResult<Ref> custom(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view label, label_argument(kCustom, args, nargs, kwnames));
  const std::string_view trimmed = trim_white_space(label);
  if (trimmed.empty()) return fail(PyError::value_error("a custom channel unit cannot be empty"));
  if (has_control_character(trimmed)) {
    return fail(PyError::value_error("a custom channel unit cannot contain control characters"));
  }
  if (unit_from_text(trimmed)) {
    return fail(
        PyError::value_error("channel unit " + quoted(trimmed) + " is recognized; use ChannelUnit::recognized instead"));
  }
  return g_channel_unit.new_object(ChannelUnit::custom(std::string(trimmed)));
}

PyResult<Ref> channel_unit_label(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_channel_unit.shared(self));
  return text_object(unit->label());
}

PyResult<Ref> channel_unit_is_custom(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_channel_unit.shared(self));
  return bool_object(unit->kind != ChannelUnit::Kind::Recognized);
}

PyResult<Ref> channel_unit_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_channel_unit.shared(self));
  return text_object("ChannelUnit(" + quoted(unit->label()) + ")");
}

PyResult<Py_ssize_t> channel_unit_hash(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_channel_unit.shared(self));
  return unit_hash(*unit);
}

// Equal only to another ChannelUnit of the same variant and value: a custom
// and a legacy label with one text differ, and a Unit is another class.
PyResult<Ref> channel_unit_compare(PyObject* self, PyObject* other, int op) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, g_channel_unit.type_for_use());
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(auto left, g_channel_unit.shared(self));
  QR_ASSIGN_OR_RETURN(auto right, g_channel_unit.shared(other));
  const bool equal = *left == *right;
  return bool_object(equal == (op == Py_EQ));
}

constexpr const char* kChannelUnitDoc =
    "The unit of a channel: a recognized catalog unit, a display-only custom\n"
    "label, or a legacy label read from an older file.\n\n"
    "Made by ChannelUnit.recognized(label) or ChannelUnit.custom(label), and\n"
    "returned by Channel.unit; the class cannot be instantiated. A legacy unit\n"
    "is refused when a new Channel is made with it. Channel units compare by\n"
    "value (a custom and a legacy label with the same text differ) and hash\n"
    "alike in every process.";

constexpr const char* kRecognizedDoc =
    "recognized(label)\n--\n\n"
    "The catalog unit that `label` names, with its canonical label.\n\n"
    "Aliases, surrounding white space and spellings such as \"kph\", \"degrees\",\n"
    "\"m/s\u00B2\" or \"\u00B5s\" are recognized. Raises ValueError for a label outside\n"
    "the catalog; use ChannelUnit.custom for a display-only unit.";

constexpr const char* kCustomDoc =
    "custom(label)\n--\n\n"
    "A display-only unit outside the catalog, with `label` trimmed of\n"
    "surrounding white space.\n\n"
    "Raises ValueError when the trimmed label is empty, holds a control\n"
    "character, or names a catalog unit (use ChannelUnit.recognized for those).";

const PyType_Slot kChannelUnitSlots[] = {
    {Py_tp_richcompare, as_slot(&compare_entry<channel_unit_compare>)},
    {Py_tp_str, as_slot(&unary_entry<channel_unit_label>)},
    {Py_tp_repr, as_slot(&unary_entry<channel_unit_repr>)},
    {Py_tp_hash, as_slot(&hash_entry<channel_unit_hash>)},
};

constexpr int kStaticWithParameters = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef g_channel_unit_methods[] = {
    {"recognized", as_cfunction(&fastcall_entry<recognized>), kStaticWithParameters, kRecognizedDoc},
    {"custom", as_cfunction(&fastcall_entry<custom>), kStaticWithParameters, kCustomDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_channel_unit_getters[] = {
    {"label", &getter_entry<channel_unit_label>, nullptr, "The canonical label as stored in the file.", nullptr},
    {"is_custom", &getter_entry<channel_unit_is_custom>, nullptr,
     "True for a display-only custom label, false for a catalog unit.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kChannelUnitSpec{
    .qualified_name = "builtins.ChannelUnit",
    .doc = kChannelUnitDoc,
    .has_constructor = false,
    .is_sequence = false,
    .slots = kChannelUnitSlots,
    .methods = g_channel_unit_methods,
    .getters = g_channel_unit_getters,
};

}  // namespace

PyError unrecognized_unit_error(std::string_view label) {
  return PyError::value_error("unrecognized channel unit " + quoted(label) +
                              "; use ChannelUnit::custom for a display-only unit");
}

Class<ChannelUnit> g_channel_unit{kChannelUnitSpec};

}  // namespace quillrun::py
