#pragma once
// An interpreter embedded in the test process, with the extension module
// built in as `_quillrun_sdk` and the package's own modules importable
// (`quillrun_sdk.enums`, ...). ctest runs every test in a process of its own,
// so each starts from a fresh interpreter and fresh once-made objects.

#include <string>

namespace quillrun::py::testing {

// Runs `code` as a module body; a failure prints the traceback and returns
// false.
bool run_python(const char* code);

// Helpers shared by the test snippets: the probe module and checks of
// exceptions and of sys.unraisablehook.
inline constexpr const char* kPrelude = R"py(
import _frame_probe as probe
from _frame_probe import Probe, ProbeSeq

def raises(exc_type, fn, /, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type as e:
        return e
    raise AssertionError(f"{fn} did not raise {exc_type.__name__}")

def expect_text(exc_type, text, fn, /, *args, **kwargs):
    e = raises(exc_type, fn, *args, **kwargs)
    assert str(e) == text, repr(str(e))
    return e

class Unraisables:
    def __enter__(self):
        import sys
        self.seen = []
        self.old = sys.unraisablehook
        sys.unraisablehook = self.seen.append
        return self.seen
    def __exit__(self, *exc):
        import sys
        sys.unraisablehook = self.old
)py";

// Runs `body` after the helpers above.
inline bool run(const char* body) { return run_python((std::string(kPrelude) + body).c_str()); }

}  // namespace quillrun::py::testing
