// EventMarkerPointSequence and EventMarkerPointIterator: the event markers of a
// trace with their interpolated positions.

#include <Python.h>

#include <vector>

#include "classes/class_objects.hpp"
#include "classes/sequence_view_ops.hpp"

namespace quillrun::py {
namespace {

struct EventMarkerPointTable {
  static constexpr const char* kReprPrefix = "EventMarkerPointSequence(len=";
  static Class<SequenceView>& view() { return g_event_marker_point_sequence; }
  static Class<SequenceIterator>& iterator() { return g_event_marker_point_iterator; }
  static const std::vector<quillrun::EventMarkerPoint>& rows(const NavFileData& trace) { return trace.event_markers; }
  static PyResult<Ref> element(quillrun::EventMarkerPoint copy) { return g_event_marker_point.new_object(std::move(copy)); }
};

const ClassSpec kEventMarkerPointSequenceSpec{
    .qualified_name = "builtins.EventMarkerPointSequence",
    .doc = "The event markers of a :class:`NavFile` with their interpolated positions." QR_SEQUENCE_DOC_TAIL,
    .has_constructor = false,
    .is_sequence = true,
    .slots = SequenceSlots<EventMarkerPointTable>::kView,
};

const ClassSpec kEventMarkerPointIteratorSpec{
    .qualified_name = "builtins.EventMarkerPointIterator",
    .doc = "",
    .has_constructor = false,
    .is_sequence = false,
    .slots = SequenceSlots<EventMarkerPointTable>::kIterator,
};

}  // namespace

Class<SequenceView> g_event_marker_point_sequence{kEventMarkerPointSequenceSpec};
Class<SequenceIterator> g_event_marker_point_iterator{kEventMarkerPointIteratorSpec};

}  // namespace quillrun::py
