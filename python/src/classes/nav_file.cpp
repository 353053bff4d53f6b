#include "classes/nav_file.hpp"

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "runtime/args.hpp"
#include "classes/class_objects.hpp"
#include "bridge/error_mapping.hpp"
#include "quillrun/file_io.hpp"
#include "runtime/frame.hpp"
#include "runtime/gil.hpp"
#include "quillrun/reader.hpp"
#include "quillrun/writer.hpp"
#include "classes/sequence_views.hpp"
#include "classes/value_class.hpp"

namespace quillrun::py {
namespace {

using io::File;
using io::open_for_reading;
using io::read_to_end;
using io::with_qrd_extension;
using io::write_file;

constexpr const char* kNavFileDoc =
    "A parsed `.qrd` navigation data file.\n"
    "\n"
    "Construct via `NavFileBuilder.finish()` to write, or `NavFile.open(path)`\n"
    "to read.";

// ------------------------------------------------------------------ paths

// str, a str subclass, or a path-like object whose __fspath__ gives a str,
// as bytes in the file-system encoding. bytes paths are refused.
PyResult<std::string> path_bytes(PyObject* path) {
  QR_ASSIGN_OR_RETURN(Ref fs_path, own(PyOS_FSPath(path)));
  if (!PyUnicode_Check(fs_path.get())) return fail(not_an_instance(fs_path.get(), "str"));
  QR_ASSIGN_OR_RETURN(Ref encoded, own(PyUnicode_EncodeFSDefault(fs_path.get())));
  char* data = nullptr;
  Py_ssize_t size = 0;
  QR_TRY(check(PyBytes_AsStringAndSize(encoded.get(), &data, &size)));
  return std::string(data, static_cast<std::size_t>(size));
}

// ------------------------------------------------------------------ reading

// The content of a bytes object (a subclass too), valid while it lives.
// bytes never change, so the reader may take them as they are, without the
// interpreter lock.
PyResult<std::span<const std::uint8_t>> bytes_content(PyObject* data) {
  if (!PyBytes_Check(data)) return fail(not_an_instance(data, "bytes"));
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  QR_TRY(check(PyBytes_AsStringAndSize(data, &bytes, &size)));
  return std::span(reinterpret_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(size));
}

// The file is open until the parse has ended, then closed with `file`.
Result<NavFileData, SdkError> read_file(const std::string& path) {
  QR_ASSIGN_OR_RETURN(File file, open_for_reading(path));
  QR_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> image, read_to_end(file));
  return read_nav_file(image);
}

PyResult<Ref> new_nav_file_from(Result<NavFileData, SdkError> trace) {
  if (!trace) return fail(error_to_exception(trace.error()));
  return new_nav_file(std::make_shared<const NavFileData>(std::move(trace).value()));
}

constexpr Param kPathParam[] = {{"path"}};
constexpr Param kDataParam[] = {{"data"}};
const Signature kOpen{"NavFile.open()", kPathParam};
const Signature kFromBytes{"NavFile.from_bytes()", kDataParam};
const Signature kWriteToFile{"NavFile.write_to_file()", kPathParam};

PyResult<Ref> nav_file_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  QR_TRY(parse_fastcall(kOpen, args, nargs, kwnames, values));
  QR_ASSIGN_OR_RETURN(const std::string path, for_param("path", path_bytes(values[0])));
  return new_nav_file_from(without_gil([&] { return read_file(path); }));
}

PyResult<Ref> nav_file_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  QR_TRY(parse_fastcall(kFromBytes, args, nargs, kwnames, values));
  // The caller's object outlives the call and is not kept after it.
  QR_ASSIGN_OR_RETURN(const std::span<const std::uint8_t> image, for_param("data", bytes_content(values[0])));
  return new_nav_file_from(without_gil([&] { return read_nav_file(image); }));
}

// ------------------------------------------------------------------ writing

PyResult<Ref> nav_file_to_bytes(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto nav_file, g_nav_file.shared(self));
  const NavFileData& trace = *nav_file->trace;
  Result<Image, SdkError> image = without_gil([&] { return write_nav_image(trace); });
  if (!image) return fail(error_to_exception(image.error()));
  // Made empty, then filled while the image's own memory is given back, so
  // that the file is never in memory twice.
  QR_ASSIGN_OR_RETURN(Ref bytes, own(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(image->size()))));
  char* out = PyBytes_AsString(bytes.get());
  if (out == nullptr) return fail(PyError::fetch());
  without_gil([&] { std::move(*image).move_to({reinterpret_cast<std::uint8_t*>(out), image->size()}); });
  return bytes;
}

PyResult<Ref> nav_file_write_to_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* values[1];
  QR_TRY(parse_fastcall(kWriteToFile, args, nargs, kwnames, values));
  QR_ASSIGN_OR_RETURN(auto nav_file, g_nav_file.shared(self));
  QR_ASSIGN_OR_RETURN(std::string path, for_param("path", path_bytes(values[0])));
  const NavFileData& trace = *nav_file->trace;
  Status<SdkError> written = without_gil([&]() -> Status<SdkError> {
    // Serialised before the file is touched: a trace the writer refuses
    // must not cost the caller the file already at that path.
    QR_ASSIGN_OR_RETURN(const Image image, write_nav_image(trace));
    return write_file(with_qrd_extension(std::move(path)), image.bytes());
  });
  if (!written) return fail(error_to_exception(written.error()));
  return Ref::borrow(Py_None);
}

// ------------------------------------------------------------------ getters

// Issues one UserWarning at the reading Python line; a filter that turns it
// into an error makes the getter raise that error.
PyStatus warn(const std::string& message) {
  if (const std::size_t nul = message.find('\0'); nul != std::string::npos) {
    return fail(PyError::value_error("nul byte found in provided data at position: " + std::to_string(nul)));
  }
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) return fail(PyError::fetch());
  return {};
}

PyResult<Ref> nav_file_meta(const NavFilePayload& nav_file) {
  return g_meta.new_object(nav_file.trace->meta);
}

PyResult<Ref> nav_file_points(const NavFilePayload& nav_file) {
  return g_nav_point_sequence.new_object(SequenceView{nav_file.trace});
}

PyResult<Ref> nav_file_markers(const NavFilePayload& nav_file) {
  for (const quillrun::Marker& marker : nav_file.trace->markers) {
    if (!marker.icon_unknown) continue;
    QR_TRY(warn("map marker " + marker.label.value_or("") + " holds the icon code " + std::to_string(marker.icon) +
                ", which this build does not have: icon reads as None, icon_code holds the code"));
  }
  return g_marker_sequence.new_object(SequenceView{nav_file.trace});
}

PyResult<Ref> nav_file_event_markers(const NavFilePayload& nav_file) {
  return g_event_marker_point_sequence.new_object(SequenceView{nav_file.trace});
}

PyResult<Ref> nav_file_channels(const NavFilePayload& nav_file) {
  return g_channel_sequence.new_object(SequenceView{nav_file.trace});
}

PyResult<Ref> nav_file_event_marker_styles(const NavFilePayload& nav_file) {
  for (const quillrun::EventMarkerStyle& style : nav_file.trace->event_marker_styles) {
    if (style.icon.kind != StyleIcon::Kind::Foreign) continue;
    QR_TRY(warn("event marker style " + style.variant_path + " names the icon " + style.icon.foreign_name +
                ", which this build does not have: icon reads as None, icon_name holds the name"));
  }
  return g_event_marker_style_sequence.new_object(SequenceView{nav_file.trace});
}

PyResult<Ref> nav_file_repr(PyObject* self) {
  QR_ASSIGN_OR_RETURN(auto nav_file, g_nav_file.shared(self));
  const NavFileData& trace = *nav_file->trace;
  return text_object("NavFile(points=" + std::to_string(trace.points.size()) +
                    ", markers=" + std::to_string(trace.markers.size()) +
                    ", event_markers=" + std::to_string(trace.event_markers.size()) + ")");
}

// ------------------------------------------------------------------ table entry

constexpr int kWithParameters = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_nav_file_methods[] = {
    {"open", as_cfunction(&fastcall_entry<nav_file_open>), kWithParameters | METH_STATIC,
     "open(path)\n--\n\n"
     "Open and parse a `.qrd` file at `path`.\n\n"
     "Accepts any path-like value: `str`, `bytes`, or a `pathlib.Path` object."},
    {"from_bytes", as_cfunction(&fastcall_entry<nav_file_from_bytes>), kWithParameters | METH_STATIC,
     "from_bytes(data)\n--\n\nParse a `.qrd` file from raw bytes."},
    {"write_to_file", as_cfunction(&fastcall_entry<nav_file_write_to_file>), kWithParameters,
     "write_to_file($self, path)\n--\n\n"
     "Write this file to `path`.\n\n"
     "Accepts any path-like value: `str`, `bytes`, or a `pathlib.Path` object.\n"
     "Appends `.qrd` if `path` has no extension."},
    {"to_bytes", as_cfunction(&noargs_entry<nav_file_to_bytes>), METH_NOARGS,
     "to_bytes($self)\n--\n\nSerialise the file to a `bytes` object."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_nav_file_getters[] = {
    computed<g_nav_file, nav_file_meta>("meta", "File-level metadata."),
    computed<g_nav_file, nav_file_points>("points", "All nav points in chronological order."),
    computed<g_nav_file, nav_file_markers>("markers",
                                           "All map markers with their interpolated positions.\n\n"
                                           "Reading this attribute raises a ``UserWarning`` for a marker with an\n"
                                           "icon code unknown to this build. Its ``icon`` reads as ``None``. Its\n"
                                           "``icon_code`` contains the code."),
    computed<g_nav_file, nav_file_event_markers>("event_markers",
                                                 "All event markers with their interpolated positions."),
    computed<g_nav_file, nav_file_channels>("channels", "All ad-hoc sensor channels, sorted by name."),
    computed<g_nav_file, nav_file_event_marker_styles>(
        "event_marker_styles",
        "Per-variant style overrides stored in the file.\n\n"
        "Reading this attribute raises a ``UserWarning`` for a style with an icon\n"
        "unknown to this build. Its ``icon`` reads as ``None``. Its\n"
        "``icon_name`` contains the name."),
    kEndOfGetters,
};

const PyType_Slot kNavFileSlots[] = {
    {Py_tp_repr, as_slot(&unary_entry<nav_file_repr>)},
};

const ClassSpec kNavFileSpec{
    .qualified_name = "builtins.NavFile",
    .doc = kNavFileDoc,
    .has_constructor = false,
    .is_sequence = false,
    .slots = kNavFileSlots,
    .methods = g_nav_file_methods,
    .getters = g_nav_file_getters,
};

}  // namespace

Class<NavFilePayload> g_nav_file{kNavFileSpec};

PyResult<Ref> new_nav_file(SharedTrace trace) { return g_nav_file.new_object(NavFilePayload{std::move(trace)}); }

}  // namespace quillrun::py
