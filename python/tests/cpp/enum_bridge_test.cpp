// The enum member bridge, against the package's enum module and stand-ins
// for newer, older and broken ones.

#include <gtest/gtest.h>

#include "embedded_python.hpp"

namespace quillrun::py::testing {
namespace {

// Kinds as the probe takes them.
constexpr const char* kKinds = R"py(
CONSTELLATION, MARKER_ICON, TRAVEL_MODE = 0, 1, 2
import sys, types
def install_enums(source):
    module = types.ModuleType("quillrun_sdk.enums")
    exec(source, module.__dict__)
    sys.modules["quillrun_sdk.enums"] = module
    return module
)py";

bool run_enum(const char* body) { return run((std::string(kKinds) + body).c_str()); }

TEST(EnumBridge, MembersCrossByName) {
  EXPECT_TRUE(run_enum(R"py(
from quillrun_sdk.enums import Constellation, MarkerIcon, TravelMode
assert probe.enum_code(CONSTELLATION, Constellation.QZSS) == 5
assert probe.enum_code(MARKER_ICON, MarkerIcon.SATELLITE_LOST) == 8
assert probe.enum_code(TRAVEL_MODE, TravelMode.AIRCRAFT) == 6
assert probe.enum_member(MARKER_ICON, 13) is MarkerIcon.WRENCH
assert probe.enum_member(TRAVEL_MODE, 0) is TravelMode.CAR
assert probe.enum_member(CONSTELLATION, 3) is Constellation.BEIDOU
)py"));
}

TEST(EnumBridge, RefusesObjectsOfOtherClasses) {
  EXPECT_TRUE(run_enum(R"py(
import enum
from quillrun_sdk.enums import MarkerIcon
expect_text(TypeError, "expected a Constellation member, got str", probe.enum_code, CONSTELLATION, "GPS")
expect_text(TypeError, "expected a Constellation member, got NoneType", probe.enum_code, CONSTELLATION, None)
class Other(enum.Enum):
    GPS = 0
expect_text(TypeError, "expected a Constellation member, got Other", probe.enum_code, CONSTELLATION, Other.GPS)
expect_text(TypeError, "expected a TravelMode member, got MarkerIcon", probe.enum_code, TRAVEL_MODE, MarkerIcon.PIN)
)py"));
}

TEST(EnumBridge, NewerModuleWithExtraMemberAndOtherValues) {
  EXPECT_TRUE(run_enum(R"py(
enums = install_enums('''
import enum
class Constellation(enum.Enum):
    GPS = "gps"
class MarkerIcon(enum.IntEnum):
    PIN = 100
    STAR = 101
class TravelMode(enum.Enum):
    CAR = 7
''')
assert probe.enum_code(MARKER_ICON, enums.MarkerIcon.PIN) == 0  # values are never read
expect_text(ValueError, "this build has no MarkerIcon.STAR", probe.enum_code, MARKER_ICON, enums.MarkerIcon.STAR)
assert probe.enum_code(CONSTELLATION, enums.Constellation.GPS) == 0
assert probe.enum_member(MARKER_ICON, 0) is enums.MarkerIcon.PIN
)py"));
}

TEST(EnumBridge, OlderModuleMissingAMember) {
  EXPECT_TRUE(run_enum(R"py(
enums = install_enums('''
import enum
class MarkerIcon(enum.IntEnum):
    PIN = 0
''')
raises(AttributeError, probe.enum_member, MARKER_ICON, 13)
raises(AttributeError, probe.enum_code, CONSTELLATION, 1)  # no Constellation class at all
)py"));
}

TEST(EnumBridge, ClassLookupIsRetriedAfterFailure) {
  EXPECT_TRUE(run_enum(R"py(
sys.modules["quillrun_sdk.enums"] = None
raises(ImportError, probe.enum_member, MARKER_ICON, 0)
enums = install_enums("MarkerIcon = 5")
expect_text(TypeError, "'int' object is not an instance of 'type'", probe.enum_member, MARKER_ICON, 0)
del sys.modules["quillrun_sdk.enums"]
import quillrun_sdk.enums as real
assert probe.enum_member(MARKER_ICON, 0) is real.MarkerIcon.PIN
# Held once found: replacing the module changes nothing.
install_enums("import enum\nclass MarkerIcon(enum.Enum):\n    PIN = 0\n")
assert probe.enum_member(MARKER_ICON, 0) is real.MarkerIcon.PIN
)py"));
}

TEST(EnumBridge, NameMustBeAStr) {
  EXPECT_TRUE(run_enum(R"py(
enums = install_enums('''
class Constellation:
    def __init__(self, name):
        self.name = name
''')
expect_text(TypeError, "'int' object is not an instance of 'str'", probe.enum_code, CONSTELLATION,
            enums.Constellation(3))
expect_text(ValueError, "this build has no Constellation.gps", probe.enum_code, CONSTELLATION,
            enums.Constellation("gps"))
expect_text(ValueError, "this build has no Constellation. GPS", probe.enum_code, CONSTELLATION,
            enums.Constellation(" GPS"))
assert probe.enum_code(CONSTELLATION, enums.Constellation("GALILEO")) == 2
)py"));
}

TEST(EnumBridge, InterruptsWhileReadingPropagateAsTheyAre) {
  EXPECT_TRUE(run_enum(R"py(
enums = install_enums('''
class Probing(type):
    raise_in_check = None
    def __instancecheck__(cls, obj):
        if cls.raise_in_check is not None:
            raise cls.raise_in_check
        return True
class Constellation(metaclass=Probing):
    pass
class Member:
    raise_in_name = None
    @property
    def name(self):
        raise self.raise_in_name
''')
member = enums.Member()
for exc in (KeyboardInterrupt, SystemExit, MemoryError):
    member.raise_in_name = exc("in name")
    e = raises(BaseException, probe.enum_code, CONSTELLATION, member)
    assert type(e) is exc and e.args == ("in name",)
    enums.Probing.raise_in_check = exc("in check")
    e = raises(BaseException, probe.enum_code, CONSTELLATION, member)
    assert type(e) is exc and e.args == ("in check",)
    enums.Probing.raise_in_check = None
)py"));
}

TEST(EnumBridge, PackageCodeMayUseTheBridgeWhileTheEnumModuleImports) {
  // The enum module calls back into the bridge during its own first import:
  // the thread that is looking the class up must not wait for itself.
  EXPECT_TRUE(run_enum(R"py(
import os, tempfile
folder = tempfile.mkdtemp()
os.mkdir(os.path.join(folder, "quillrun_sdk"))
with open(os.path.join(folder, "quillrun_sdk", "enums.py"), "w") as f:
    f.write(
        "import enum\n"
        "class MarkerIcon(enum.IntEnum):\n"
        "    PIN = 0\n"
        "import _frame_probe\n"
        "ICON_AT_IMPORT = _frame_probe.enum_member(1, 0)\n")
sys.modules["quillrun_sdk"].__path__.insert(0, os.path.join(folder, "quillrun_sdk"))
icon = probe.enum_member(MARKER_ICON, 0)
import quillrun_sdk.enums as enums
assert icon is enums.MarkerIcon.PIN and enums.ICON_AT_IMPORT is icon
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
