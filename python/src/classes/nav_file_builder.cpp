// NavFileBuilder: settings first, then items, then finish() once. The state
// moves configuring -> adding -> consumed and never back.

#include <Python.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "runtime/frame.hpp"
#include "runtime/gil.hpp"
#include "classes/nav_file.hpp"
#include "runtime/once.hpp"
#include "quillrun/assembly.hpp"
#include "quillrun/record_rules.hpp"
#include "bridge/time_convert.hpp"
#include "runtime/types.hpp"

namespace quillrun::py {
namespace {

// What the configuring state holds; becomes the core builder on the first
// item (or in finish() when no item came).
struct BuilderSettings {
  std::optional<Meta> meta;
  SatelliteWindow satellite_window;
  bool lenient = false;
};

struct Consumed {};

using BuilderState = std::variant<BuilderSettings, CoreBuilder, Consumed>;

extern Class<BuilderState> g_nav_file_builder;

constexpr std::string_view kConsumed = "builder already consumed by finish()";

// Every method but finish() reports a conflicting borrow as an internal
// failure, not as the RuntimeError the other classes raise.
PyResult<Exclusive<BuilderState>> borrow_builder(PyObject* self) {
  PyResult<Exclusive<BuilderState>> state = Class<BuilderState>::exclusive(self);
  if (!state && state.error().matches(PyExc_RuntimeError)) {
    return fail(PyError::panic("Already borrowed: PyBorrowMutError"));
  }
  return state;
}

// The settings of a configuring builder; `method` names the refusal of an
// adding one.
PyResult<BuilderSettings*> configuring(BuilderState& state, std::string_view method) {
  if (auto* settings = std::get_if<BuilderSettings>(&state)) return settings;
  if (std::holds_alternative<CoreBuilder>(state)) {
    std::string text(method);
    text += "() must be called before adding data";
    return fail(PyError::runtime_error(text));
  }
  return fail(PyError::runtime_error(kConsumed));
}

CoreBuilder core_from(BuilderSettings&& settings) {
  CoreBuilder core;
  core.meta = std::move(settings.meta);
  core.satellite_window = settings.satellite_window;
  core.lenient = settings.lenient;
  return core;
}

// The state step of add() and add_event_marker_style().
PyResult<CoreBuilder*> start_adding(BuilderState& state) {
  if (auto* settings = std::get_if<BuilderSettings>(&state)) state = core_from(std::move(*settings));
  if (auto* core = std::get_if<CoreBuilder>(&state)) return core;
  return fail(PyError::runtime_error(kConsumed));
}

// --- NavFileBuilder()

constexpr Signature kNew{"NavFileBuilder.__new__()", {}};

PyResult<Ref> builder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  QR_TRY(parse_tuple_dict(kNew, args, kwargs, {}));
  return g_nav_file_builder.new_object(BuilderState{BuilderSettings{}});
}

// --- with_meta(meta)

constexpr Param kMetaParam[] = {{"meta"}};
constexpr Signature kWithMeta{"NavFileBuilder.with_meta()", kMetaParam};
constexpr const char* kWithMetaDoc =
    "with_meta($self, meta)\n--\n\n"
    "Attach file-level metadata.\n\n"
    "Must be called before any `add()` call. Returns self for chaining.";

PyResult<Ref> with_meta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(Shared<Meta> meta, one_argument<Shared<Meta>>(kWithMeta, args, nargs, kwnames, [](PyObject* o) {
                        return g_meta.shared_arg(o);
                      }));
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(BuilderSettings * settings, configuring(*state, "with_meta"));
  // The whole record, provenance fields included; finish() overwrites those.
  settings->meta = *meta;
  return Ref::borrow(self);
}

// --- with_title(title), with_device(device), with_notes(notes)

PyResult<Ref> set_meta_text(PyObject* self, const Signature& signature, std::string_view method, MetaField field,
                            std::optional<std::string> Meta::*member, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(std::string_view text,
                      one_argument<std::string_view>(signature, args, nargs, kwnames, [](PyObject* o) {
                        return to_str(o);
                      }));
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(BuilderSettings * settings, configuring(*state, method));
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return fail(PyError::value_error(MetaError{meta_error::NulByte{field, nul}}.message()));
  }
  if (!settings->meta) settings->meta.emplace();
  // An empty text is kept as an empty text, not as absent.
  (*settings->meta).*member = std::string(text);
  return Ref::borrow(self);
}

constexpr Param kTitleParam[] = {{"title"}};
constexpr Signature kWithTitle{"NavFileBuilder.with_title()", kTitleParam};
constexpr const char* kWithTitleDoc =
    "with_title($self, title)\n--\n\n"
    "Set the file title. Must be called before any `add()` call.\n\n"
    "Raises `ValueError` if `title` contains a nul byte.";

PyResult<Ref> with_title(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_meta_text(self, kWithTitle, "with_title", MetaField::Title, &Meta::title, args, nargs, kwnames);
}

constexpr Param kDeviceParam[] = {{"device"}};
constexpr Signature kWithDevice{"NavFileBuilder.with_device()", kDeviceParam};
constexpr const char* kWithDeviceDoc =
    "with_device($self, device)\n--\n\n"
    "Set the device or sensor name. Must be called before any `add()` call.\n\n"
    "Raises `ValueError` if `device` contains a nul byte.";

PyResult<Ref> with_device(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_meta_text(self, kWithDevice, "with_device", MetaField::Device, &Meta::device, args, nargs, kwnames);
}

constexpr Param kNotesParam[] = {{"notes"}};
constexpr Signature kWithNotes{"NavFileBuilder.with_notes()", kNotesParam};
constexpr const char* kWithNotesDoc =
    "with_notes($self, notes)\n--\n\n"
    "Set free-text notes. Must be called before any `add()` call.\n\n"
    "Raises `ValueError` if `notes` contains a nul byte.";

PyResult<Ref> with_notes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_meta_text(self, kWithNotes, "with_notes", MetaField::Notes, &Meta::notes, args, nargs, kwnames);
}

// --- with_lenient_errors()

constexpr const char* kWithLenientErrorsDoc =
    "with_lenient_errors($self)\n--\n\n"
    "Clamp an annotation outside the nav fix time range to the nearest fix.\n\n"
    "Without it, `finish()` raises `ValueError` for such an annotation.\n"
    "Must be called before any `add()` call. Returns self for chaining.";

PyResult<Ref> with_lenient_errors(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(BuilderSettings * settings, configuring(*state, "with_lenient_errors"));
  settings->lenient = true;
  return Ref::borrow(self);
}

// --- with_satellite_window(window)

// A timedelta as signed whole seconds and nanoseconds in [0, 1e9). A real
// timedelta stays far inside 64 bits; the saturation only guards subclasses
// whose attributes report something a timedelta cannot hold.
struct SignedWindow {
  std::int64_t secs;
  std::uint32_t nanos;
};

std::int64_t saturating_add(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

std::int64_t saturating_mul(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t product = 0;
  if (!__builtin_mul_overflow(a, b, &product)) return product;
  return (a < 0) != (b < 0) ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

PyResult<SignedWindow> window_from_timedelta(PyObject* object) {
  static Interned days_name("days");
  static Interned seconds_name("seconds");
  static Interned microseconds_name("microseconds");
  QR_ASSIGN_OR_RETURN(PyObject * type, timedelta_type());
  const int is_instance = PyObject_IsInstance(object, type);
  if (is_instance < 0) return fail(PyError::fetch());
  if (is_instance == 0) return fail(not_an_instance(object, "timedelta"));
  QR_ASSIGN_OR_RETURN(std::int64_t days, int_attribute(object, days_name));
  QR_ASSIGN_OR_RETURN(std::int64_t seconds, int_attribute(object, seconds_name));
  QR_ASSIGN_OR_RETURN(std::int64_t micros, int_attribute(object, microseconds_name));
  // Floor division keeps the sub-second part in [0, 1e6).
  std::int64_t carry = micros / 1'000'000;
  micros %= 1'000'000;
  if (micros < 0) {
    micros += 1'000'000;
    --carry;
  }
  const std::int64_t secs = saturating_add(saturating_add(saturating_mul(days, 86'400), seconds), carry);
  return SignedWindow{secs, static_cast<std::uint32_t>(micros * 1'000)};
}

constexpr Param kWindowParam[] = {{"window"}};
constexpr Signature kWithSatelliteWindow{"NavFileBuilder.with_satellite_window()", kWindowParam};
constexpr const char* kWithSatelliteWindowDoc =
    "with_satellite_window($self, window)\n--\n\n"
    "Set how far a satellite report may be from a nav fix to be associated\n"
    "with it. The default is 500 ms.\n\n"
    "Must be called before any `add()` call. Returns self for chaining.\n"
    "Raises `ValueError` if `window` is negative.";

PyResult<Ref> with_satellite_window(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(SignedWindow window, one_argument<SignedWindow>(kWithSatelliteWindow, args, nargs, kwnames,
                                                                        window_from_timedelta));
  // Before the state tests: a negative window is refused in every state.
  if (window.secs < 0) return fail(PyError::value_error("the satellite window must be zero or longer"));
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(BuilderSettings * settings, configuring(*state, "with_satellite_window"));
  settings->satellite_window = SatelliteWindow{static_cast<std::uint64_t>(window.secs), window.nanos};
  return Ref::borrow(self);
}

// --- add(item)

// The item classes in the order they are tried, with the variant names of
// the conversion's error text.
enum class AddItem : std::uint8_t { Fix, Report, Annotation, EventMarker, Channel };

struct AddVariant {
  AddItem item;
  const char* name;
  ClassBase* cls;
};

PyResult<AddItem> add_item_of(PyObject* object) {
  const AddVariant variants[] = {
      {AddItem::Fix, "Fix", &g_nav_fix},
      {AddItem::Report, "Report", &g_satellite_report},
      {AddItem::Annotation, "Annotation", &g_annotation},
      {AddItem::EventMarker, "EventMarker", &g_event_marker},
      {AddItem::Channel, "Channel", &g_channel},
  };
  std::string text = "failed to extract enum AddItem ('Fix | Report | Annotation | EventMarker | Channel')";
  for (const AddVariant& variant : variants) {
    PyStatus is_instance = variant.cls->check_instance(object);
    if (is_instance) return variant.item;
    // A type object that cannot be made is an internal failure, not a
    // reason why this item does not fit.
    if (!is_instance.error().matches(PyExc_TypeError)) return fail(std::move(is_instance).error());
    text += "\n- variant ";
    text += variant.name;
    text += " (";
    text += variant.name;
    text += "): failed to extract field AddItem::";
    text += variant.name;
    text += ".0, caused by ";
    text += describe(is_instance.error());
  }
  return fail(PyError::type_error(text));
}

template <class P>
PyResult<P> copy_of(Class<P>& cls, PyObject* object) {
  QR_ASSIGN_OR_RETURN(auto item, cls.shared_arg(object));
  return P(*item);
}

constexpr Param kItemParam[] = {{"item"}};
constexpr Signature kAdd{"NavFileBuilder.add()", kItemParam};
constexpr const char* kAddDoc =
    "add($self, item)\n--\n\n"
    "Add a nav fix, satellite report, annotation, event marker, or channel to\n"
    "the file.\n\n"
    "Returns self to allow chaining::\n\n"
    "    builder.add(fix).add(report).add(annotation)";

PyResult<Ref> add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* value[1];
  QR_TRY(parse_fastcall(kAdd, args, nargs, kwnames, value));
  PyObject* item = value[0];
  QR_ASSIGN_OR_RETURN(AddItem kind, for_param("item", add_item_of(item)));
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(CoreBuilder * core, start_adding(*state));
  // The records were checked when they were made: they are copied as they are.
  switch (kind) {
    case AddItem::Fix: {
      QR_ASSIGN_OR_RETURN(NavFix fix, copy_of(g_nav_fix, item));
      core->fixes.push_back(std::move(fix));
      break;
    }
    case AddItem::Report: {
      QR_ASSIGN_OR_RETURN(SatelliteReport report, copy_of(g_satellite_report, item));
      core->reports.push_back(std::move(report));
      break;
    }
    case AddItem::Annotation: {
      QR_ASSIGN_OR_RETURN(Annotation annotation, copy_of(g_annotation, item));
      core->annotations.push_back(std::move(annotation));
      break;
    }
    case AddItem::EventMarker: {
      QR_ASSIGN_OR_RETURN(auto marker, g_event_marker.shared_arg(item));
      // A skipped marker is dropped here, yet it has ended configuring.
      if (marker->variant_path) core->event_markers.push_back(*marker);
      break;
    }
    case AddItem::Channel: {
      QR_ASSIGN_OR_RETURN(Channel channel, copy_of(g_channel, item));
      core->channels.push_back(std::move(channel));
      break;
    }
  }
  return Ref::borrow(self);
}

// --- add_event_marker_style(style)

constexpr Param kStyleParam[] = {{"style"}};
constexpr Signature kAddEventMarkerStyle{"NavFileBuilder.add_event_marker_style()", kStyleParam};
constexpr const char* kAddEventMarkerStyleDoc =
    "add_event_marker_style($self, style)\n--\n\n"
    "Add a per-variant style override to the file.\n\n"
    "Returns self for chaining. There is one style per variant path: the last\n"
    "call for a path wins, and the file lists the styles in variant path\n"
    "order. A style taken from the `event_marker_styles` of a `NavFile` is\n"
    "written back verbatim, a colour outside the #RRGGBB form included.";

PyResult<Ref> add_event_marker_style(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  QR_ASSIGN_OR_RETURN(auto style, one_argument<Shared<EventMarkerStyle>>(
                                      kAddEventMarkerStyle, args, nargs, kwnames,
                                      [](PyObject* o) { return g_event_marker_style.shared_arg(o); }));
  QR_ASSIGN_OR_RETURN(auto state, borrow_builder(self));
  QR_ASSIGN_OR_RETURN(CoreBuilder * core, start_adding(*state));
  // Not checked again: a style read from a file keeps what this build
  // does not know.
  core->add_style(*style);
  return Ref::borrow(self);
}

// --- finish()

constexpr const char* kFinishDoc =
    "finish($self)\n--\n\n"
    "Process all data and return a `NavFile`.\n\n"
    "Consumes the builder: calling `finish()` again raises `RuntimeError`.";

PyResult<Ref> finish_builder(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto state, Class<BuilderState>::exclusive(self));
  // Consumed from here on, whatever the assembly returns.
  BuilderState taken = std::exchange(*state, BuilderState{Consumed{}});
  CoreBuilder core;
  if (auto* settings = std::get_if<BuilderSettings>(&taken)) {
    core = core_from(std::move(*settings));
  } else if (auto* adding = std::get_if<CoreBuilder>(&taken)) {
    core = std::move(*adding);
  } else {
    return fail(PyError::runtime_error(kConsumed));
  }
  // The assembly's records reach logging while the builder stays borrowed:
  // a handler that calls back into this builder meets the borrow.
  Result<NavFileData, BuildError> assembled = without_gil([&] { return quillrun::finish(std::move(core)); });
  if (!assembled) return fail(PyError::value_error(assembled.error().message()));
  return new_nav_file(std::make_shared<const NavFileData>(std::move(assembled).value()));
}

constexpr int kWithParameters = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"with_meta", as_cfunction(&fastcall_entry<with_meta>), kWithParameters, kWithMetaDoc},
    {"with_title", as_cfunction(&fastcall_entry<with_title>), kWithParameters, kWithTitleDoc},
    {"with_device", as_cfunction(&fastcall_entry<with_device>), kWithParameters, kWithDeviceDoc},
    {"with_notes", as_cfunction(&fastcall_entry<with_notes>), kWithParameters, kWithNotesDoc},
    {"with_lenient_errors", as_cfunction(&noargs_entry<with_lenient_errors>), METH_NOARGS, kWithLenientErrorsDoc},
    {"with_satellite_window", as_cfunction(&fastcall_entry<with_satellite_window>), kWithParameters,
     kWithSatelliteWindowDoc},
    {"add", as_cfunction(&fastcall_entry<add>), kWithParameters, kAddDoc},
    {"add_event_marker_style", as_cfunction(&fastcall_entry<add_event_marker_style>), kWithParameters,
     kAddEventMarkerStyleDoc},
    {"finish", as_cfunction(&noargs_entry<finish_builder>), METH_NOARGS, kFinishDoc},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(&constructor_entry<builder_new>)},
};

const ClassSpec kSpec{
    .qualified_name = "builtins.NavFileBuilder",
    .doc = "NavFileBuilder()\n--\n\n"
           "Assembles nav fixes, satellite reports, and annotations into a `NavFile`.\n\n"
           "Example::\n\n"
           "    (\n"
           "        NavFileBuilder()\n"
           "        .with_meta(Meta(title=\"Morning drive\"))\n"
           "        .add(NavFix(51.5, -0.1, gps_time=t0))\n"
           "        .add(NavFix(51.6, -0.1, gps_time=t1))\n"
           "        .finish()\n"
           "        .write_to_file(\"drive.qrd\")\n"
           "    )\n\n"
           "Calling `finish()` consumes the builder. Further calls raise `RuntimeError`.",
    .has_constructor = true,
    .is_sequence = false,
    .slots = kSlots,
    .methods = g_methods,
};

Class<BuilderState> g_nav_file_builder{kSpec};

}  // namespace

ClassBase& nav_file_builder_class() noexcept { return g_nav_file_builder; }

}  // namespace quillrun::py
