#pragma once
// The five lazy, read-only views over the tables of a trace, and one iterator
// class per view. A view shares the trace instead of copying it, so it keeps
// working after its NavFile is gone; so do the elements of the tables only a
// file can fill (nav points, markers, event marker points), while a channel
// or a style, which callers also make, is read out as a copy.

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

// One record of a shared trace, kept alive by it.
template <class Record>
struct TraceRow {
  SharedTrace trace;
  const Record* record;
};

// What the getters read: the payload itself, or the row a TraceRow names.
template <class Record>
[[nodiscard]] const Record& record_of(const TraceRow<Record>& row) noexcept {
  return *row.record;
}

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
