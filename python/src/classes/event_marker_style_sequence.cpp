// EventMarkerStyleSequence and EventMarkerStyleIterator: the per-variant
// styles of a trace.

#include <Python.h>

#include <vector>

#include "classes/class_objects.hpp"
#include "classes/sequence_view_ops.hpp"

namespace quillrun::py {
namespace {

struct EventMarkerStyleTable {
  static constexpr const char* kReprPrefix = "EventMarkerStyleSequence(len=";
  static Class<SequenceView>& view() { return g_event_marker_style_sequence; }
  static Class<SequenceIterator>& iterator() { return g_event_marker_style_iterator; }
  static const std::vector<quillrun::EventMarkerStyle>& rows(const NavFileData& trace) { return trace.event_marker_styles; }
  static PyResult<Ref> element(quillrun::EventMarkerStyle copy) { return g_event_marker_style.new_object(std::move(copy)); }
};

const ClassSpec kEventMarkerStyleSequenceSpec{
    .qualified_name = "builtins.EventMarkerStyleSequence",
    .doc = "The per-variant event marker styles of a :class:`NavFile`." QR_SEQUENCE_DOC_TAIL,
    .has_constructor = false,
    .is_sequence = true,
    .slots = SequenceSlots<EventMarkerStyleTable>::kView,
};

const ClassSpec kEventMarkerStyleIteratorSpec{
    .qualified_name = "builtins.EventMarkerStyleIterator",
    .doc = "",
    .has_constructor = false,
    .is_sequence = false,
    .slots = SequenceSlots<EventMarkerStyleTable>::kIterator,
};

}  // namespace

Class<SequenceView> g_event_marker_style_sequence{kEventMarkerStyleSequenceSpec};
Class<SequenceIterator> g_event_marker_style_iterator{kEventMarkerStyleIteratorSpec};

}  // namespace quillrun::py
