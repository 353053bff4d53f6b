// The datetime conversion on instants that Python code cannot give:
// leap seconds (only RFC 3339 text makes them) and years datetime lacks.

// Built against the stable ABI, as the extension's own sources are.
#define Py_LIMITED_API 0x030C0000
#include <Python.h>
#include <gtest/gtest.h>

#include "embedded_python.hpp"
#include "runtime/frame.hpp"
#include "bridge/time_convert.hpp"

namespace quillrun::py::testing {
namespace {

// to_datetime(days, secs, nanos): the datetime of that instant.
PyObject* to_datetime(PyObject*, PyObject* args) {
  long long days = 0;
  unsigned int secs = 0;
  unsigned int nanos = 0;
  if (PyArg_ParseTuple(args, "LII", &days, &secs, &nanos) == 0) return nullptr;
  return frame_detail::object_frame([&] { return datetime_from_instant(Instant{days, secs, nanos}); });
}

// to_instant(value): (days, secs, nanos) of an aware datetime.
PyObject* to_instant(PyObject*, PyObject* value) {
  return frame_detail::object_frame([&]() -> PyResult<Ref> {
    QR_ASSIGN_OR_RETURN(Instant t, instant_from_datetime(value));
    return own(Py_BuildValue("(LII)", static_cast<long long>(t.days), t.secs, t.nanos));
  });
}

PyMethodDef g_to_datetime{"to_datetime", &to_datetime, METH_VARARGS, nullptr};
PyMethodDef g_to_instant{"to_instant", &to_instant, METH_O, nullptr};

bool run_time(const char* body) {
  PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
  for (PyMethodDef* def : {&g_to_datetime, &g_to_instant}) {
    PyObject* fn = PyCFunction_New(def, nullptr);
    if (fn == nullptr || PyDict_SetItemString(main_dict, def->ml_name, fn) < 0) return false;
    Py_DECREF(fn);
  }
  return run((std::string("import datetime as dt, warnings\nUTC = dt.timezone.utc\n") + body).c_str());
}

TEST(TimeConvert, LeapSecondLosesTheExtraSecondWithAWarning) {
  EXPECT_TRUE(run_time(R"py(
# 2016-12-31 is day 17166; 23:59:60.25 is second 86399 with 1.25e9 nanos.
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    got = to_datetime(17166, 86399, 1_250_000_000)
assert got == dt.datetime(2016, 12, 31, 23, 59, 59, 250000, tzinfo=UTC), got
assert got.tzinfo is UTC
assert [(w.category, str(w.message)) for w in seen] == [
    (UserWarning, "ignored leap-second, `datetime` does not support leap-seconds")]
with warnings.catch_warnings(record=True) as seen:
    warnings.simplefilter("always")
    assert to_datetime(17166, 86399, 999_999_999) == dt.datetime(2016, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
assert seen == []
)py"));
}

TEST(TimeConvert, LeapSecondWarningTurnedIntoAnErrorIsRaised) {
  EXPECT_TRUE(run_time(R"py(
with warnings.catch_warnings():
    warnings.simplefilter("error")
    expect_text(UserWarning, "ignored leap-second, `datetime` does not support leap-seconds",
                to_datetime, 17166, 86399, 1_000_000_000)
)py"));
}

TEST(TimeConvert, YearsOutsideDatetimeRaiseValueError) {
  EXPECT_TRUE(run_time(R"py(
# Day -719528 is 0000-01-01, day 2932897 is 10000-01-01; the instant range
# reaches years -262143 and 262142.
assert to_datetime(-719162, 0, 0) == dt.datetime(1, 1, 1, tzinfo=UTC)
assert to_datetime(2932896, 86399, 999_999_000) == dt.datetime(9999, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
expect_text(ValueError, "year 0 is out of range", to_datetime, -719528, 0, 0)
expect_text(ValueError, "year 10000 is out of range", to_datetime, 2932897, 0, 0)
expect_text(ValueError, "year -262143 is out of range", to_datetime, -96465292, 0, 0)
expect_text(ValueError, "year 262142 is out of range", to_datetime, 95026236, 86399, 999_999_999)
)py"));
}

TEST(TimeConvert, SubMicrosecondNanosAreDropped) {
  EXPECT_TRUE(run_time(R"py(
assert to_datetime(-1, 86399, 999_999_999) == dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)
assert to_instant(dt.datetime(1969, 12, 31, 23, 59, 59, 999999, tzinfo=UTC)) == (-1, 86399, 999_999_000)
assert to_instant(dt.datetime(1970, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=2)))) == (-1, 82800, 0)
)py"));
}

TEST(TimeConvert, WallClockThatHasNoInstantIsRefused) {
  EXPECT_TRUE(run_time(R"py(
class Odd(dt.datetime):
    @property
    def month(self):
        return 13
value = Odd(2024, 1, 1, tzinfo=UTC)
expect_text(ValueError, f"The datetime {value!r} contains an incompatible timezone", to_instant, value)
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
