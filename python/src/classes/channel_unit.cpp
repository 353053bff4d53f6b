// ChannelUnit: the unit of a channel as the core holds it (a catalog unit, a
// display-only custom label, or a legacy label read from an older file).

#include <Python.h>

#include <string>
#include <string_view>

#include "runtime/args.hpp"
#include "bridge/error_mapping.hpp"
#include "quillrun/record_rules.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "quillrun/text.hpp"
#include "quillrun/units.hpp"
#include "bridge/unit_hash.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kLabel[] = {{"label"}};
const Signature kRecognized{"ChannelUnit.recognized()", kLabel};
const Signature kCustom{"ChannelUnit.custom()", kLabel};

PyResult<std::string_view> label_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
  return one_argument<std::string_view>(signature, args, nargs, kwnames, to_str);
}

PyResult<Ref> recognized(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view label, label_argument(kRecognized, args, nargs, kwnames));
  auto unit = new_recognized_unit(label);
  if (!unit) return fail(error_to_exception(unit.error()));
  return g_channel_unit.new_object(std::move(unit).value());
}

PyResult<Ref> custom(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view label, label_argument(kCustom, args, nargs, kwnames));
  auto unit = new_custom_unit(label);
  if (!unit) return fail(error_to_exception(unit.error()));
  return g_channel_unit.new_object(std::move(unit).value());
}

PyResult<Ref> label_of(const ChannelUnit& unit) { return text_object(unit.label()); }
Ref is_custom(const ChannelUnit& unit) { return bool_object(unit.kind != ChannelUnit::Kind::Recognized); }

PyResult<Ref> channel_unit_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_channel_unit.shared(self));
  return text_object("ChannelUnit(" + quoted(unit->label()) + ")");
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
    {Py_tp_richcompare, as_slot(&compare_entry<unit_compare_slot<g_channel_unit>>)},
    {Py_tp_str, as_slot(&unary_entry<read_computed<g_channel_unit, label_of>>)},
    {Py_tp_repr, as_slot(&unary_entry<channel_unit_repr>)},
    {Py_tp_hash, as_slot(&hash_entry<unit_hash_slot<g_channel_unit>>)},
};

constexpr int kStaticWithParameters = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef g_channel_unit_methods[] = {
    {"recognized", as_cfunction(&fastcall_entry<recognized>), kStaticWithParameters, kRecognizedDoc},
    {"custom", as_cfunction(&fastcall_entry<custom>), kStaticWithParameters, kCustomDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_channel_unit_getters[] = {
    computed<g_channel_unit, label_of>("label", "The canonical label as stored in the file."),
    computed<g_channel_unit, is_custom>("is_custom", "True for a display-only custom label, false for a catalog unit."),
    kEndOfGetters,
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

Class<ChannelUnit> g_channel_unit{kChannelUnitSpec};

}  // namespace quillrun::py
