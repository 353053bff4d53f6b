#pragma once
// The classes of the module: each is one ClassSpec (its table entry: slots,
// methods, getters, class attributes) and one Class<Payload> that makes its
// type object on first need and creates, borrows and frees its objects.

#include <Python.h>

#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "runtime/errors.hpp"
#include "runtime/frame.hpp"
#include "runtime/object.hpp"
#include "runtime/once.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

// A class attribute, computed once when the type object is made; `make`
// receives the type being made (its objects can already be created).
struct ClassAttribute {
  const char* name;
  PyResult<Ref> (*make)(PyTypeObject* type);
};

struct ClassSpec {
  // "builtins.<Name>": the classes present themselves as built-ins.
  const char* qualified_name;
  // Empty: no docstring at all (__doc__ is None). A class with a constructor
  // starts it with its signature line, "--" and an empty line.
  const char* doc;
  // Without one, calling the class is refused by the interpreter.
  bool has_constructor;
  // Views: __len__ goes into the sequence length slot.
  bool is_sequence;
  // Give __len__ as Py_mp_length and __getitem__ as Py_mp_subscript; the
  // sequence slots are derived from them.
  std::span<const PyType_Slot> slots;
  // Null-terminated tables, or null.
  PyMethodDef* methods = nullptr;
  PyGetSetDef* getters = nullptr;
  std::span<const ClassAttribute> class_attributes = {};
};

class ClassBase {
 public:
  ClassBase(const ClassBase&) = delete;
  ClassBase& operator=(const ClassBase&) = delete;

  [[nodiscard]] const ClassSpec& spec() const noexcept { return spec_; }
  // The bare class name, as messages name it.
  [[nodiscard]] std::string_view name() const noexcept;

  // The type object, made on first need; a failure is returned as it is
  // (module execution reports it as the import's failure).
  [[nodiscard]] PyResult<PyTypeObject*> type();
  // The same for a need outside module execution (creating an object,
  // testing an argument): a failure goes to sys.unraisablehook and becomes
  // an internal failure.
  [[nodiscard]] PyResult<PyTypeObject*> type_for_use();

  // The downcast: `object` is an instance of this class (or a subtype).
  [[nodiscard]] PyStatus check_instance(PyObject* object);

 protected:
  struct Layout {
    Py_ssize_t basicsize;
    allocfunc alloc;
    destructor dealloc;
  };
  ClassBase(const ClassSpec& spec, Layout layout) noexcept : spec_(spec), layout_(layout) {}
  ~ClassBase() = default;

 private:
  PyResult<Ref> make_type();

  const ClassSpec& spec_;
  Layout layout_;
  OnceCell cell_;
};

// tp_alloc of every class: the interpreter's zero-filled allocation, marked
// as holding no payload until new_object moves one in.
template <class P>
PyObject* alloc_entry(PyTypeObject* type, Py_ssize_t items) noexcept {
  PyObject* object = PyType_GenericAlloc(type, items);
  if (object != nullptr) class_object<P>(object)->borrow_flag = kUnconstructed;
  return object;
}

void free_object(PyObject* object) noexcept;

template <class P>
void dealloc_entry(PyObject* self) noexcept {
  frame_detail::dealloc_frame(reinterpret_cast<PyObject*>(Py_TYPE(self)), [&] {
    ClassObject<P>* object = class_object<P>(self);
    if (object->borrow_flag != kUnconstructed) std::destroy_at(&object->payload());
  });
  free_object(self);
}

template <class P>
class Class final : public ClassBase {
 public:
  explicit Class(const ClassSpec& spec) noexcept
      : ClassBase(spec, Layout{static_cast<Py_ssize_t>(sizeof(ClassObject<P>)), &alloc_entry<P>, &dealloc_entry<P>}) {}

  // new_class_object: a new object of this class around `payload`.
  [[nodiscard]] PyResult<Ref> new_object(P payload) {
    QR_ASSIGN_OR_RETURN(PyTypeObject * type, type_for_use());
    return new_object_of(type, std::move(payload));
  }

  // The same with the type object given: for class attributes, made while
  // the type itself is being made.
  [[nodiscard]] static PyResult<Ref> new_object_of(PyTypeObject* type, P payload) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    // Allocation failure drops the payload with this frame.
    QR_ASSIGN_OR_RETURN(Ref object, own(alloc(type, 0)));
    ClassObject<P>* raw = class_object<P>(object.get());
    // Should the move throw, the object is still marked unconstructed and
    // its deallocation leaves the storage alone.
    std::construct_at(reinterpret_cast<P*>(raw->storage), std::move(payload));
    raw->flag().store(0, std::memory_order_release);
    return object;
  }

  // Borrows of `self`, which the interpreter guarantees to be of this class.
  [[nodiscard]] static PyResult<Shared<P>> shared(PyObject* self) noexcept { return Shared<P>::acquire(self); }
  [[nodiscard]] static PyResult<Exclusive<P>> exclusive(PyObject* self) noexcept {
    return Exclusive<P>::acquire(self);
  }

  // A shared borrow of an argument: downcast, then borrow.
  [[nodiscard]] PyResult<Shared<P>> shared_arg(PyObject* object) {
    QR_TRY(check_instance(object));
    return Shared<P>::acquire(object);
  }
};

// __getitem__ answered for the interpreter's sequence protocol: item i is
// the object's subscript with the int i.
PyObject* sequence_item_entry(PyObject* self, Py_ssize_t index) noexcept;

}  // namespace quillrun::py
