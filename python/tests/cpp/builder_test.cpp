// NavFileBuilder on the embedded interpreter, so the sanitizer build watches
// its state change hands: builders dropped in every state, the settings
// moved into the core builder, a failed finish(), a handler that re-enters
// the builder while the assembly logs, and a builder made past its
// constructor.

#include <gtest/gtest.h>

#include <string>

#include "embedded_python.hpp"

namespace quillrun::py::testing {
namespace {

constexpr const char* kItems = R"py(
from datetime import datetime, timedelta, timezone
from _quillrun_sdk import (Annotation, Channel, EventMarker, EventMarkerStyle, Meta, NavFileBuilder, NavFix,
                           Satellite, SatelliteReport)
from quillrun_sdk.enums import Constellation
T0 = datetime(2024, 5, 1, tzinfo=timezone.utc)
def fix(s):
    return NavFix(1.0 + s, 2.0, gps_time=T0 + timedelta(seconds=s))
)py";

bool run_with_items(const char* body) { return run((std::string(kItems) + body).c_str()); }

TEST(Builder, DroppedInEveryState) {
  EXPECT_TRUE(run_with_items(R"py(
configuring = NavFileBuilder().with_meta(Meta(title="t", travel_mode="unicycle")).with_notes("n")
adding = NavFileBuilder().with_title("t").add(fix(0)).add(Channel("c", [T0], [1.0]))
adding.add_event_marker_style(EventMarkerStyle("a/b", color="#000000"))
adding.add(SatelliteReport([Satellite(Constellation.GPS, 1)], gps_time=T0))
consumed = NavFileBuilder().add(fix(0))
consumed.finish()
del configuring, adding, consumed
)py"));
}

TEST(Builder, FinishMovesEverythingIntoTheTrace) {
  EXPECT_TRUE(run_with_items(R"py(
f = fix(0)
builder = NavFileBuilder().with_meta(Meta(title="t")).with_satellite_window(timedelta.max)
builder.add(f).add(f).add(fix(10)).add(Annotation(T0 + timedelta(seconds=5), label="mid"))
builder.add(EventMarker("a", T0)).add(EventMarker(None, T0, annotation="x" * 600))
builder.add(SatelliteReport([Satellite(Constellation.GPS, 3)], gps_time=T0 + timedelta(days=20)))
builder.add_event_marker_style(EventMarkerStyle("a")).add_event_marker_style(EventMarkerStyle("a", color="#abcdef"))
del f
nav_file = builder.finish()
del builder
assert len(nav_file.points) == 3
assert nav_file.points[2].satellites is not None
assert [m.label for m in nav_file.markers] == ["mid"]
assert [e.variant_path for e in nav_file.event_markers] == ["a"]
assert [s.color for s in nav_file.event_marker_styles] == ["#abcdef"]
assert nav_file.meta.title == "t"
)py"));
}

TEST(Builder, FailedFinishConsumes) {
  EXPECT_TRUE(run_with_items(R"py(
builder = NavFileBuilder().add(Annotation(T0)).add(Channel("c", [T0], [1.0]))
expect_text(ValueError, "1 annotation(s) have no nav fix to take a position from: at least one nav fix is required",
            builder.finish)
expect_text(RuntimeError, "builder already consumed by finish()", builder.finish)
expect_text(RuntimeError, "builder already consumed by finish()", builder.add, fix(0))
)py"));
}

TEST(Builder, HandlerReenteringDuringFinish) {
  EXPECT_TRUE(run_with_items(R"py(
import logging
outcomes = []
class Reenter(logging.Handler):
    def emit(self, record):
        for call in (lambda: builder.with_title("x"), lambda: builder.add(fix(1)), builder.finish):
            try:
                call()
            except BaseException as e:
                outcomes.append((type(e).__name__, str(e)))
logger = logging.getLogger("quillrun_sdk.builder")
logger.addHandler(Reenter())
logger.setLevel(logging.DEBUG)
builder = NavFileBuilder().with_lenient_errors().add(fix(0)).add(Annotation(T0 + timedelta(seconds=9)))
nav_file = builder.finish()
assert outcomes == [("PanicException", "Already borrowed: PyBorrowMutError")] * 2 + [
    ("RuntimeError", "Already borrowed")], outcomes
expect_text(RuntimeError, "builder already consumed by finish()", builder.with_title, "x")
)py"));
}

TEST(Builder, MadePastItsConstructor) {
  EXPECT_TRUE(run_with_items(R"py(
NavFileBuilder.__new__ = lambda cls: object.__new__(cls)
b = NavFileBuilder()
expect_text(TypeError, "'NavFileBuilder' object is not initialized", b.with_title, "t")
expect_text(TypeError, "'NavFileBuilder' object is not initialized", b.add, fix(0))
expect_text(TypeError, "'NavFileBuilder' object is not initialized", b.finish)
del b
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
