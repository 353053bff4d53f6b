#pragma once
// The rules a record passes before it exists: one constructor per record,
// checking its inputs in a fixed order and returning the record or the first
// rule that failed. Every length and offset counts UTF-8 bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillrun/codes.hpp"
#include "quillrun/instant.hpp"
#include "quillrun/records.hpp"
#include "quillrun/result.hpp"
#include "quillrun/sdk_error.hpp"
#include "quillrun/trace.hpp"
#include "quillrun/units.hpp"

namespace quillrun {

// The longest variant path, in bytes (its field is 256 bytes wide).
inline constexpr std::size_t kVariantPathLimit = 255;
inline constexpr std::size_t kEventMarkerAnnotationLimit = 511;
inline constexpr std::size_t kIconNameLimit = 31;
// An annotation's label becomes the markers/label cell of the file, so that
// field's limit and name are the ones an overlong label is refused with.
inline constexpr std::size_t kAnnotationLabelLimit = 255;
inline constexpr std::string_view kAnnotationLabelGroup = "markers";
inline constexpr std::string_view kAnnotationLabelDataset = "label";

// A fix or report with neither time.
struct MissingTimeError {
  [[nodiscard]] static std::string_view message() noexcept { return "provide gps_time or sys_time"; }
};

namespace channel_unit_error {
struct Unrecognized { std::string label; };  // the label exactly as given
struct Empty {};
struct ControlCharacter {};
struct Recognized { std::string label; };  // trimmed
}  // namespace channel_unit_error

struct ChannelUnitError {
  std::variant<channel_unit_error::Unrecognized, channel_unit_error::Empty, channel_unit_error::ControlCharacter,
               channel_unit_error::Recognized>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  [[nodiscard]] std::string message() const;
};

namespace variant_path_error {
struct Empty { std::string path; };
struct LeadingSlash { std::string path; };
struct TrailingSlash { std::string path; };
struct DoubleSlash { std::string path; };
struct TooLong { std::string path; std::uint64_t length; std::uint64_t limit; };
struct InvalidCharacters { std::string path; };
}  // namespace variant_path_error

struct VariantPathError {
  std::variant<variant_path_error::Empty, variant_path_error::LeadingSlash, variant_path_error::TrailingSlash,
               variant_path_error::DoubleSlash, variant_path_error::TooLong, variant_path_error::InvalidCharacters>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  [[nodiscard]] std::string message() const;
};

enum class MetaField : std::uint8_t { Title, Device, Notes, Identity, TravelMode };
// "title", "device", "notes", "identity", "travel mode".
[[nodiscard]] std::string_view meta_field_name(MetaField field) noexcept;

namespace meta_error {
struct NulByte { MetaField field; std::uint64_t offset; };
}  // namespace meta_error

struct MetaError {
  std::variant<meta_error::NulByte> value;

  [[nodiscard]] std::string message() const;
};

namespace event_marker_error {
struct VariantPath { VariantPathError error; };
struct Annotation { FieldError error; };  // NulByte, or TooLong with the limit 511
}  // namespace event_marker_error

struct EventMarkerError {
  std::variant<event_marker_error::VariantPath, event_marker_error::Annotation> value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  [[nodiscard]] std::string message() const;
};

namespace event_marker_style_error {
struct VariantPath { VariantPathError error; };
struct IconName { FieldError error; };  // NulByte, or TooLong with the limit 31
struct Color { std::string text; };
}  // namespace event_marker_style_error

struct EventMarkerStyleError {
  std::variant<event_marker_style_error::VariantPath, event_marker_style_error::IconName,
               event_marker_style_error::Color>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  [[nodiscard]] std::string message() const;
};

namespace channel_error {
struct InvalidName { std::string name; };
struct DescriptionNul { std::string channel; std::uint64_t offset; };
struct LegacyUnit { std::string channel; std::string unit; };
struct NoComponents { std::string channel; };
struct InvalidComponentLabel { std::string channel; std::string label; };
struct DuplicateComponent { std::string channel; std::string label; };
struct ValueCount { std::string channel; std::uint64_t expected; std::uint64_t got; };
struct BadWrapPeriod { std::string channel; };
struct WrapPeriodNeedsAngularUnit { std::string channel; };
}  // namespace channel_error

struct ChannelError {
  std::variant<channel_error::InvalidName, channel_error::DescriptionNul, channel_error::LegacyUnit,
               channel_error::NoComponents, channel_error::InvalidComponentLabel, channel_error::DuplicateComponent,
               channel_error::ValueCount, channel_error::BadWrapPeriod, channel_error::WrapPeriodNeedsAngularUnit>
      value;

  template <class V>
  [[nodiscard]] bool is() const noexcept { return std::holds_alternative<V>(value); }
  [[nodiscard]] std::string message() const;
};

// A non-empty text whose first byte is "_" or a-z and whose other bytes are
// "_", a-z or 0-9 (channel names and component labels).
[[nodiscard]] bool is_lowercase_identifier(std::string_view text) noexcept;

// A C0 control, DEL or a C1 control (U+0080 to U+009F, which UTF-8 writes as
// 0xC2 followed by 0x80 to 0x9F).
[[nodiscard]] bool has_control_character(std::string_view text) noexcept;

// Exactly "#" and six ASCII hex digits of either case.
[[nodiscard]] bool is_color_hex(std::string_view text) noexcept;

// 1 to 255 bytes of ASCII letters, digits, "-", "_" and "/", neither starting
// nor ending with "/" and without "//".
[[nodiscard]] Status<VariantPathError> check_variant_path(std::string_view path);

// The times of a fix or report: at least one of the two.
[[nodiscard]] Result<Timestamps, MissingTimeError> record_times(std::optional<Instant> gps_time,
                                                                std::optional<Instant> sys_time) noexcept;

[[nodiscard]] Result<NavFix, MissingTimeError> new_nav_fix(double lat, double lon, std::optional<Instant> gps_time,
                                                           std::optional<Instant> sys_time,
                                                           std::optional<double> heading,
                                                           std::optional<double> speed_mps,
                                                           std::optional<double> eph_m) noexcept;

[[nodiscard]] Result<SatelliteReport, MissingTimeError> new_satellite_report(std::vector<Satellite> tracked,
                                                                             std::optional<Instant> gps_time,
                                                                             std::optional<Instant> sys_time);

// An empty label becomes none; a NUL byte, then a length past the label
// field, are refused as the writer would refuse them (FieldEncode).
[[nodiscard]] Result<Annotation, SdkError> new_annotation(Instant time, std::optional<std::string> label,
                                                          MarkerIcon icon);

// The catalog unit a label names (aliases and surrounding white space too).
[[nodiscard]] Result<ChannelUnit, ChannelUnitError> new_recognized_unit(std::string_view label);
// A display-only unit: the label trimmed, not empty, without a control
// character, and naming no catalog unit.
[[nodiscard]] Result<ChannelUnit, ChannelUnitError> new_custom_unit(std::string_view label);

// A metadata text holds no NUL byte.
[[nodiscard]] Status<MetaError> check_meta_text(MetaField field, std::string_view text);

// A Meta with the provenance fields none, unless a text holds a NUL byte.
[[nodiscard]] Result<Meta, MetaError> new_meta(std::optional<std::string> title, std::optional<std::string> device,
                                               std::optional<std::string> notes, std::optional<std::string> identity,
                                               std::optional<TravelModeArg> travel_mode);

// A marker that is not skipped; an empty annotation becomes none.
[[nodiscard]] Result<EventMarker, EventMarkerError> new_event_marker(std::string variant_path, Instant sys_time,
                                                                     std::optional<std::string> annotation);

// The icon of a new style: the default icon, a code, or a name text.
using StyleIconArg = std::variant<std::monostate, MarkerIcon, std::string>;

[[nodiscard]] Result<EventMarkerStyle, EventMarkerStyleError> new_event_marker_style(
    std::string variant_path, StyleIconArg icon, std::optional<std::string> color);

// `components` none: a scalar channel.
[[nodiscard]] Result<Channel, ChannelError> new_channel(std::string name, std::optional<ChannelUnit> unit,
                                                        std::optional<double> period_deg,
                                                        std::optional<std::string> description,
                                                        std::optional<std::vector<std::string>> components,
                                                        std::vector<Instant> times, std::vector<double> values);

// The lookups by lowercase name ("beidou", "satellite_lost"), exact to the
// byte.
[[nodiscard]] Result<Constellation, SdkError> constellation_from_name(std::string_view name);
[[nodiscard]] Result<MarkerIcon, SdkError> marker_icon_from_name(std::string_view name);

// Never fail: what they do not recognise is held as stored (Other, Foreign).
[[nodiscard]] ColorHex parse_color_hex(std::string text);
[[nodiscard]] StyleIcon parse_icon_name(std::string text);

}  // namespace quillrun
