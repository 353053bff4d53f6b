// Channel: a named sensor channel sampled at its own times, scalar or vector.
// The constructor converts the arguments; the channel rules and their texts
// are the core's (new_channel).

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/args.hpp"
#include "classes/channel_unit.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/text.hpp"
#include "quillrun/units.hpp"
#include "runtime/sequence_arg.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

PyResult<std::string> owned_text(PyObject* object) {
  QR_ASSIGN_OR_RETURN(std::string_view text, to_str(object));
  return std::string(text);
}

// A Unit is a catalog unit; a ChannelUnit is taken as it is (a legacy one is
// then refused by the channel rules); a str must name a catalog unit, since
// a label outside the catalog has to come through ChannelUnit.custom.
PyResult<std::optional<ChannelUnit>> resolve_unit(PyObject* unit) {
  if (is_absent(unit)) return std::optional<ChannelUnit>();
  QR_ASSIGN_OR_RETURN(PyTypeObject * unit_type, g_unit.type_for_use());
  if (PyObject_TypeCheck(unit, unit_type)) {
    QR_ASSIGN_OR_RETURN(auto catalog_unit, Class<Unit>::shared(unit));
    return std::optional<ChannelUnit>(ChannelUnit::recognized(*catalog_unit));
  }
  QR_ASSIGN_OR_RETURN(PyTypeObject * channel_unit_type, g_channel_unit.type_for_use());
  if (PyObject_TypeCheck(unit, channel_unit_type)) {
    QR_ASSIGN_OR_RETURN(auto channel_unit, Class<ChannelUnit>::shared(unit));
    return std::optional<ChannelUnit>(*channel_unit);
  }
  if (PyUnicode_Check(unit)) {
    QR_ASSIGN_OR_RETURN(std::string_view text, to_str(unit));
    const auto recognized = unit_from_text(text);
    if (!recognized) return fail(unrecognized_unit_error(text));
    return std::optional<ChannelUnit>(ChannelUnit::recognized(*recognized));
  }
  return fail(PyError::value_error("unit must be a recognized string or ChannelUnit.custom(...)"));
}

constexpr Param kChannelParams[] = {
    {"name"},
    {"times"},
    {"values"},
    {"unit", ParamKind::KeywordOnly, false},
    {"period_deg", ParamKind::KeywordOnly, false},
    {"description", ParamKind::KeywordOnly, false},
    {"components", ParamKind::KeywordOnly, false},
};
constexpr Signature kChannelNew{"Channel.__new__()", kChannelParams};

PyResult<Ref> channel_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* arg[7];
  QR_TRY(parse_tuple_dict(kChannelNew, args, kwargs, arg));
  QR_ASSIGN_OR_RETURN(std::string name, for_param("name", owned_text(arg[0])));
  QR_ASSIGN_OR_RETURN(std::vector<Instant> times,
                      for_param("times", sequence_to_vector<Instant>(arg[1], [](PyObject* item) {
                                  return instant_from_datetime(item);
                                })));
  QR_ASSIGN_OR_RETURN(std::vector<double> values,
                      for_param("values", sequence_to_vector<double>(arg[2], [](PyObject* item) { return to_double(item); })));
  QR_ASSIGN_OR_RETURN(std::optional<double> period_deg, optional_double_arg("period_deg", arg[4]));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> description, optional_str_arg("description", arg[5]));
  std::optional<std::vector<std::string>> components;
  if (!is_absent(arg[6])) {
    QR_ASSIGN_OR_RETURN(components, for_param("components", sequence_to_vector<std::string>(arg[6], owned_text)));
  }
  // The unit is resolved only now: a bad list or option is reported first.
  QR_ASSIGN_OR_RETURN(std::optional<ChannelUnit> unit, resolve_unit(arg[3]));

  auto channel = new_channel(std::move(name), std::move(unit), period_deg, std::move(description),
                             std::move(components), std::move(times), std::move(values));
  if (!channel) return fail(PyError::value_error(channel.error().message()));
  return g_channel.new_object(std::move(channel).value());
}

PyResult<Ref> channel_name(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  return text_object(channel->name);
}

PyResult<Ref> channel_unit(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  if (!channel->unit) return Ref::borrow(Py_None);
  return g_channel_unit.new_object(*channel->unit);
}

PyResult<Ref> channel_period_deg(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  return float_or_none(channel->period_deg);
}

PyResult<Ref> channel_description(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  return text_or_none(channel->description);
}

PyResult<Ref> channel_components(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(static_cast<Py_ssize_t>(channel->components.size()))));
  for (std::size_t i = 0; i < channel->components.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Ref label, text_object(channel->components[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), label.release());
  }
  return list;
}

PyResult<Ref> channel_is_vector(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  return bool_object(!channel->components.empty());
}

PyResult<Ref> channel_times(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(static_cast<Py_ssize_t>(channel->times.size()))));
  for (std::size_t i = 0; i < channel->times.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Ref time, datetime_from_instant(channel->times[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), time.release());
  }
  return list;
}

PyResult<Ref> channel_values(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  QR_ASSIGN_OR_RETURN(Ref list, own(PyList_New(static_cast<Py_ssize_t>(channel->values.size()))));
  for (std::size_t i = 0; i < channel->values.size(); ++i) {
    QR_ASSIGN_OR_RETURN(Ref value, float_object(channel->values[i]));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value.release());
  }
  return list;
}

PyResult<Ref> channel_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto channel, g_channel.shared(self));
  return text_object("Channel(name=" + quoted(channel->name) + ", samples=" + std::to_string(channel->times.size()) +
                     ", components=" + std::to_string(channel->components.size()) + ")");
}

PyResult<Ref> channel_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_channel, self, other, op);
}

constexpr const char* kChannelDoc =
    "Channel(name, times, values, *, unit=None, period_deg=None, description=None, components=None)\n--\n\n"
    "A named sensor channel sampled at its own times: scalar (one value per\n"
    "time) or vector (one value per component per time).\n\n"
    "`name` and each component label are lowercase identifiers. `times` is a\n"
    "sequence of time-zone-aware datetimes; `values` a flat sequence of floats,\n"
    "row-major: len(times) rows of one value each, or of one value per component\n"
    "(flatten the rows yourself). `unit` is a Unit, a ChannelUnit, or a str that\n"
    "names a catalog unit; a display-only label comes through ChannelUnit.custom.\n"
    "`period_deg` is the wrap period of an angular channel and needs the unit\n"
    "deg. Raises ValueError when a channel rule fails.";

const PyType_Slot kChannelSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<channel_new>)},
    {Py_tp_repr, as_slot(&unary_entry<channel_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<channel_compare>)},
};

PyGetSetDef g_channel_getters[] = {
    {"name", &getter_entry<channel_name>, nullptr,
     "The channel's identifier; queries refer to the channel by an at sign followed by it.", nullptr},
    {"unit", &getter_entry<channel_unit>, nullptr, "The declared unit as a :class:`ChannelUnit`, or `None`.", nullptr},
    {"period_deg", &getter_entry<channel_period_deg>, nullptr,
     "The wrap period in degrees for an angular channel, or `None` if linear.\n\n"
     "A `deg` channel without a period holds an unbounded angle.",
     nullptr},
    {"description", &getter_entry<channel_description>, nullptr,
     "A human description of what the channel records, or `None`.", nullptr},
    {"components", &getter_entry<channel_components>, nullptr,
     "The vector component labels, or an empty list for a scalar channel.", nullptr},
    {"is_vector", &getter_entry<channel_is_vector>, nullptr,
     "Whether this is a vector channel (has named components).", nullptr},
    {"times", &getter_entry<channel_times>, nullptr, "The sample timestamps, one per row of `values`.", nullptr},
    {"values", &getter_entry<channel_values>, nullptr,
     "The sample values, row-major: `len(times)` rows by component count.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kChannelSpec{
    .qualified_name = "builtins.Channel",
    .doc = kChannelDoc,
    .has_constructor = true,
    .is_sequence = false,
    .slots = kChannelSlots,
    .getters = g_channel_getters,
};

}  // namespace

Class<Channel> g_channel{kChannelSpec};

}  // namespace quillrun::py
