#pragma once
// The channel-unit catalog: 29 recognized units, each a base quantity with an
// optional metric prefix and a canonical label.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quillrun {

enum class UnitBase : std::uint8_t {
  Deg = 0, G = 1, H = 2, KmPerH = 3, KmPerHPerS = 4, Kn = 5, M = 6, MPerS = 7, MPerS2 = 8,
  Min = 9, PerH = 10, PerMin = 11, PerS = 12, Percent = 13, S = 14,
};
enum class UnitPrefix : std::uint8_t { Centi = 0, Kilo = 1, Micro = 2, Milli = 3, Nano = 4 };

struct Unit {
  std::string_view label;  // canonical label; always a text of the catalog
  UnitBase base;
  std::optional<UnitPrefix> prefix;

  friend bool operator==(const Unit& a, const Unit& b) noexcept {
    return a.prefix == b.prefix && a.base == b.base && a.label == b.label;
  }
};

// The 29 entries in catalog order.
[[nodiscard]] std::span<const Unit> unit_catalog() noexcept;
[[nodiscard]] std::string_view unit_base_label(UnitBase base) noexcept;

// `text` without its leading and trailing Unicode White_Space, as
// unit_from_text trims it (custom unit labels are trimmed the same way).
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

[[nodiscard]] std::optional<Unit> unit_from_text(std::string_view text);
[[nodiscard]] std::optional<Unit> parse_unit(std::string_view text);
[[nodiscard]] std::optional<Unit> parse_unit_ratio(std::string_view numerator, std::string_view denominator);
[[nodiscard]] std::optional<UnitBase> match_base_unit(std::string_view text);
[[nodiscard]] std::optional<Unit> combine_prefixed_unit(UnitPrefix prefix, UnitBase base) noexcept;

}  // namespace quillrun
