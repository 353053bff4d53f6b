// MarkerSequence and MarkerIterator: the map markers of a trace.

#include <Python.h>

#include <vector>

#include "classes/class_objects.hpp"
#include "classes/sequence_view_ops.hpp"

namespace quillrun::py {
namespace {

struct MarkerTable {
  static constexpr const char* kReprPrefix = "MarkerSequence(len=";
  static Class<SequenceView>& view() { return g_marker_sequence; }
  static Class<SequenceIterator>& iterator() { return g_marker_iterator; }
  static const std::vector<quillrun::Marker>& rows(const NavFileData& trace) { return trace.markers; }
  static PyResult<Ref> element(quillrun::Marker copy) { return g_marker.new_object(std::move(copy)); }
};

const ClassSpec kMarkerSequenceSpec{
    .qualified_name = "builtins.MarkerSequence",
    .doc = "The map markers of a :class:`NavFile` with their interpolated positions." QR_SEQUENCE_DOC_TAIL,
    .has_constructor = false,
    .is_sequence = true,
    .slots = SequenceSlots<MarkerTable>::kView,
};

const ClassSpec kMarkerIteratorSpec{
    .qualified_name = "builtins.MarkerIterator",
    .doc = "",
    .has_constructor = false,
    .is_sequence = false,
    .slots = SequenceSlots<MarkerTable>::kIterator,
};

}  // namespace

Class<SequenceView> g_marker_sequence{kMarkerSequenceSpec};
Class<SequenceIterator> g_marker_iterator{kMarkerIteratorSpec};

}  // namespace quillrun::py
