#pragma once
// The module's classes in registration order, which is also their order in
// `__all__`: Satellite, SatelliteReport, Unit, ChannelUnit, Channel, NavFix,
// Annotation, Meta, NavPoint, Marker, EventMarker, EventMarkerStyle,
// EventMarkerPoint, NavPointSequence, NavPointIterator, MarkerSequence,
// MarkerIterator, EventMarkerPointSequence, EventMarkerPointIterator,
// ChannelSequence, ChannelIterator, EventMarkerStyleSequence,
// EventMarkerStyleIterator, NavFile, NavFileBuilder.
//
// Each class lives in a file of its own (navfix.cpp, ...) that defines its
// payload, its ClassSpec table entry, the functions the entry names and its
// Class<Payload> object; a header beside it declares that object for the
// classes that create or take its objects, and for the registration table in
// module.cpp, which lists it in the order above.

#include "runtime/types.hpp"
