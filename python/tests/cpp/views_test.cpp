// NavFile, its views and iterators on the embedded interpreter, so the
// sanitizer build watches the shared trace change hands: views and
// iterators that outlive their NavFile, slices, exhausted iterators and the
// warning walk.

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "embedded_python.hpp"
#include "quillrun/trace.hpp"
#include "quillrun/writer.hpp"

namespace quillrun::py::testing {
namespace {

NavFileData sample_trace() {
  NavFileData trace;
  for (int i = 0; i < 5; ++i) {
    NavPoint point;
    point.lat = 50.0 + i;
    point.lon = -i;
    point.times = Timestamps::receiver_only(*instant_from_us(1'714'564'800'000'000 + i * 1'000'000));
    trace.points.push_back(point);
  }
  Marker known;
  known.label = "gate";
  known.icon = 13;
  Marker unknown;
  unknown.icon = 200;
  unknown.icon_unknown = true;
  trace.markers = {known, unknown};
  trace.event_markers = {EventMarkerPoint{"power/boot", *instant_from_us(0), std::nullopt, 1.0, 2.0}};
  trace.event_marker_styles = {EventMarkerStyle{"power/boot", StyleIcon::foreign("sparkle"), ColorHex{}}};
  return trace;
}

// Hands the sample trace's file image to the snippets as IMAGE.
bool publish_image() {
  auto image = write_nav_file(sample_trace());
  if (!image) return false;
  PyObject* main_dict = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image->data()),
                                              static_cast<Py_ssize_t>(image->size()));
  const bool set = bytes != nullptr && PyDict_SetItemString(main_dict, "IMAGE", bytes) == 0;
  Py_XDECREF(bytes);
  return set;
}

TEST(Views, OutliveTheirNavFile) {
  ASSERT_TRUE(publish_image());
  EXPECT_TRUE(run(R"py(
import gc, warnings
from _quillrun_sdk import NavFile
f = NavFile.from_bytes(IMAGE)
assert repr(f) == "NavFile(points=5, markers=2, event_markers=1)"
points = f.points
events = f.event_markers
it = iter(points)
next(it)
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    markers = f.markers
del f
gc.collect()
assert points.latitudes() == [50.0, 51.0, 52.0, 53.0, 54.0]
assert [p.lat for p in points[::-2]] == [54.0, 52.0, 50.0]
assert [p.lat for p in points[-2:100]] == [53.0, 54.0]
assert points[3:1] == []
assert [p.lat for p in it] == [51.0, 52.0, 53.0, 54.0]
for _ in range(3):
    raises(StopIteration, next, it)
assert [(m.label, m.icon_code) for m in markers] == [("gate", 13), (None, 200)]
assert repr(events[0]) == "EventMarkerPoint(variant_path=power/boot, lat=1.000000, lon=2.000000)"
expect_text(IndexError, "index out of range", lambda: points[-6])
element = points[-1]
del points, it, markers, events
gc.collect()
assert repr(element) == "NavPoint(lat=54.000000, lon=-4.000000)"
)py"));
}

TEST(Views, WarningsTurnedIntoErrorsLeaveNoView) {
  ASSERT_TRUE(publish_image());
  EXPECT_TRUE(run(R"py(
import warnings
from _quillrun_sdk import NavFile
f = NavFile.from_bytes(IMAGE)
with warnings.catch_warnings():
    warnings.simplefilter("error")
    e = raises(UserWarning, lambda: f.markers)
    assert str(e).startswith("map marker  holds the icon code 200,")
    e = raises(UserWarning, lambda: f.event_marker_styles)
    assert str(e).startswith("event marker style power/boot names the icon sparkle,")
assert NavFile.from_bytes(f.to_bytes()).to_bytes() == f.to_bytes()
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
