#include "runtime/types.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "runtime/args.hpp"

namespace quillrun::py {
namespace {

constexpr std::string_view kModulePart = "builtins.";

std::string type_text(std::string_view prefix, std::string_view name, std::string_view suffix) {
  std::string text(prefix);
  text += name;
  text += suffix;
  return text;
}

}  // namespace

std::string_view ClassBase::name() const noexcept {
  std::string_view qualified = spec_.qualified_name;
  if (qualified.starts_with(kModulePart)) qualified.remove_prefix(kModulePart.size());
  return qualified;
}

PyResult<PyTypeObject*> ClassBase::type() {
  QR_ASSIGN_OR_RETURN(PyObject * type, cell_.get_or_init([this] { return make_type(); }));
  return reinterpret_cast<PyTypeObject*>(type);
}

PyResult<PyTypeObject*> ClassBase::type_for_use() {
  PyResult<PyTypeObject*> made = type();
  if (made) return made;
  write_unraisable(std::move(made).error(), nullptr);
  return fail(PyError::panic(type_text("failed to create type object for `", name(), "`")));
}

PyStatus ClassBase::check_instance(PyObject* object) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, type_for_use());
  if (PyObject_TypeCheck(object, type)) return {};
  return fail(not_an_instance(object, name()));
}

PyResult<Ref> ClassBase::make_type() {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_alloc, as_slot(layout_.alloc)});
  slots.push_back({Py_tp_dealloc, as_slot(layout_.dealloc)});
  if (spec_.doc != nullptr && spec_.doc[0] != '\0') {
    slots.push_back({Py_tp_doc, const_cast<char*>(spec_.doc)});
  }
  if (spec_.methods != nullptr) slots.push_back({Py_tp_methods, spec_.methods});
  if (spec_.getters != nullptr) slots.push_back({Py_tp_getset, spec_.getters});
  for (const PyType_Slot& slot : spec_.slots) {
    if (slot.slot == Py_mp_length && spec_.is_sequence) {
      slots.push_back({Py_sq_length, slot.pfunc});
      continue;
    }
    slots.push_back(slot);
    // Not being mappings, classes with __getitem__ also answer the
    // sequence protocol's item query.
    if (slot.slot == Py_mp_subscript) slots.push_back({Py_sq_item, as_slot(&sequence_item_entry)});
  }
  slots.push_back({0, nullptr});

  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (!spec_.has_constructor) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{spec_.qualified_name, static_cast<int>(layout_.basicsize), 0, flags, slots.data()};
  PyResult<Ref> type = own(PyType_FromSpec(&type_spec));
  if (!type) {
    return fail(PyError::new_error_from(PyExc_RuntimeError,
                                        type_text("An error occurred while initializing class ", name(), ""),
                                        std::move(type).error()));
  }
  auto* type_object = reinterpret_cast<PyTypeObject*>(type->get());
  for (const ClassAttribute& attribute : spec_.class_attributes) {
    PyStatus stored = [&]() -> PyStatus {
      QR_ASSIGN_OR_RETURN(Ref value, attribute.make(type_object));
      return check(PyObject_SetAttrString(type->get(), attribute.name, value.get()));
    }();
    if (!stored) {
      return fail(PyError::new_error_from(PyExc_RuntimeError,
                                          type_text("An error occurred while initializing `", name(), ".__dict__`"),
                                          std::move(stored).error()));
    }
  }
  return type;
}

void free_object(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  auto free_function = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_function(object);
  // Heap types are referenced by each of their objects.
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

PyObject* sequence_item_entry(PyObject* self, Py_ssize_t index) noexcept {
  return frame_detail::object_frame([&]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Ref key, own(PyLong_FromSsize_t(index)));
    return own(PyObject_GetItem(self, key.get()));
  });
}

}  // namespace quillrun::py
