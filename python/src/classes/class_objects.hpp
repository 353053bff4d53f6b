#pragma once
// The class objects of the value and trace-element classes, whose payload is
// the core's own record: other classes create and take their objects through
// these (a getter returning a SatelliteReport, the builder taking a NavFix).
// Each is defined in the file of its class.

#include "quillrun/records.hpp"
#include "quillrun/trace.hpp"
#include "quillrun/units.hpp"
#include "runtime/types.hpp"

namespace quillrun::py {

extern Class<quillrun::Satellite> g_satellite;
extern Class<quillrun::SatelliteReport> g_satellite_report;
extern Class<quillrun::Unit> g_unit;
extern Class<quillrun::ChannelUnit> g_channel_unit;
extern Class<quillrun::Channel> g_channel;
extern Class<quillrun::NavFix> g_nav_fix;
extern Class<quillrun::Annotation> g_annotation;
extern Class<quillrun::Meta> g_meta;
extern Class<quillrun::NavPoint> g_nav_point;
extern Class<quillrun::Marker> g_marker;
// A skipped marker holds no variant path.
extern Class<quillrun::EventMarker> g_event_marker;
extern Class<quillrun::EventMarkerStyle> g_event_marker_style;
extern Class<quillrun::EventMarkerPoint> g_event_marker_point;

}  // namespace quillrun::py
