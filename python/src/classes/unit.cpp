// Unit: the 29 entries of the channel-unit catalog, offered as class
// attributes. The class is never instantiated: those 29 objects are the only
// Units there are.

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "quillrun/text.hpp"
#include "quillrun/units.hpp"
#include "bridge/unit_hash.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

// The attribute names, in catalog order: the canonical spelling with "/"
// written as "_PER_".
constexpr std::array<const char*, 29> kAttributeNames = {
    "DEG", "M", "NM", "UM", "MM", "CM", "KM",
    "KM_PER_H", "M_PER_S", "MM_PER_S", "CM_PER_S", "KN",
    "M_PER_S2", "MM_PER_S2", "CM_PER_S2", "G", "UG", "MG", "KM_PER_H_PER_S",
    "NS", "US", "MS", "S", "MIN", "H",
    "PERCENT", "PER_S", "PER_MIN", "PER_H"};

template <std::size_t I>
PyResult<Ref> make_catalog_unit(PyTypeObject* type) {
  return Class<Unit>::new_object_of(type, unit_catalog()[I]);
}

template <std::size_t... I>
constexpr std::array<ClassAttribute, sizeof...(I)> catalog_attributes(std::index_sequence<I...>) {
  return {{ClassAttribute{kAttributeNames[I], &make_catalog_unit<I>}...}};
}

constexpr auto kUnitAttributes = catalog_attributes(std::make_index_sequence<kAttributeNames.size()>{});

PyResult<Ref> unit_label(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_unit.shared(self));
  return text_object(unit->label);
}

PyResult<Ref> unit_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_unit.shared(self));
  return text_object("Unit(" + quoted(unit->label) + ")");
}

PyResult<Py_ssize_t> unit_hash_body(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto unit, g_unit.shared(self));
  return unit_hash(*unit);
}

// Equal to another Unit with the same entry; anything else, a ChannelUnit
// included, is left to Python's fallback.
PyResult<Ref> unit_compare(PyObject* self, PyObject* other, int op) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, g_unit.type_for_use());
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, type)) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(auto left, g_unit.shared(self));
  QR_ASSIGN_OR_RETURN(auto right, g_unit.shared(other));
  const bool equal = *left == *right;
  return bool_object(equal == (op == Py_EQ));
}

constexpr const char* kUnitDoc =
    "A recognized unit of the channel-unit catalog: a base quantity with an\n"
    "optional metric prefix and a canonical label.\n\n"
    "The catalog is offered as class attributes named after the canonical\n"
    "spelling with \"/\" written as \"_PER_\" (Unit.KM_PER_H is km/h, Unit.M_PER_S2\n"
    "is m/s2, Unit.PER_MIN is per min); G, MG and UG are standard gravity and its\n"
    "sub-scales. The class cannot be instantiated. Units compare by value and\n"
    "hash alike in every process; a Unit can be passed as the unit of a Channel.";

const PyType_Slot kUnitSlots[] = {
    {Py_tp_richcompare, as_slot(&compare_entry<unit_compare>)},
    {Py_tp_str, as_slot(&unary_entry<unit_label>)},
    {Py_tp_repr, as_slot(&unary_entry<unit_repr>)},
    {Py_tp_hash, as_slot(&hash_entry<unit_hash_body>)},
};

PyGetSetDef g_unit_getters[] = {
    {"label", &getter_entry<unit_label>, nullptr, "The canonical label of the unit, such as \"km/h\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kUnitSpec{
    .qualified_name = "builtins.Unit",
    .doc = kUnitDoc,
    .has_constructor = false,
    .is_sequence = false,
    .slots = kUnitSlots,
    .getters = g_unit_getters,
    .class_attributes = kUnitAttributes,
};

}  // namespace

Class<Unit> g_unit{kUnitSpec};

}  // namespace quillrun::py
