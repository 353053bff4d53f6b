#pragma once
// Time-zone-aware datetime values in and out of the core's UTC instants.

#include <Python.h>

#include <optional>

#include "runtime/errors.hpp"
#include "runtime/once.hpp"
#include "quillrun/instant.hpp"
#include "runtime/ref.hpp"

namespace quillrun::py {

// An aware datetime.datetime (subclasses too) to its UTC instant, with the
// binding layer's texts for a naive value, a non-fixed offset, an offset out
// of bounds and a wall-clock value whose UTC instant cannot be formed.
[[nodiscard]] PyResult<quillrun::Instant> instant_from_datetime(PyObject* value);

// A datetime carrying datetime.timezone.utc; an instant inside a leap second
// loses the extra second and issues the UserWarning (which may raise).
[[nodiscard]] PyResult<Ref> datetime_from_instant(const quillrun::Instant& instant);
[[nodiscard]] PyResult<Ref> datetime_or_none(const std::optional<quillrun::Instant>& instant);

// datetime.timedelta, fetched once; refused unless it is a type.
[[nodiscard]] PyResult<PyObject*> timedelta_type();
// An int attribute of `object`, such as a timedelta's days.
[[nodiscard]] PyResult<long long> int_attribute(PyObject* object, Interned& name);

}  // namespace quillrun::py
