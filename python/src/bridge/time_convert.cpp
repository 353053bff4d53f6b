#include "bridge/time_convert.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "runtime/args.hpp"
#include "runtime/once.hpp"

namespace quillrun::py {
namespace {

constexpr std::int64_t kMicrosPerDay = 86'400'000'000;

// The stable ABI has no datetime C interface: the module's classes are
// fetched once and used through ordinary attribute access and calls.
PyResult<Ref> datetime_attribute(const char* name) {
  QR_ASSIGN_OR_RETURN(Ref module, own(PyImport_ImportModule("datetime")));
  return own(PyObject_GetAttrString(module.get(), name));
}

PyResult<PyObject*> datetime_type() {
  static OnceCell cell;
  return cell.get_or_init([] { return datetime_attribute("datetime"); });
}

PyResult<PyObject*> utc() {
  static OnceCell cell;
  return cell.get_or_init([]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Ref timezone, datetime_attribute("timezone"));
    return own(PyObject_GetAttrString(timezone.get(), "utc"));
  });
}

PyResult<Ref> attribute(PyObject* object, Interned& name) {
  QR_ASSIGN_OR_RETURN(PyObject * interned, name.get());
  return own(PyObject_GetAttr(object, interned));
}

PyResult<std::string> repr_text(PyObject* object) {
  QR_ASSIGN_OR_RETURN(Ref repr, own(PyObject_Repr(object)));
  QR_ASSIGN_OR_RETURN(std::string_view text, utf8_of(repr.get()));
  return std::string(text);
}

// The fixed offset of `tzinfo` in microseconds east of UTC. The offset is
// asked without a datetime (utcoffset(None)): a zone whose offset depends on
// the date has none to give and is refused.
PyResult<std::int64_t> fixed_offset_us(PyObject* tzinfo) {
  static Interned utcoffset("utcoffset");
  static Interned days("days");
  static Interned seconds("seconds");
  static Interned microseconds("microseconds");
  QR_ASSIGN_OR_RETURN(PyObject * method, utcoffset.get());
  QR_ASSIGN_OR_RETURN(Ref offset, own(PyObject_CallMethodObjArgs(tzinfo, method, Py_None, nullptr)));
  if (offset.get() == Py_None) {
    QR_ASSIGN_OR_RETURN(std::string tz, repr_text(tzinfo));
    return fail(PyError::type_error(tz + " is not a fixed offset timezone"));
  }
  QR_ASSIGN_OR_RETURN(PyObject * timedelta, timedelta_type());
  if (!PyObject_TypeCheck(offset.get(), reinterpret_cast<PyTypeObject*>(timedelta))) {
    return fail(not_an_instance(offset.get(), "timedelta"));
  }
  QR_ASSIGN_OR_RETURN(long long d, int_attribute(offset.get(), days));
  QR_ASSIGN_OR_RETURN(long long s, int_attribute(offset.get(), seconds));
  QR_ASSIGN_OR_RETURN(long long u, int_attribute(offset.get(), microseconds));
  // A timedelta reaches 999999999 days: 128 bits hold any of them.
  const Int128 total = (static_cast<Int128>(d) * 86'400 + s) * 1'000'000 + u;
  if (total <= -kMicrosPerDay || total >= kMicrosPerDay) {
    return fail(PyError::value_error("fixed offset out of bounds"));
  }
  return static_cast<std::int64_t>(total);
}

PyError incompatible_timezone(PyObject* value) {
  auto text = repr_text(value);
  if (!text) return std::move(text).error();
  return PyError::value_error("The datetime " + *text + " contains an incompatible timezone");
}

PyResult<Ref> int_object(long long value) { return own(PyLong_FromLongLong(value)); }

}  // namespace

PyResult<quillrun::Instant> instant_from_datetime(PyObject* value) {
  static Interned tzinfo_name("tzinfo");
  static Interned year("year");
  static Interned month("month");
  static Interned day("day");
  static Interned hour("hour");
  static Interned minute("minute");
  static Interned second("second");
  static Interned microsecond("microsecond");

  QR_ASSIGN_OR_RETURN(PyObject * datetime, datetime_type());
  if (!PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(datetime))) {
    return fail(not_an_instance(value, "datetime"));
  }
  QR_ASSIGN_OR_RETURN(Ref tzinfo, attribute(value, tzinfo_name));
  if (tzinfo.get() == Py_None) return fail(PyError::type_error("expected a datetime with non-None tzinfo"));
  QR_ASSIGN_OR_RETURN(PyObject * utc_zone, utc());
  // timezone.utc, by far the most common zone, has offset zero: no call.
  std::int64_t offset_us = 0;
  if (tzinfo.get() != utc_zone) {
    QR_ASSIGN_OR_RETURN(offset_us, fixed_offset_us(tzinfo.get()));
  }

  std::array<long long, 7> parts{};
  Interned* names[] = {&year, &month, &day, &hour, &minute, &second, &microsecond};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    QR_ASSIGN_OR_RETURN(parts[i], int_attribute(value, *names[i]));
  }
  // datetime keeps its fields in range; a subclass that overrides them with
  // something else has no instant either.
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (parts[i] < 0 || parts[i] > 999'999) return fail(incompatible_timezone(value));
  }
  const auto wall = make_instant(parts[0], static_cast<std::uint32_t>(parts[1]), static_cast<std::uint32_t>(parts[2]),
                                 static_cast<std::uint32_t>(parts[3]), static_cast<std::uint32_t>(parts[4]),
                                 static_cast<std::uint32_t>(parts[5]), static_cast<std::uint32_t>(parts[6]) * 1000);
  if (!wall) return fail(incompatible_timezone(value));
  const auto instant = checked_add_us(*wall, -offset_us);
  if (!instant) return fail(incompatible_timezone(value));
  return *instant;
}

PyResult<Ref> datetime_from_instant(const quillrun::Instant& instant) {
  QR_ASSIGN_OR_RETURN(PyObject * datetime, datetime_type());
  QR_ASSIGN_OR_RETURN(PyObject * tz, utc());
  const CivilDate date = civil_from_days(instant.days);
  std::uint32_t nanos = instant.nanos;
  // datetime has no second 60: the leap second folds back onto :59.
  const bool leap_second = nanos >= 1'000'000'000;
  if (leap_second) nanos -= 1'000'000'000;

  // Years outside 1..9999 are refused by datetime itself (ValueError).
  const std::array<long long, 7> parts = {date.year,           date.month,          date.day,
                                          instant.secs / 3600, instant.secs / 60 % 60, instant.secs % 60,
                                          nanos / 1000};
  std::array<Ref, 7> objects;
  std::array<PyObject*, 8> args{};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    QR_ASSIGN_OR_RETURN(objects[i], int_object(parts[i]));
    args[i] = objects[i].get();
  }
  args[7] = tz;  // tzinfo is datetime's eighth positional parameter
  QR_ASSIGN_OR_RETURN(Ref result, own(PyObject_Vectorcall(datetime, args.data(), args.size(), nullptr)));
  if (leap_second &&
      PyErr_WarnEx(PyExc_UserWarning, "ignored leap-second, `datetime` does not support leap-seconds", 1) < 0) {
    return fail(PyError::fetch());
  }
  return result;
}

PyResult<Ref> datetime_or_none(const std::optional<quillrun::Instant>& instant) {
  if (!instant) return Ref::borrow(Py_None);
  return datetime_from_instant(*instant);
}

PyResult<PyObject*> timedelta_type() {
  static OnceCell cell;
  return cell.get_or_init([]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Ref type, datetime_attribute("timedelta"));
    if (!PyType_Check(type.get())) return fail(not_an_instance(type.get(), "type"));
    return type;
  });
}

PyResult<long long> int_attribute(PyObject* object, Interned& name) {
  QR_ASSIGN_OR_RETURN(Ref value, attribute(object, name));
  const long long number = PyLong_AsLongLong(value.get());
  if (number == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  return number;
}

}  // namespace quillrun::py
