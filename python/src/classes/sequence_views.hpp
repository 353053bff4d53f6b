#pragma once
// The five lazy, read-only views over the tables of a trace, and one iterator
// class per view. A view shares the trace instead of copying it, so it keeps
// working after its NavFile is gone; every element read is a new object
// around a copy of the record.

#include <cstddef>

#include "quillrun/trace.hpp"
#include "runtime/types.hpp"

namespace quillrun::py {

struct SequenceView {
  SharedTrace trace;
};

struct SequenceIterator {
  SharedTrace trace;
  std::size_t position = 0;
};

extern Class<SequenceView> g_nav_point_sequence;
extern Class<SequenceIterator> g_nav_point_iterator;
extern Class<SequenceView> g_marker_sequence;
extern Class<SequenceIterator> g_marker_iterator;
extern Class<SequenceView> g_event_marker_point_sequence;
extern Class<SequenceIterator> g_event_marker_point_iterator;
extern Class<SequenceView> g_channel_sequence;
extern Class<SequenceIterator> g_channel_iterator;
extern Class<SequenceView> g_event_marker_style_sequence;
extern Class<SequenceIterator> g_event_marker_style_iterator;

}  // namespace quillrun::py
