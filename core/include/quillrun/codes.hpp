#pragma once
// The enum codes of the trace model and their stored names.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quillrun {

enum class Constellation : std::uint8_t { Gps = 0, Glonass = 1, Galileo = 2, BeiDou = 3, NavIc = 4, Qzss = 5 };
inline constexpr std::size_t kConstellationCount = 6;
// Mixed case, as in the `encoding` attribute of tracked_sats/constellation.
inline constexpr std::array<std::string_view, kConstellationCount> kConstellationNames = {
    "GPS", "GLONASS", "Galileo", "BeiDou", "NavIC", "QZSS"};

enum class MarkerIcon : std::uint8_t {
  Pin = 0, Cross = 1, Circle = 2, Lightning = 3, Warning = 4, Error = 5, Check = 6,
  Satellite = 7, SatelliteLost = 8, Gear = 9, Refresh = 10, Download = 11, Upload = 12, Wrench = 13,
};
inline constexpr std::size_t kMarkerIconCount = 14;
// Lowercase names, as stored in event_marker_styles/icon_name.
inline constexpr std::array<std::string_view, kMarkerIconCount> kMarkerIconNames = {
    "pin", "cross", "circle", "lightning", "warning", "error", "check",
    "satellite", "satellite_lost", "gear", "refresh", "download", "upload", "wrench"};

enum class TravelMode : std::uint8_t { Car = 0, Motorcycle = 1, Bicycle = 2, Pedestrian = 3, Boat = 4, Rail = 5, Aircraft = 6 };
inline constexpr std::size_t kTravelModeCount = 7;
inline constexpr std::array<std::string_view, kTravelModeCount> kTravelModeNames = {
    "car", "motorcycle", "bicycle", "pedestrian", "boat", "rail", "aircraft"};

[[nodiscard]] constexpr std::string_view marker_icon_name(MarkerIcon icon) noexcept {
  return kMarkerIconNames[static_cast<std::size_t>(icon)];
}
[[nodiscard]] constexpr std::string_view travel_mode_name(TravelMode mode) noexcept {
  return kTravelModeNames[static_cast<std::size_t>(mode)];
}
[[nodiscard]] constexpr bool is_known_marker_icon(std::uint8_t code) noexcept { return code < kMarkerIconCount; }
[[nodiscard]] constexpr bool is_known_constellation(std::uint8_t code) noexcept { return code < kConstellationCount; }

// Exact, byte-for-byte lookups of a stored lowercase name.
[[nodiscard]] constexpr std::optional<MarkerIcon> marker_icon_from_stored_name(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kMarkerIconCount; ++i)
    if (kMarkerIconNames[i] == name) return static_cast<MarkerIcon>(i);
  return std::nullopt;
}
[[nodiscard]] constexpr std::optional<TravelMode> travel_mode_from_stored_name(std::string_view name) noexcept {
  for (std::size_t i = 0; i < kTravelModeCount; ++i)
    if (kTravelModeNames[i] == name) return static_cast<TravelMode>(i);
  return std::nullopt;
}

}  // namespace quillrun
