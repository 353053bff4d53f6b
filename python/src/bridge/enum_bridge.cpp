#include "bridge/enum_bridge.hpp"

#include <span>
#include <string>
#include <string_view>

#include "runtime/args.hpp"
#include "runtime/once.hpp"

namespace quillrun::py {
namespace {

struct EnumTable {
  const char* class_name;
  std::span<const std::string_view> members;
};

EnumTable table(EnumKind kind) noexcept {
  switch (kind) {
    case EnumKind::Constellation: return {"Constellation", kConstellationMembers};
    case EnumKind::MarkerIcon: return {"MarkerIcon", kMarkerIconMembers};
    case EnumKind::TravelMode: return {"TravelMode", kTravelModeMembers};
  }
  return {"TravelMode", kTravelModeMembers};
}

OnceCell& cell(EnumKind kind) noexcept {
  static OnceCell cells[3];
  return cells[static_cast<std::size_t>(kind)];
}

PyResult<Ref> look_up_class(const char* class_name) {
  // The package's module, imported on first use only (never at start-up).
  QR_ASSIGN_OR_RETURN(Ref module, own(PyImport_ImportModule("quillrun_sdk.enums")));
  QR_ASSIGN_OR_RETURN(Ref cls, own(PyObject_GetAttrString(module.get(), class_name)));
  if (!PyType_Check(cls.get())) return fail(not_an_instance(cls.get(), "type"));
  return cls;
}

}  // namespace

PyResult<PyObject*> enum_class(EnumKind kind) {
  const char* class_name = table(kind).class_name;
  return cell(kind).get_or_init([class_name] { return look_up_class(class_name); });
}

PyResult<std::uint8_t> enum_member_code(EnumKind kind, PyObject* object) {
  static Interned name_attribute("name");
  const EnumTable t = table(kind);
  QR_ASSIGN_OR_RETURN(PyObject * cls, enum_class(kind));
  // The class's own instance check is honoured.
  const int is_member = PyObject_IsInstance(object, cls);
  if (is_member < 0) return fail(PyError::fetch());
  if (is_member == 0) {
    QR_ASSIGN_OR_RETURN(std::string got, type_name(Py_TYPE(object)));
    return fail(PyError::type_error(std::string("expected a ") + t.class_name + " member, got " + got));
  }
  QR_ASSIGN_OR_RETURN(PyObject * attribute, name_attribute.get());
  QR_ASSIGN_OR_RETURN(Ref name, own(PyObject_GetAttr(object, attribute)));
  QR_ASSIGN_OR_RETURN(std::string_view text, to_str(name.get()));
  for (std::size_t code = 0; code < t.members.size(); ++code) {
    if (t.members[code] == text) return static_cast<std::uint8_t>(code);
  }
  return fail(PyError::value_error(std::string("this build has no ") + t.class_name + "." + std::string(text)));
}

PyResult<Ref> enum_member(EnumKind kind, std::uint8_t code) {
  const EnumTable t = table(kind);
  QR_ASSIGN_OR_RETURN(PyObject * cls, enum_class(kind));
  if (code >= t.members.size()) {
    return fail(PyError::panic(std::string("no ") + t.class_name + " member for code " + std::to_string(code)));
  }
  const std::string member(t.members[code]);
  return own(PyObject_GetAttrString(cls, member.c_str()));
}

}  // namespace quillrun::py
