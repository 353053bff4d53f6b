#pragma once
// Read-only attributes, one table line each: a getter is defined by what it
// reads (a member of the payload, or a function of the whole payload) and
// the converter that makes the Python value, as nanobind's def_ro does.
//
//   attribute<g_nav_fix, &NavFix::lat, float_object>("lat"),
//   computed<g_satellite, snr_is_sentinel>("snr_is_no_data_sentinel"),

#include <Python.h>

#include <functional>

#include "runtime/errors.hpp"
#include "runtime/frame.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

// What a getter reads from a payload: the payload itself, unless an
// overload for its type says otherwise (a row of a shared trace).
template <class P>
[[nodiscard]] const P& record_of(const P& payload) noexcept {
  return payload;
}

// The value of `Read` (a member pointer, or a function of the payload) in
// the payload of `self`, converted by `Convert`.
template <auto& Cls, auto Read, auto Convert>
PyResult<Ref> read_attribute(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto payload, Cls.shared(self));
  return Convert(std::invoke(Read, record_of(*payload)));
}

// The result of `Make` over the whole payload of `self`.
template <auto& Cls, auto Make>
PyResult<Ref> read_computed(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto payload, Cls.shared(self));
  return Make(record_of(*payload));
}

template <auto& Cls, auto Read, auto Convert>
[[nodiscard]] constexpr PyGetSetDef attribute(const char* name, const char* doc = nullptr) noexcept {
  return {name, &getter_entry<&read_attribute<Cls, Read, Convert>>, nullptr, doc, nullptr};
}

template <auto& Cls, auto Make>
[[nodiscard]] constexpr PyGetSetDef computed(const char* name, const char* doc = nullptr) noexcept {
  return {name, &getter_entry<&read_computed<Cls, Make>>, nullptr, doc, nullptr};
}

// The null entry that ends a table.
inline constexpr PyGetSetDef kEndOfGetters{nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace quillrun::py
