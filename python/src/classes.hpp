#pragma once
// The module's classes in registration order, which is also their order in
// `__all__`: Satellite, SatelliteReport, Unit, ChannelUnit, Channel, NavFix,
// Annotation, Meta, NavPoint, Marker, EventMarker, EventMarkerStyle,
// EventMarkerPoint, NavPointSequence, NavPointIterator, MarkerSequence,
// MarkerIterator, EventMarkerPointSequence, EventMarkerPointIterator,
// ChannelSequence, ChannelIterator, EventMarkerStyleSequence,
// EventMarkerStyleIterator, NavFile, NavFileBuilder.
//
// Each class lives in a file of its own that defines its ClassSpec and its
// Class<Payload> object; adding a class is one declaration here and one line
// in the table of module.cpp.

#include "types.hpp"

namespace quillrun::py {}  // namespace quillrun::py
