// The binding frame, driven from Python through `_frame_probe`.

#include <gtest/gtest.h>

#include "embedded_python.hpp"

namespace quillrun::py::testing {
namespace {

TEST(TypeObjects, PresentThemselvesAsBuiltins) {
  EXPECT_TRUE(run(R"py(
for cls, name in ((Probe, "Probe"), (ProbeSeq, "ProbeSeq")):
    assert cls.__module__ == "builtins" and cls.__name__ == name and cls.__qualname__ == name
    assert cls.__base__ is object
assert Probe.__text_signature__ == "(text, *, fail=None)"
assert Probe.__doc__ == "A test class with a constructor."
assert ProbeSeq.__doc__ is None
)py"));
}

TEST(TypeObjects, RefuseSubclassesInstantiationAndInstanceAttributes) {
  EXPECT_TRUE(run(R"py(
import gc, weakref
raises(TypeError, lambda: type("Sub", (Probe,), {}))
assert "ProbeSeq" in str(raises(TypeError, ProbeSeq))  # the interpreter's own refusal
p = Probe("a")
raises(AttributeError, setattr, p, "text", "b")
raises(AttributeError, setattr, p, "other", 1)
assert not hasattr(p, "__dict__")
raises(TypeError, weakref.ref, p)
assert not gc.is_tracked(p)
Probe.extra = 1  # the class object itself stays mutable
assert Probe.extra == 1
)py"));
}

TEST(TypeObjects, SequenceViewsAnswerBothProtocols) {
  EXPECT_TRUE(run(R"py(
s = probe.make_seq(3)
assert len(s) == 3
assert s[2] == 20
assert list(s) == [0, 10, 20]  # iteration through the sequence item slot
expect_text(IndexError, "index out of range", lambda: s[3])
assert ProbeSeq.EMPTY is ProbeSeq.EMPTY and len(ProbeSeq.EMPTY) == 0
assert probe.make_seq(0) == ProbeSeq.EMPTY and probe.make_seq(1) != ProbeSeq.EMPTY
assert ProbeSeq.__hash__ is None
raises(TypeError, hash, s)
)py"));
}

TEST(TypeObjects, HashOfMinusOneIsHandedOutAsMinusTwo) {
  EXPECT_TRUE(run(R"py(
assert hash(Probe("")) == -2
assert hash(Probe("ab")) == 1
)py"));
}

TEST(TypeObjects, FailureToMakeATypeIsReportedWithItsCause) {
  EXPECT_TRUE(run(R"py(
e = expect_text(RuntimeError, "An error occurred while initializing class Bad", probe.bad_type)
assert e.__cause__ is not None
e = expect_text(RuntimeError, "An error occurred while initializing `BadAttr.__dict__`", probe.bad_attr_type)
assert isinstance(e.__cause__, ValueError) and str(e.__cause__) == "no value"
with Unraisables() as seen:
    e = raises(BaseException, probe.bad_object)
assert type(e).__name__ == "PanicException" and str(e) == "failed to create type object for `Bad`"
assert len(seen) == 1 and seen[0].exc_type is RuntimeError
)py"));
}

TEST(Borrow, ExclusiveBorrowRefusesEveryOtherAccess) {
  EXPECT_TRUE(run(R"py(
p = Probe("a")
def inside(s):
    expect_text(RuntimeError, "Already mutably borrowed", getattr, s, "text")
    expect_text(RuntimeError, "Already mutably borrowed", repr, s)
    expect_text(RuntimeError, "Already mutably borrowed", s.call_shared, lambda _: None)
    expect_text(RuntimeError, "Already borrowed", s.call_exclusive, lambda _: None)
    expect_text(RuntimeError, "Already mutably borrowed", probe.take, s)
    return "done"
assert p.call_exclusive(inside) == "done"
assert p.text == "a"  # released on the way out
)py"));
}

TEST(Borrow, SharedBorrowsStackAndRefuseExclusive) {
  EXPECT_TRUE(run(R"py(
p = Probe("a")
def inside(s):
    assert s.text == "a" and repr(s) == "Probe(a)"
    assert s.call_shared(lambda t: t.text) == "a"
    expect_text(RuntimeError, "Already borrowed", s.call_exclusive, lambda _: None)
    return "done"
assert p.call_shared(inside) == "done"
raises(ZeroDivisionError, p.call_exclusive, lambda s: 1 / 0)
raises(ZeroDivisionError, p.call_shared, lambda s: 1 / 0)
assert p.call_exclusive(lambda s: "free again") == "free again"
)py"));
}

TEST(Downcast, NamesTheObjectTypeAndTheClass) {
  EXPECT_TRUE(run(R"py(
e = expect_text(TypeError, "'int' object is not an instance of 'Probe'", probe.take, 1)
assert e.__notes__ == ["while processing 'probe'"]
expect_text(TypeError, "'None' is not an instance of 'Probe'", probe.take, None)
expect_text(TypeError, "'ProbeSeq' object is not an instance of 'Probe'", probe.take, probe.make_seq(1))
assert probe.take(probe=Probe("x")) == "x"
)py"));
}

TEST(Arguments, ParserTexts) {
  EXPECT_TRUE(run(R"py(
expect_text(TypeError, "sig() missing 2 required positional arguments: 'a' and 'b'", probe.sig)
expect_text(TypeError, "sig() missing 1 required positional argument: 'b'", probe.sig, 1, d=0)
expect_text(TypeError, "sig() missing 1 required keyword argument: 'd'", probe.sig, 1, 2)
expect_text(TypeError, "sig() takes from 2 to 3 positional arguments but 4 were given", probe.sig, 1, 2, 3, 4)
expect_text(TypeError, "sig() got some positional-only arguments passed as keyword arguments: 'a'",
            probe.sig, a=1, b=2, d=3)
expect_text(TypeError, "sig() got an unexpected keyword argument 'z'", probe.sig, 1, 2, d=3, z=4)
expect_text(TypeError, "sig() got multiple values for argument 'b'", probe.sig, 1, 2, b=3, d=4)
assert probe.sig(1, 2, d=3) == (1, 2, None, 3, None)
assert probe.sig(1, b=2, c=5, e=4, d=3) == (1, 2, 5, 3, 4)
expect_text(TypeError, "log() missing 3 required positional arguments: 'level', 'target', and 'message'", probe.log)
expect_text(TypeError, "make_seq() takes from 1 to 2 positional arguments but 3 were given", probe.make_seq, 1, 2, 3)
expect_text(TypeError, "Probe.__new__() missing 1 required positional argument: 'text'", Probe)
expect_text(TypeError, "Probe.__new__() takes 1 positional arguments but 2 were given", Probe, "a", "b")
expect_text(TypeError, "Probe.__new__() got an unexpected keyword argument 'txt'", Probe, txt="a")
expect_text(TypeError, "Probe.__new__() got multiple values for argument 'text'", Probe, "a", text="b")
e = expect_text(TypeError, "'int' object is not an instance of 'str'", Probe, 1)
assert e.__notes__ == ["while processing 'text'"]
assert Probe(text="kw").text == "kw"
)py"));
}

TEST(Construction, ObjectWithoutPayloadIsRefusedAndFreedSafely) {
  EXPECT_TRUE(run(R"py(
import gc
before = probe.live_probes()
# Rebinding __new__ reaches object.__new__: zero-filled memory, no payload.
Probe.__new__ = lambda cls: object.__new__(cls)
p = Probe()
text = "'Probe' object is not initialized"
expect_text(TypeError, text, repr, p)
expect_text(TypeError, text, getattr, p, "text")
expect_text(TypeError, text, hash, p)
expect_text(TypeError, text, p.call_exclusive, lambda s: None)
expect_text(TypeError, text, p.call_shared, lambda s: None)
expect_text(TypeError, text, probe.take, p)
del p
del Probe.__new__  # still object.__new__ underneath
q = Probe()
expect_text(TypeError, text, repr, q)
del q
gc.collect()
assert probe.live_probes() == before
)py"));
}

TEST(Construction, EveryPayloadIsDestroyedOnce) {
  EXPECT_TRUE(run(R"py(
before = probe.live_probes()
items = [Probe(str(i)) for i in range(10)]
assert probe.live_probes() == before + 10
del items
assert probe.live_probes() == before
)py"));
}

TEST(InternalFailure, AllocationFailuresAreMemoryErrors) {
  EXPECT_TRUE(run(R"py(
before = probe.live_probes()
raises(MemoryError, Probe, "a", fail="bad_alloc")
raises(MemoryError, Probe, "a", fail="length")
assert probe.live_probes() == before
)py"));
}

TEST(InternalFailure, OtherExceptionsArePanics) {
  EXPECT_TRUE(run(R"py(
import _quillrun_sdk
try:
    Probe("a", fail="runtime")
except Exception:
    raise AssertionError("PanicException must not be an Exception")
except BaseException as e:
    panic = e
cls = type(panic)
assert cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"
assert cls.__qualname__ == "PanicException"
assert cls.__bases__ == (BaseException,)
assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__
assert panic.args == ("probe failure",)
second = raises(BaseException, Probe, "a", fail="int")
assert type(second) is cls  # made once
assert len(second.args) == 1 and second.args[0]
assert not hasattr(_quillrun_sdk, "PanicException") and "PanicException" not in _quillrun_sdk.__all__
)py"));
}

TEST(InternalFailure, AnExceptionLeftPendingBecomesTheContextOfThePanic) {
  EXPECT_TRUE(run(R"py(
panic = raises(BaseException, Probe, "a", fail="pending")
assert type(panic).__name__ == "PanicException"
assert panic.args == ("probe failure after a pending error",)
assert type(panic.__context__) is KeyError and panic.__context__.args == ("left pending",)
)py"));
}

TEST(InternalFailure, DeallocationFailureGoesToTheUnraisableHook) {
  EXPECT_TRUE(run(R"py(
with Unraisables() as seen:
    assert probe.dealloc_failure() is None
assert len(seen) == 1
assert seen[0].exc_type.__name__ == "PanicException" and str(seen[0].exc_value) == "dealloc broke"
with Unraisables() as seen:
    expect_text(ValueError, "kept", probe.dealloc_failure_while_raising)
assert [u.exc_type.__name__ for u in seen] == ["PanicException"]
)py"));
}

TEST(OnceCell, NestedUseOnTheSameThreadRunsAgainAndTheFirstResultWins) {
  EXPECT_TRUE(run(R"py(
calls = []
def outer():
    calls.append("outer")
    assert probe.once_get(0, inner) == "inner"
    return "outer"
def inner():
    calls.append("inner")
    return "inner"
assert probe.once_get(0, outer) == "inner"
assert probe.once_get(0, lambda: "later") == "inner"
assert calls == ["outer", "inner"]
)py"));
}

TEST(OnceCell, FailureLeavesTheCellEmpty) {
  EXPECT_TRUE(run(R"py(
def broken():
    raise KeyError("first")
raises(KeyError, probe.once_get, 1, broken)
assert probe.once_get(1, lambda: "second") == "second"
assert probe.once_get(1, broken) == "second"
)py"));
}

TEST(OnceCell, AnotherThreadWaitsWithoutTheInterpreterLock) {
  EXPECT_TRUE(run(R"py(
import threading
started, release = threading.Event(), threading.Event()
ran = []
def slow():
    ran.append("slow")
    started.set()
    assert release.wait(10)  # gives up the interpreter lock
    return "slow"
def fast():
    ran.append("fast")
    return "fast"
results = {}
t1 = threading.Thread(target=lambda: results.__setitem__("t1", probe.once_get(2, slow)))
t1.start()
assert started.wait(10)
t2 = threading.Thread(target=lambda: results.__setitem__("t2", probe.once_get(2, fast)))
t2.start()
t2.join(0.2)
assert t2.is_alive()  # waiting, and the main thread still runs: no lock held by the waiter
release.set()
t1.join(10); t2.join(10)
assert results == {"t1": "slow", "t2": "slow"} and ran == ["slow"]
)py"));
}

// In the child of a fork, a cell that another thread of the parent was
// filling, with a third thread waiting for it, is filled by the child's own
// initialiser; the parent's threads finish as they would have.
TEST(OnceCell, AForkChildFillsACellThatAnotherThreadWasFilling) {
  EXPECT_TRUE(run(R"py(
import os, signal, threading, warnings
started, release = threading.Event(), threading.Event()
def slow():
    started.set()
    assert release.wait(10)
    return "parent"
results = {}
t1 = threading.Thread(target=lambda: results.__setitem__("t1", probe.once_get(3, slow)))
t1.start()
assert started.wait(10)
t2 = threading.Thread(target=lambda: results.__setitem__("t2", probe.once_get(3, lambda: "other")))
t2.start()
t2.join(0.2)
assert t2.is_alive()
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
    pid = os.fork()
if pid == 0:
    signal.alarm(10)  # a hang ends the child
    os._exit(0 if probe.once_get(3, lambda: "child") == "child" else 1)
status = os.waitpid(pid, 0)[1]
release.set()
t1.join(10); t2.join(10)
assert os.waitstatus_to_exitcode(status) == 0, status
assert results == {"t1": "parent", "t2": "parent"}
)py"));
}

TEST(CoreErrors, IoErrorIsAPlainOsErrorAndTheRestValueErrors) {
  EXPECT_TRUE(run(R"py(
e = expect_text(OSError, "I/O error: No such file or directory (os error 2)", probe.core_error, "io")
assert type(e) is OSError and e.errno is None and e.strerror is None and len(e.args) == 1
e = expect_text(ValueError, 'unsupported QuillRun file version: "3"', probe.core_error, "version")
assert type(e) is ValueError
expect_text(ValueError, "attempted to set a logger after the logging system was already initialized",
            probe.core_error, "sink")
)py"));
}

}  // namespace
}  // namespace quillrun::py::testing
