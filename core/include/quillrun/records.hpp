#pragma once
// The value records that callers hand to the builder. The rules that make
// them are in record_rules.hpp; these are plain data.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quillrun/codes.hpp"
#include "quillrun/instant.hpp"
#include "quillrun/units.hpp"

namespace quillrun {

// A known travel mode, or a free name exactly as written.
using TravelModeArg = std::variant<TravelMode, std::string>;

// The lowercase member name, or the free name.
[[nodiscard]] inline std::string_view travel_mode_text(const TravelModeArg& mode) noexcept {
  if (const auto* known = std::get_if<TravelMode>(&mode)) return travel_mode_name(*known);
  return std::get<std::string>(mode);
}

struct Meta {
  std::optional<std::string> title;
  std::optional<std::string> device;
  std::optional<std::string> notes;
  std::optional<std::string> identity;
  std::optional<TravelModeArg> travel_mode;
  std::optional<std::string> sdk_version;
  std::optional<std::string> sdk_git_commit;
  std::optional<Instant> sdk_commit_time;

  friend bool operator==(const Meta&, const Meta&) = default;
};

struct EventMarker {
  std::optional<std::string> variant_path;  // none: a skipped marker
  Instant sys_time;
  std::optional<std::string> annotation;

  friend bool operator==(const EventMarker&, const EventMarker&) = default;
};

// The icon of a style: the application's default (none), a known code, or a
// name this build does not have (only the reader makes that state).
struct StyleIcon {
  enum class Kind : std::uint8_t { None, Known, Foreign };
  Kind kind = Kind::None;
  MarkerIcon code = MarkerIcon::Pin;  // meaningful for Known
  std::string foreign_name;           // meaningful for Foreign

  [[nodiscard]] static StyleIcon none() { return {}; }
  [[nodiscard]] static StyleIcon known(MarkerIcon code) { return {Kind::Known, code, {}}; }
  [[nodiscard]] static StyleIcon foreign(std::string name) { return {Kind::Foreign, MarkerIcon::Pin, std::move(name)}; }
  // The text stored in event_marker_styles/icon_name: empty for none.
  [[nodiscard]] std::string_view name() const noexcept {
    switch (kind) {
      case Kind::Known: return marker_icon_name(code);
      case Kind::Foreign: return foreign_name;
      case Kind::None: break;
    }
    return {};
  }
  friend bool operator==(const StyleIcon&, const StyleIcon&) = default;
};

// "#RRGGBB" (Valid), absent, or another notation held verbatim (Other, only
// the reader makes it).
struct ColorHex {
  enum class Kind : std::uint8_t { Absent, Valid, Other };
  Kind kind = Kind::Absent;
  std::string text;  // empty for Absent

  friend bool operator==(const ColorHex&, const ColorHex&) = default;
};

struct EventMarkerStyle {
  std::string variant_path;
  StyleIcon icon;
  ColorHex color;

  friend bool operator==(const EventMarkerStyle&, const EventMarkerStyle&) = default;
};

// A recognized catalog unit, a display-only custom label, or a legacy label
// read from an older file (refused as input for a new channel).
struct ChannelUnit {
  enum class Kind : std::uint8_t { Recognized, Custom, Legacy };
  Kind kind = Kind::Custom;
  Unit unit{};       // meaningful for Recognized
  std::string text;  // the label of Custom or Legacy

  [[nodiscard]] static ChannelUnit recognized(Unit u) { return {Kind::Recognized, u, {}}; }
  [[nodiscard]] static ChannelUnit custom(std::string label) { return {Kind::Custom, {}, std::move(label)}; }
  [[nodiscard]] static ChannelUnit legacy(std::string label) { return {Kind::Legacy, {}, std::move(label)}; }
  // The text the writer stores.
  [[nodiscard]] std::string_view label() const noexcept {
    return kind == Kind::Recognized ? unit.label : std::string_view(text);
  }
  friend bool operator==(const ChannelUnit& a, const ChannelUnit& b) noexcept {
    if (a.kind != b.kind) return false;
    return a.kind == Kind::Recognized ? a.unit == b.unit : a.text == b.text;
  }
};

struct Channel {
  std::string name;
  std::vector<Instant> times;
  std::vector<double> values;           // row-major, components() per row
  std::vector<std::string> components;  // empty: a scalar channel
  std::optional<ChannelUnit> unit;
  std::optional<double> period_deg;
  std::optional<std::string> description;

  [[nodiscard]] std::size_t width() const noexcept { return components.empty() ? 1 : components.size(); }
  friend bool operator==(const Channel&, const Channel&) = default;
};

}  // namespace quillrun
