// The bridge from the core's log records to Python's `logging`, installed by
// the execution of `_quillrun_sdk`.

#include <gtest/gtest.h>

#include "embedded_python.hpp"

namespace quillrun::py::testing {
namespace {

constexpr const char* kCapture = R"py(
import logging
import _quillrun_sdk  # installs the bridge
class Capture(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []
    def emit(self, record):
        self.records.append(record)
def capture(name, level=1):
    logger = logging.getLogger(name)
    logger.setLevel(level)
    handler = Capture()
    logger.addHandler(handler)
    return handler.records
)py";

bool run_logging(const char* body) { return run((std::string(kCapture) + body).c_str()); }

TEST(LoggingBridge, LevelsNamesAndLocations) {
  EXPECT_TRUE(run_logging(R"py(
records = capture("quillrun_sdk")
lines = [probe.log(level, "quillrun_sdk::builder", "level %s") for level in (1, 2, 3, 4, 5)]
assert [r.levelno for r in records] == [40, 30, 20, 10]  # trace is not produced
assert {r.name for r in records} == {"quillrun_sdk.builder"}
assert [r.getMessage() for r in records] == ["level %s"] * 4  # never a %-template
assert records[0].pathname == "python/tests/cpp/probe_module.cpp" and records[0].lineno == lines[0]
probe.log(2, "quillrun_sdk::read", "r")
probe.log(2, "quillrun_sdk::provenance", "p")
assert [r.name for r in records[4:]] == ["quillrun_sdk.read", "quillrun_sdk.provenance"]
own = capture("_quillrun_sdk")
probe.log(1, "_quillrun_sdk", "own")
assert [r.name for r in own] == ["_quillrun_sdk"]
)py"));
}

TEST(LoggingBridge, OnlyWhatTheLoggerIsEnabledForIsHandled) {
  EXPECT_TRUE(run_logging(R"py(
records = capture("quillrun_sdk.read", level=logging.WARNING)
for level in (1, 2, 3, 4):
    probe.log(level, "quillrun_sdk::read", "m")
assert [r.levelno for r in records] == [40, 30]
logging.disable(logging.CRITICAL)
probe.log(1, "quillrun_sdk::read", "m")
logging.disable(logging.NOTSET)
assert len(records) == 2
)py"));
}

TEST(LoggingBridge, SecondExecutionWarnsThroughTheFirstBridge) {
  EXPECT_TRUE(run_logging(R"py(
import importlib, sys
first = sys.modules.pop("_quillrun_sdk")
records = capture("_quillrun_sdk")
second = importlib.import_module("_quillrun_sdk")
assert second is not first and second.__all__ == first.__all__
assert second.kmh_from_mps is not first.kmh_from_mps
[record] = records
assert record.levelno == 30 and record.name == "_quillrun_sdk"
assert record.getMessage() == ("the sdk's log records stay off python's logging: "
                               "attempted to set a logger after the logging system was already initialized")
assert (record.pathname, record.lineno) == ("src/lib", 2146)
)py"));
}

TEST(LoggingBridge, FailuresOfPythonLoggingNeverChangeTheOutcome) {
  EXPECT_TRUE(run_logging(R"py(
records = capture("quillrun_sdk.builder")
logger = logging.getLogger("quillrun_sdk.builder")
class Refuse(logging.Filter):
    def __init__(self, exc):
        super().__init__()
        self.exc = exc
    def filter(self, record):
        raise self.exc
for exc in (RuntimeError("filter broke"), KeyboardInterrupt()):
    refuse = Refuse(exc)
    logger.addFilter(refuse)
    with Unraisables() as seen:
        assert isinstance(probe.log(2, "quillrun_sdk::builder", "m"), int)
        expect_text(ValueError, "kept", probe.log_while_raising, "m")
    logger.removeFilter(refuse)
    assert [type(u.exc_value) for u in seen] == [type(exc)] * 2

def broken_make_record(*args, **kwargs):
    raise TypeError("makeRecord broke")
logger.makeRecord = broken_make_record
with Unraisables() as seen:
    probe.log(2, "quillrun_sdk::builder", "m")
assert [str(u.exc_value) for u in seen] == ["makeRecord broke"]
del logger.makeRecord

expect_text(ValueError, "kept", probe.log_while_raising, "delivered")
assert records[-1].getMessage() == "delivered"
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
