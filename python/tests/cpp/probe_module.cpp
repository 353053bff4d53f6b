// `_frame_probe`: test classes and functions built on the binding frame the
// same way the module's own classes are, to reach the frame's rules (borrow
// refusals, downcasts, construction bypasses, internal failures, the logging
// bridge, the enum bridge, once-made objects) without the real classes.

#include <Python.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "runtime/args.hpp"
#include "bridge/enum_bridge.hpp"
#include "bridge/error_mapping.hpp"
#include "runtime/frame.hpp"
#include "runtime/once.hpp"
#include "quillrun/log.hpp"
#include "quillrun/sdk_error.hpp"
#include "runtime/types.hpp"

namespace quillrun::py::probe {
namespace {

std::atomic<long> g_live_probes{0};

// Counts its live copies, so tests can tell that each payload is destroyed
// exactly once and an unconstructed one never.
struct ProbePayload {
  std::string text;
  explicit ProbePayload(std::string t) : text(std::move(t)) { ++g_live_probes; }
  ProbePayload(ProbePayload&& other) noexcept : text(std::move(other.text)) { ++g_live_probes; }
  ProbePayload(const ProbePayload&) = delete;
  ProbePayload& operator=(const ProbePayload&) = delete;
  ProbePayload& operator=(ProbePayload&&) = delete;
  ~ProbePayload() { --g_live_probes; }
};

struct SeqPayload {
  Py_ssize_t length;
  long step;
};

extern Class<ProbePayload> g_probe;
extern Class<SeqPayload> g_seq;

PyResult<Ref> str_object(std::string_view text) {
  return own(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ------------------------------------------------------------------ Probe

constexpr Param kProbeParams[] = {{"text"}, {"fail", ParamKind::KeywordOnly, false}};
constexpr Signature kProbeNew{"Probe.__new__()", kProbeParams};

PyResult<Ref> probe_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* values[2];
  QR_TRY(parse_tuple_dict(kProbeNew, args, kwargs, values));
  QR_ASSIGN_OR_RETURN(std::string_view text, for_param("text", to_str(values[0])));
  if (values[1] != nullptr && values[1] != Py_None) {
    QR_ASSIGN_OR_RETURN(std::string_view how, for_param("fail", to_str(values[1])));
    if (how == "bad_alloc") throw std::bad_alloc();
    if (how == "length") throw std::length_error("vector too long");
    if (how == "runtime") throw std::runtime_error("probe failure");
    if (how == "int") throw 42;
    if (how == "pending") {
      PyErr_SetString(PyExc_KeyError, "left pending");
      throw std::runtime_error("probe failure after a pending error");
    }
  }
  return g_probe.new_object(ProbePayload(std::string(text)));
}

PyResult<Ref> probe_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto probe, g_probe.shared(self));
  return str_object("Probe(" + probe->text + ")");
}

PyResult<Py_ssize_t> probe_hash(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto probe, g_probe.shared(self));
  return static_cast<Py_ssize_t>(probe->text.size()) - 1;
}

PyResult<Ref> probe_text(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto probe, g_probe.shared(self));
  return str_object(probe->text);
}

constexpr Param kFnParam[] = {{"fn"}};
constexpr Signature kCallExclusive{"Probe.call_exclusive()", kFnParam};
constexpr Signature kCallShared{"Probe.call_shared()", kFnParam};

PyResult<Ref> probe_call_exclusive(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* fn[1];
  QR_TRY(parse_fastcall(kCallExclusive, args, nargs, kwnames, fn));
  QR_ASSIGN_OR_RETURN(auto probe, g_probe.exclusive(self));
  return own(PyObject_CallFunctionObjArgs(fn[0], self, nullptr));
}

PyResult<Ref> probe_call_shared(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* fn[1];
  QR_TRY(parse_fastcall(kCallShared, args, nargs, kwnames, fn));
  QR_ASSIGN_OR_RETURN(auto probe, g_probe.shared(self));
  return own(PyObject_CallFunctionObjArgs(fn[0], self, nullptr));
}

const PyType_Slot kProbeSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<probe_new>)},
    {Py_tp_repr, as_slot(&unary_entry<probe_repr>)},
    {Py_tp_hash, as_slot(&hash_entry<probe_hash>)},
};
PyMethodDef g_probe_methods[] = {
    {"call_exclusive", as_cfunction(&fastcall_entry<probe_call_exclusive>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"call_shared", as_cfunction(&fastcall_entry<probe_call_shared>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef g_probe_getters[] = {
    {"text", &getter_entry<probe_text>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
const ClassSpec kProbeSpec{
    .qualified_name = "builtins.Probe",
    .doc = "Probe(text, *, fail=None)\n--\n\nA test class with a constructor.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kProbeSlots,
    .methods = g_probe_methods,
    .getters = g_probe_getters,
};
Class<ProbePayload> g_probe{kProbeSpec};

// ------------------------------------------------------------------ ProbeSeq

PyResult<Py_ssize_t> seq_len(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto seq, g_seq.shared(self));
  return seq->length;
}

PyResult<Ref> seq_getitem(PyObject* self, PyObject* key) {
  QR_ASSIGN_OR_RETURN(auto seq, g_seq.shared(self));
  const Py_ssize_t index = PyLong_AsSsize_t(key);
  if (index == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  if (index < 0 || index >= seq->length) return fail(PyError::new_error(PyExc_IndexError, "index out of range"));
  return own(PyLong_FromLong(static_cast<long>(index) * seq->step));
}

PyResult<Ref> seq_compare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !g_seq.check_instance(other)) return Ref::borrow(Py_NotImplemented);
  QR_ASSIGN_OR_RETURN(auto left, g_seq.shared(self));
  QR_ASSIGN_OR_RETURN(auto right, g_seq.shared(other));
  const bool equal = left->length == right->length && left->step == right->step;
  return Ref::borrow(equal == (op == Py_EQ) ? Py_True : Py_False);
}

PyResult<Ref> seq_empty(PyTypeObject* type) { return Class<SeqPayload>::new_object_of(type, SeqPayload{0, 10}); }

const PyType_Slot kSeqSlots[] = {
    {Py_mp_length, as_slot(&size_entry<seq_len>)},
    {Py_mp_subscript, as_slot(&binary_entry<seq_getitem>)},
    {Py_tp_richcompare, as_slot(&compare_entry<seq_compare>)},
};
const ClassAttribute kSeqAttributes[] = {{"EMPTY", &seq_empty}};
const ClassSpec kSeqSpec{
    .qualified_name = "builtins.ProbeSeq",
    .doc = "",
    .has_constructor = false,
    .is_sequence = true,
    .slots = kSeqSlots,
    .class_attributes = kSeqAttributes,
};
Class<SeqPayload> g_seq{kSeqSpec};

// ------------------------------------------------------------------ classes that cannot be made

struct Empty {};

// An unknown slot id: PyType_FromSpec refuses it.
const PyType_Slot kBadSlots[] = {{1000, nullptr}};
const ClassSpec kBadSpec{
    .qualified_name = "builtins.Bad", .doc = "", .has_constructor = false, .is_sequence = false, .slots = kBadSlots};
Class<Empty> g_bad{kBadSpec};

PyResult<Ref> failing_attribute(PyTypeObject*) { return fail(PyError::value_error("no value")); }
const ClassAttribute kBadAttributes[] = {{"BROKEN", &failing_attribute}};
const ClassSpec kBadAttrSpec{.qualified_name = "builtins.BadAttr",
                             .doc = "",
                             .has_constructor = false,
                             .is_sequence = false,
                             .slots = {},
                             .class_attributes = kBadAttributes};
Class<Empty> g_bad_attr{kBadAttrSpec};

// ------------------------------------------------------------------ functions

constexpr Param kProbeParam[] = {{"probe"}};
constexpr Signature kTake{"take()", kProbeParam};

PyResult<Ref> take(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* value[1];
  QR_TRY(parse_fastcall(kTake, args, nargs, kwnames, value));
  QR_ASSIGN_OR_RETURN(auto probe, for_param("probe", g_probe.shared_arg(value[0])));
  return str_object(probe->text);
}

constexpr Param kSeqParams[] = {{"length"}, {"step", ParamKind::PositionalOrKeyword, false}};
constexpr Signature kMakeSeq{"make_seq()", kSeqParams};

PyResult<Ref> make_seq(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  QR_TRY(parse_fastcall(kMakeSeq, args, nargs, kwnames, values));
  const Py_ssize_t length = PyLong_AsSsize_t(values[0]);
  if (length == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  long step = 10;
  if (values[1] != nullptr) {
    step = PyLong_AsLong(values[1]);
    if (step == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  }
  return g_seq.new_object(SeqPayload{length, step});
}

// sig(a, /, b, c=None, *, d, e=None): every parameter kind at once.
constexpr Param kSigParams[] = {
    {"a", ParamKind::PositionalOnly},
    {"b"},
    {"c", ParamKind::PositionalOrKeyword, false},
    {"d", ParamKind::KeywordOnly},
    {"e", ParamKind::KeywordOnly, false},
};
constexpr Signature kSig{"sig()", kSigParams};

PyResult<Ref> sig(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[5];
  QR_TRY(parse_fastcall(kSig, args, nargs, kwnames, values));
  QR_ASSIGN_OR_RETURN(Ref tuple, own(PyTuple_New(5)));
  for (Py_ssize_t i = 0; i < 5; ++i) {
    PyObject* value = values[i] != nullptr ? values[i] : Py_None;
    Py_INCREF(value);
    PyTuple_SetItem(tuple.get(), i, value);
  }
  return tuple;
}

constexpr Param kLogParams[] = {{"level"}, {"target"}, {"message"}};
constexpr Signature kLog{"log()", kLogParams};

// Logs through the core's facade; returns the record's source line.
PyResult<Ref> log_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[3];
  QR_TRY(parse_fastcall(kLog, args, nargs, kwnames, values));
  const long level = PyLong_AsLong(values[0]);
  if (level == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  QR_ASSIGN_OR_RETURN(std::string_view target, to_str(values[1]));
  QR_ASSIGN_OR_RETURN(std::string_view message, to_str(values[2]));
  const auto log_level = static_cast<log::Level>(level);
  const long line = __LINE__; QR_LOG(log_level, target, std::string(message));  // NOLINT: one line on purpose
  return own(PyLong_FromLong(line));
}

// Logs while an exception is pending, then hands that exception back: the
// bridge must leave it as it was.
constexpr Param kMessageParam[] = {{"message"}};
constexpr Signature kLogWhileRaising{"log_while_raising()", kMessageParam};

PyResult<Ref> log_while_raising(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  QR_TRY(parse_fastcall(kLogWhileRaising, args, nargs, kwnames, values));
  QR_ASSIGN_OR_RETURN(std::string_view message, to_str(values[0]));
  PyErr_SetString(PyExc_ValueError, "kept");
  QR_WARN(log::targets::builder, std::string(message));
  return fail(PyError::fetch());
}

constexpr Param kEnumCodeParams[] = {{"kind"}, {"member"}};
constexpr Signature kEnumCode{"enum_code()", kEnumCodeParams};

PyResult<Ref> enum_code(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  QR_TRY(parse_fastcall(kEnumCode, args, nargs, kwnames, values));
  const long kind = PyLong_AsLong(values[0]);
  if (kind == -1 && PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  QR_ASSIGN_OR_RETURN(std::uint8_t code, enum_member_code(static_cast<EnumKind>(kind), values[1]));
  return own(PyLong_FromLong(code));
}

constexpr Param kEnumMemberParams[] = {{"kind"}, {"code"}};
constexpr Signature kEnumMember{"enum_member()", kEnumMemberParams};

PyResult<Ref> enum_member_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[2];
  QR_TRY(parse_fastcall(kEnumMember, args, nargs, kwnames, values));
  const long kind = PyLong_AsLong(values[0]);
  const long code = PyLong_AsLong(values[1]);
  if (PyErr_Occurred() != nullptr) return fail(PyError::fetch());
  return enum_member(static_cast<EnumKind>(kind), static_cast<std::uint8_t>(code));
}

constexpr Param kWhichParam[] = {{"which"}};
constexpr Signature kSdkError{"core_error()", kWhichParam};

PyResult<Ref> core_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  QR_TRY(parse_fastcall(kSdkError, args, nargs, kwnames, values));
  QR_ASSIGN_OR_RETURN(std::string_view which, to_str(values[0]));
  if (which == "io") {
    return fail(error_to_exception(SdkError{sdk_error::Io{"No such file or directory (os error 2)"}}));
  }
  if (which == "version") return fail(error_to_exception(SdkError{sdk_error::UnsupportedVersion{"3"}}));
  return fail(error_to_exception(log::SetSinkError{}));
}

PyResult<Ref> dealloc_failure(PyObject*) {
  frame_detail::dealloc_frame(nullptr, [] { throw std::runtime_error("dealloc broke"); });
  return Ref::borrow(Py_None);
}

// The same while an exception propagates: that exception stays the outcome.
PyResult<Ref> dealloc_failure_while_raising(PyObject*) {
  PyErr_SetString(PyExc_ValueError, "kept");
  frame_detail::dealloc_frame(nullptr, [] { throw std::runtime_error("dealloc broke"); });
  return fail(PyError::fetch());
}

constexpr Param kOnceParams[] = {{"slot"}, {"fn"}};
constexpr Signature kOnceGet{"once_get()", kOnceParams};

// One of a few independent cells, filled by calling fn().
PyResult<Ref> once_get(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static OnceCell cells[4];
  PyObject* values[2];
  QR_TRY(parse_fastcall(kOnceGet, args, nargs, kwnames, values));
  const long slot = PyLong_AsLong(values[0]);
  if (slot < 0 || slot >= 4) return fail(PyError::value_error("slot out of range"));
  PyObject* fn = values[1];
  QR_ASSIGN_OR_RETURN(PyObject * held,
                      cells[slot].get_or_init([fn] { return own(PyObject_CallNoArgs(fn)); }));
  return Ref::borrow(held);
}

PyResult<Ref> live_probes(PyObject*) { return own(PyLong_FromLong(g_live_probes.load())); }

PyResult<Ref> bad_type(PyObject*) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, g_bad.type());
  return Ref::borrow(reinterpret_cast<PyObject*>(type));
}

PyResult<Ref> bad_object(PyObject*) { return g_bad.new_object(Empty{}); }

PyResult<Ref> bad_attr_type(PyObject*) {
  QR_ASSIGN_OR_RETURN(PyTypeObject * type, g_bad_attr.type());
  return Ref::borrow(reinterpret_cast<PyObject*>(type));
}

constexpr int kParams = METH_FASTCALL | METH_KEYWORDS;
PyMethodDef g_functions[] = {
    {"take", as_cfunction(&fastcall_entry<take>), kParams, nullptr},
    {"make_seq", as_cfunction(&fastcall_entry<make_seq>), kParams, nullptr},
    {"sig", as_cfunction(&fastcall_entry<sig>), kParams, nullptr},
    {"log", as_cfunction(&fastcall_entry<log_record>), kParams, nullptr},
    {"log_while_raising", as_cfunction(&fastcall_entry<log_while_raising>), kParams, nullptr},
    {"enum_code", as_cfunction(&fastcall_entry<enum_code>), kParams, nullptr},
    {"enum_member", as_cfunction(&fastcall_entry<enum_member_of>), kParams, nullptr},
    {"core_error", as_cfunction(&fastcall_entry<core_error>), kParams, nullptr},
    {"dealloc_failure", as_cfunction(&noargs_entry<dealloc_failure>), METH_NOARGS, nullptr},
    {"dealloc_failure_while_raising", as_cfunction(&noargs_entry<dealloc_failure_while_raising>), METH_NOARGS,
     nullptr},
    {"once_get", as_cfunction(&fastcall_entry<once_get>), kParams, nullptr},
    {"live_probes", as_cfunction(&noargs_entry<live_probes>), METH_NOARGS, nullptr},
    {"bad_type", as_cfunction(&noargs_entry<bad_type>), METH_NOARGS, nullptr},
    {"bad_object", as_cfunction(&noargs_entry<bad_object>), METH_NOARGS, nullptr},
    {"bad_attr_type", as_cfunction(&noargs_entry<bad_attr_type>), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "_frame_probe", nullptr, -1, g_functions, nullptr, nullptr, nullptr, nullptr,
};

PyStatus add_types(PyObject* module) {
  for (ClassBase* cls : {static_cast<ClassBase*>(&g_probe), static_cast<ClassBase*>(&g_seq)}) {
    QR_ASSIGN_OR_RETURN(PyTypeObject * type, cls->type());
    const std::string name(cls->name());
    QR_TRY(check(PyModule_AddObjectRef(module, name.c_str(), reinterpret_cast<PyObject*>(type))));
  }
  return {};
}

}  // namespace
}  // namespace quillrun::py::probe

extern "C" PyObject* PyInit__frame_probe() {
  using namespace quillrun::py;
  PyObject* module = PyModule_Create(&probe::g_module);
  if (module == nullptr) return nullptr;
  if (exec_entry<probe::add_types>(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
