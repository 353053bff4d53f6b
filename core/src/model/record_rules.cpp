#include "quillrun/record_rules.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "base/overloaded.hpp"
#include "quillrun/fixed_field.hpp"
#include "quillrun/text.hpp"

// Calls to quoted() are qualified so that ADL never picks std::quoted.

namespace quillrun {
namespace {

std::string dec(std::uint64_t value) { return std::to_string(value); }

bool is_path_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
         c == '/';
}

bool is_hex_digit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string channel_prefix(const std::string& channel) { return "channel " + quillrun::quoted(channel) + ": "; }

}  // namespace

std::string VariantPathError::message() const {
  using namespace variant_path_error;
  const auto head = [](const std::string& path) {
    return "invalid event marker variant path " + quillrun::quoted(path) + ": ";
  };
  return std::visit(
      Overloaded{
          [&](const Empty& e) { return head(e.path) + "path is empty"; },
          [&](const LeadingSlash& e) { return head(e.path) + "starts with '/'"; },
          [&](const TrailingSlash& e) { return head(e.path) + "ends with '/'"; },
          [&](const DoubleSlash& e) { return head(e.path) + "contains '//'"; },
          [&](const TooLong& e) {
            return head(e.path) + dec(e.length) + " bytes, past the " + dec(e.limit) + " bytes the field holds";
          },
          [&](const InvalidCharacters& e) {
            return head(e.path) +
                   "contains characters outside ASCII alphanumeric, hyphen, underscore, and slash";
          },
      },
      value);
}

std::string_view meta_field_name(MetaField field) noexcept {
  switch (field) {
    case MetaField::Title: return "title";
    case MetaField::Device: return "device";
    case MetaField::Notes: return "notes";
    case MetaField::Identity: return "identity";
    case MetaField::TravelMode: return "travel mode";
  }
  return "unknown";
}

std::string MetaError::message() const {
  const auto& e = std::get<meta_error::NulByte>(value);
  return "the " + std::string(meta_field_name(e.field)) + " value has a nul byte at offset " + dec(e.offset);
}

std::string EventMarkerError::message() const {
  using namespace event_marker_error;
  return std::visit(Overloaded{
                        [](const VariantPath& e) { return e.error.message(); },
                        [](const Annotation& e) { return "invalid event marker annotation: " + e.error.message(); },
                    },
                    value);
}

std::string EventMarkerStyleError::message() const {
  using namespace event_marker_style_error;
  return std::visit(Overloaded{
                        [](const VariantPath& e) { return e.error.message(); },
                        [](const IconName& e) { return "invalid event marker icon name: " + e.error.message(); },
                        [](const Color& e) {
                          return "invalid event marker color " + quillrun::quoted(e.text) +
                                 ": expected the #RRGGBB form";
                        },
                    },
                    value);
}

std::string ChannelError::message() const {
  using namespace channel_error;
  return std::visit(
      Overloaded{
          [](const InvalidName& e) {
            return "invalid channel name " + quillrun::quoted(e.name) +
                   ": must be a lowercase identifier (a lowercase letter or underscore, then lowercase letters, "
                   "digits, or underscores)";
          },
          [](const DescriptionNul& e) {
            return channel_prefix(e.channel) + "the description has a nul byte at offset " + dec(e.offset);
          },
          [](const LegacyUnit& e) {
            return channel_prefix(e.channel) + "legacy unit metadata " + quillrun::quoted(e.unit) +
                   " is not valid writer input";
          },
          [](const NoComponents& e) {
            return channel_prefix(e.channel) + "a vector channel needs at least one component";
          },
          [](const InvalidComponentLabel& e) {
            return channel_prefix(e.channel) + "invalid component label " + quillrun::quoted(e.label) +
                   ": must be a lowercase identifier";
          },
          [](const DuplicateComponent& e) {
            return channel_prefix(e.channel) + "duplicate component label " + quillrun::quoted(e.label);
          },
          [](const ValueCount& e) {
            return channel_prefix(e.channel) + "expected " + dec(e.expected) + " values but got " + dec(e.got);
          },
          [](const BadWrapPeriod& e) { return channel_prefix(e.channel) + "wrap period must be finite and positive"; },
          [](const WrapPeriodNeedsAngularUnit& e) {
            return channel_prefix(e.channel) + "wrap period requires a recognized angular unit";
          },
      },
      value);
}

bool is_lowercase_identifier(std::string_view text) noexcept {
  if (text.empty()) return false;
  const char first = text.front();
  if (first != '_' && !(first >= 'a' && first <= 'z')) return false;
  for (const char c : text.substr(1))
    if (c != '_' && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')) return false;
  return true;
}

bool is_color_hex(std::string_view text) noexcept {
  if (text.size() != 7 || text.front() != '#') return false;
  for (const char c : text.substr(1))
    if (!is_hex_digit(c)) return false;
  return true;
}

Status<VariantPathError> check_variant_path(std::string_view path) {
  using namespace variant_path_error;
  const auto fail_with = [&](auto error) { return fail(VariantPathError{std::move(error)}); };
  if (path.empty()) return fail_with(Empty{std::string(path)});
  if (path.front() == '/') return fail_with(LeadingSlash{std::string(path)});
  if (path.back() == '/') return fail_with(TrailingSlash{std::string(path)});
  if (path.find("//") != std::string_view::npos) return fail_with(DoubleSlash{std::string(path)});
  if (path.size() > kVariantPathLimit) return fail_with(TooLong{std::string(path), path.size(), kVariantPathLimit});
  for (const char c : path)
    if (!is_path_byte(c)) return fail_with(InvalidCharacters{std::string(path)});
  return {};
}

Result<Meta, MetaError> new_meta(std::optional<std::string> title, std::optional<std::string> device,
                                 std::optional<std::string> notes, std::optional<std::string> identity,
                                 std::optional<TravelModeArg> travel_mode) {
  const auto nul_in = [](std::string_view text) { return text.find('\0'); };
  const std::pair<const std::optional<std::string>*, MetaField> texts[] = {
      {&title, MetaField::Title}, {&device, MetaField::Device}, {&notes, MetaField::Notes},
      {&identity, MetaField::Identity}};
  for (const auto& [text, field] : texts) {
    if (!*text) continue;
    if (const auto offset = nul_in(**text); offset != std::string_view::npos)
      return fail(MetaError{meta_error::NulByte{field, offset}});
  }
  if (travel_mode) {
    if (const auto offset = nul_in(travel_mode_text(*travel_mode)); offset != std::string_view::npos)
      return fail(MetaError{meta_error::NulByte{MetaField::TravelMode, offset}});
  }
  Meta meta;
  meta.title = std::move(title);
  meta.device = std::move(device);
  meta.notes = std::move(notes);
  meta.identity = std::move(identity);
  meta.travel_mode = std::move(travel_mode);
  return meta;
}

Result<EventMarker, EventMarkerError> new_event_marker(std::string variant_path, Instant sys_time,
                                                       std::optional<std::string> annotation) {
  if (auto checked = check_variant_path(variant_path); !checked)
    return fail(EventMarkerError{event_marker_error::VariantPath{std::move(checked).error()}});
  // An empty annotation is stored as none.
  if (!annotation || annotation->empty()) return EventMarker{std::move(variant_path), sys_time, std::nullopt};
  if (auto checked = check_field_text(*annotation, kEventMarkerAnnotationLimit); !checked)
    return fail(EventMarkerError{event_marker_error::Annotation{std::move(checked).error()}});
  return EventMarker{std::move(variant_path), sys_time, std::move(annotation)};
}

Result<EventMarkerStyle, EventMarkerStyleError> new_event_marker_style(std::string variant_path, StyleIconArg icon,
                                                                       std::optional<std::string> color) {
  using namespace event_marker_style_error;
  if (auto checked = check_variant_path(variant_path); !checked)
    return fail(EventMarkerStyleError{VariantPath{std::move(checked).error()}});

  std::string icon_name;
  if (const auto* code = std::get_if<MarkerIcon>(&icon)) {
    icon_name = std::string(marker_icon_name(*code));
  } else if (auto* name = std::get_if<std::string>(&icon)) {
    icon_name = std::move(*name);
  }
  if (auto checked = check_field_text(icon_name, kIconNameLimit); !checked)
    return fail(EventMarkerStyleError{IconName{std::move(checked).error()}});

  ColorHex parsed_color;
  if (color && !color->empty()) {
    if (!is_color_hex(*color)) return fail(EventMarkerStyleError{Color{std::move(*color)}});
    parsed_color = ColorHex{ColorHex::Kind::Valid, std::move(*color)};
  }

  return EventMarkerStyle{std::move(variant_path), parse_icon_name(std::move(icon_name)), std::move(parsed_color)};
}

Result<Channel, ChannelError> new_channel(std::string name, std::optional<ChannelUnit> unit,
                                          std::optional<double> period_deg, std::optional<std::string> description,
                                          std::optional<std::vector<std::string>> components,
                                          std::vector<Instant> times, std::vector<double> values) {
  using namespace channel_error;
  if (!is_lowercase_identifier(name)) return fail(ChannelError{InvalidName{std::move(name)}});
  if (description) {
    if (const auto offset = description->find('\0'); offset != std::string::npos)
      return fail(ChannelError{DescriptionNul{std::move(name), offset}});
  }
  if (unit && unit->kind == ChannelUnit::Kind::Legacy)
    return fail(ChannelError{LegacyUnit{std::move(name), std::move(unit->text)}});

  std::vector<std::string> labels;
  if (components) {
    if (components->empty()) return fail(ChannelError{NoComponents{std::move(name)}});
    std::unordered_set<std::string_view> seen;
    seen.reserve(components->size());
    for (auto& label : *components) {
      if (!is_lowercase_identifier(label))
        return fail(ChannelError{InvalidComponentLabel{std::move(name), std::move(label)}});
      if (!seen.insert(label).second)
        return fail(ChannelError{DuplicateComponent{std::move(name), std::move(label)}});
    }
    labels = std::move(*components);
  }

  const std::size_t width = labels.empty() ? 1 : labels.size();
  // Saturates instead of wrapping; no real channel comes near it.
  std::uint64_t expected = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(times.size()), static_cast<std::uint64_t>(width), &expected))
    expected = UINT64_MAX;
  if (values.size() != expected) return fail(ChannelError{ValueCount{std::move(name), expected, values.size()}});

  if (period_deg) {
    // -0.0 and the subnormals fall out of the comparison the way they should.
    if (!(std::isfinite(*period_deg) && *period_deg > 0.0)) return fail(ChannelError{BadWrapPeriod{std::move(name)}});
    const bool angular = unit && unit->kind == ChannelUnit::Kind::Recognized && unit->unit.base == UnitBase::Deg;
    if (!angular) return fail(ChannelError{WrapPeriodNeedsAngularUnit{std::move(name)}});
  }

  return Channel{std::move(name), std::move(times), std::move(values), std::move(labels),
                 std::move(unit), period_deg, std::move(description)};
}

ColorHex parse_color_hex(std::string text) {
  if (text.empty()) return ColorHex{};
  const auto kind = is_color_hex(text) ? ColorHex::Kind::Valid : ColorHex::Kind::Other;
  return ColorHex{kind, std::move(text)};
}

StyleIcon parse_icon_name(std::string text) {
  if (text.empty()) return StyleIcon::none();
  if (const auto code = marker_icon_from_stored_name(text)) return StyleIcon::known(*code);
  return StyleIcon::foreign(std::move(text));
}

}  // namespace quillrun
