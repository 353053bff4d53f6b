// Meta: the file-level metadata, with the provenance an assembled or read
// trace carries.

#include <string>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "bridge/enum_bridge.hpp"
#include "runtime/frame.hpp"
#include "quillrun/record_rules.hpp"
#include "quillrun/text.hpp"
#include "bridge/time_convert.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

constexpr Param kParams[] = {
    {"title", ParamKind::KeywordOnly, false},
    {"device", ParamKind::KeywordOnly, false},
    {"notes", ParamKind::KeywordOnly, false},
    {"identity", ParamKind::KeywordOnly, false},
    {"travel_mode", ParamKind::KeywordOnly, false},
};
constexpr Signature kNew{"Meta.__new__()", kParams};

std::string variant_failure(const char* variant, const PyError& cause) {
  std::string line = "\n- variant ";
  line += variant;
  line += " (";
  line += variant;
  line += "): failed to extract field TravelModeArg::";
  line += variant;
  line += ".0, caused by ";
  line += describe(cause);
  return line;
}

// A member by its name, else any str: one of the seven lowercase names
// gives its code, every other text is a free name kept as written.
PyResult<TravelModeArg> travel_mode_arg(PyObject* value) {
  PyResult<TravelMode> member = extract_travel_mode(value);
  if (member) return TravelModeArg(*member);
  PyError member_failure = std::move(member).error();
  if (is_fatal_exception(member_failure)) return fail(std::move(member_failure));

  PyResult<std::string_view> text = to_str(value);
  if (text) {
    if (auto known = travel_mode_from_stored_name(*text)) return TravelModeArg(*known);
    return TravelModeArg(std::string(*text));
  }
  PyError name_failure = std::move(text).error();
  if (is_fatal_exception(name_failure)) return fail(std::move(name_failure));
  return fail(PyError::type_error("failed to extract enum TravelModeArg ('Mode | Name')" +
                                  variant_failure("Mode", member_failure) +
                                  variant_failure("Name", name_failure)));
}

PyResult<Ref> meta_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[5];
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, values));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> title, optional_str_arg("title", values[0]));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> device, optional_str_arg("device", values[1]));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> notes, optional_str_arg("notes", values[2]));
  QR_ASSIGN_OR_RETURN(std::optional<std::string> identity, optional_str_arg("identity", values[3]));
  std::optional<TravelModeArg> travel_mode;
  if (!is_absent(values[4])) {
    QR_ASSIGN_OR_RETURN(travel_mode, for_param("travel_mode", travel_mode_arg(values[4])));
  }
  auto meta = new_meta(std::move(title), std::move(device), std::move(notes), std::move(identity),
                       std::move(travel_mode));
  if (!meta) return fail(PyError::value_error(meta.error().message()));
  return g_meta.new_object(std::move(meta).value());
}

PyResult<Ref> meta_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  const std::string title = meta->title ? "Some(" + quoted(*meta->title) + ")" : "None";
  return text_object("Meta(title=" + title + ")");
}

PyResult<Ref> meta_compare(PyObject* self, PyObject* other, int op) {
  return compare_by_value(g_meta, self, other, op);
}

PyResult<Ref> get_title(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->title);
}
PyResult<Ref> get_device(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->device);
}
PyResult<Ref> get_notes(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->notes);
}
PyResult<Ref> get_identity(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->identity);
}
PyResult<Ref> get_travel_mode(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  if (!meta->travel_mode) return Ref::borrow(Py_None);
  if (const auto* known = std::get_if<TravelMode>(&*meta->travel_mode)) return travel_mode_member(*known);
  return text_object(std::get<std::string>(*meta->travel_mode));
}
PyResult<Ref> get_sdk_version(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->sdk_version);
}
PyResult<Ref> get_sdk_git_commit(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return text_or_none(meta->sdk_git_commit);
}
PyResult<Ref> get_sdk_commit_time(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto meta, g_meta.shared(self));
  return datetime_or_none(meta->sdk_commit_time);
}

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<meta_new>)},
    {Py_tp_repr, as_slot(&unary_entry<meta_repr>)},
    {Py_tp_richcompare, as_slot(&compare_entry<meta_compare>)},
};

PyGetSetDef g_getters[] = {
    {"title", &getter_entry<get_title>, nullptr, nullptr, nullptr},
    {"device", &getter_entry<get_device>, nullptr, nullptr, nullptr},
    {"notes", &getter_entry<get_notes>, nullptr, nullptr, nullptr},
    {"identity", &getter_entry<get_identity>, nullptr, nullptr, nullptr},
    {"travel_mode", &getter_entry<get_travel_mode>, nullptr, nullptr, nullptr},
    {"sdk_version", &getter_entry<get_sdk_version>, nullptr, nullptr, nullptr},
    {"sdk_git_commit", &getter_entry<get_sdk_git_commit>, nullptr, nullptr, nullptr},
    {"sdk_commit_time", &getter_entry<get_sdk_commit_time>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.Meta",
    .doc = "Meta(*, title=None, device=None, notes=None, identity=None, travel_mode=None)\n--\n\n"
           "File-level metadata: title, device, notes and identity texts and the\n"
           "travel mode (a TravelMode member, or a str: one of the lowercase member\n"
           "names, or any other name kept as written).\n\n"
           "sdk_version, sdk_git_commit and sdk_commit_time are the provenance of the\n"
           "SDK that assembled a trace; they are None in a Meta made here.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .getters = g_getters,
};

}  // namespace

Class<Meta> g_meta{kSpec};

}  // namespace quillrun::py
