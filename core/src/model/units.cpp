#include "quillrun/units.hpp"

#include <array>
#include <cstddef>
#include <string>

namespace quillrun {
namespace {

using B = UnitBase;
using P = UnitPrefix;

constexpr std::array<Unit, 29> kCatalog = {{
    {"deg", B::Deg, std::nullopt},
    {"m", B::M, std::nullopt},
    {"nm", B::M, P::Nano},
    {"um", B::M, P::Micro},
    {"mm", B::M, P::Milli},
    {"cm", B::M, P::Centi},
    {"km", B::M, P::Kilo},
    {"km/h", B::KmPerH, std::nullopt},
    {"m/s", B::MPerS, std::nullopt},
    {"mm/s", B::MPerS, P::Milli},
    {"cm/s", B::MPerS, P::Centi},
    {"kn", B::Kn, std::nullopt},
    {"m/s2", B::MPerS2, std::nullopt},
    {"mm/s2", B::MPerS2, P::Milli},
    {"cm/s2", B::MPerS2, P::Centi},
    {"g", B::G, std::nullopt},
    {"ug", B::G, P::Micro},
    {"mg", B::G, P::Milli},
    {"km/h/s", B::KmPerHPerS, std::nullopt},
    {"ns", B::S, P::Nano},
    {"us", B::S, P::Micro},
    {"ms", B::S, P::Milli},
    {"s", B::S, std::nullopt},
    {"min", B::Min, std::nullopt},
    {"h", B::H, std::nullopt},
    {"%", B::Percent, std::nullopt},
    {"per s", B::PerS, std::nullopt},
    {"per min", B::PerMin, std::nullopt},
    {"per h", B::PerH, std::nullopt},
}};

// Indexed by the UnitBase code.
constexpr std::array<std::string_view, 15> kBaseLabels = {
    "deg", "g", "h", "km/h", "km/h/s", "kn", "m", "m/s", "m/s2", "min", "per h", "per min", "per s", "%", "s"};

struct Alias {
  std::string_view alias;
  std::string_view canonical;
};

// Matched on the trimmed text exactly, before any folding: "mps²" is no alias.
constexpr std::array<Alias, 21> kAliases = {{
    {"G", "g"},
    {"\u00B0", "deg"},
    {"hr", "h"},
    {"mG", "mg"},
    {"sec", "s"},
    {"kph", "km/h"},
    {"mps", "m/s"},
    {"hour", "h"},
    {"kmph", "km/h"},
    {"mps2", "m/s2"},
    {"meter", "m"},
    {"metre", "m"},
    {"hours", "h"},
    {"m/s/s", "m/s2"},
    {"degree", "deg"},
    {"meters", "m"},
    {"metres", "m"},
    {"second", "s"},
    {"degrees", "deg"},
    {"seconds", "s"},
    {"percent", "%"},
}};

// The characters with the Unicode White_Space property, UTF-8 encoded.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
    "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

constexpr std::string_view kMicroSign = "\u00B5";
constexpr std::string_view kGreekMu = "\u03BC";

std::string replace_all(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(from); hit != std::string_view::npos; hit = text.find(from, pos)) {
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

const Unit& base_unit(UnitBase base) noexcept {
  for (const Unit& u : kCatalog) {
    if (u.base == base && !u.prefix) return u;
  }
  return kCatalog[0];  // unreachable: every base has its unprefixed entry
}

bool prefix_accepts(UnitPrefix prefix, UnitBase base) noexcept {
  switch (prefix) {
    case P::Centi:
    case P::Kilo: return base == B::M;
    case P::Micro:
    case P::Milli: return base == B::M || base == B::S || base == B::G;
    case P::Nano: return base == B::M || base == B::S;
  }
  return false;
}

std::optional<Unit> parse_slashed(std::string_view text) {
  std::array<std::string_view, 3> parts{};
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = text.find('/', start);
    if (count == parts.size()) return std::nullopt;  // four or more parts
    parts[count++] = text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  switch (count) {
    case 1: return parse_unit(parts[0]);
    case 2: return parse_unit_ratio(parts[0], parts[1]);
    default:
      if (parts[0] == "km" && parts[1] == "h" && parts[2] == "s") return base_unit(B::KmPerHPerS);
      return std::nullopt;
  }
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  bool trimmed = true;
  while (trimmed && !text.empty()) {
    trimmed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (text.starts_with(ws)) {
        text.remove_prefix(ws.size());
        trimmed = true;
        break;
      }
    }
  }
  trimmed = true;
  while (trimmed && !text.empty()) {
    trimmed = false;
    for (std::string_view ws : kWhiteSpace) {
      if (text.ends_with(ws)) {
        text.remove_suffix(ws.size());
        trimmed = true;
        break;
      }
    }
  }
  return text;
}

std::span<const Unit> unit_catalog() noexcept { return kCatalog; }

std::string_view unit_base_label(UnitBase base) noexcept {
  const auto code = static_cast<std::size_t>(base);
  return code < kBaseLabels.size() ? kBaseLabels[code] : std::string_view{};
}

std::optional<UnitBase> match_base_unit(std::string_view text) {
  if (text == "deg") return B::Deg;
  if (text == "g") return B::G;
  if (text == "h") return B::H;
  if (text == "kmh") return B::KmPerH;
  if (text == "kn") return B::Kn;
  if (text == "m") return B::M;
  if (text == "min") return B::Min;
  if (text == "s") return B::S;
  return std::nullopt;
}

std::optional<Unit> combine_prefixed_unit(UnitPrefix prefix, UnitBase base) noexcept {
  // The prefixed entries of the catalog are exactly the pairs that exist.
  for (const Unit& u : kCatalog) {
    if (u.prefix == prefix && u.base == base) return u;
  }
  return std::nullopt;
}

std::optional<Unit> parse_unit(std::string_view text) {
  if (const auto base = match_base_unit(text)) return base_unit(*base);
  if (text.empty()) return std::nullopt;

  UnitPrefix prefix{};
  std::size_t prefix_len = 1;
  if (text.starts_with('u')) {
    prefix = P::Micro;
  } else if (text.starts_with(kMicroSign) || text.starts_with(kGreekMu)) {
    prefix = P::Micro;
    prefix_len = 2;
  } else if (text.size() >= 2 && static_cast<unsigned char>(text[0]) >= 0x80) {
    return std::nullopt;  // another non-ASCII character is no prefix
  } else {
    switch (text[0]) {
      case 'c': prefix = P::Centi; break;
      case 'k': prefix = P::Kilo; break;
      case 'm': prefix = P::Milli; break;
      case 'n': prefix = P::Nano; break;
      default: return std::nullopt;
    }
  }
  const auto base = match_base_unit(text.substr(prefix_len));
  if (!base || !prefix_accepts(prefix, *base)) return std::nullopt;
  return combine_prefixed_unit(prefix, *base);
}

std::optional<Unit> parse_unit_ratio(std::string_view numerator, std::string_view denominator) {
  if (numerator == "m" && denominator == "s") return base_unit(B::MPerS);
  if (numerator == "m" && denominator == "s2") return base_unit(B::MPerS2);
  if (numerator == "km" && denominator == "h") return base_unit(B::KmPerH);
  if (numerator.size() == 2 && (numerator[0] == 'c' || numerator[0] == 'm') && numerator[1] == 'm' &&
      (denominator == "s" || denominator == "s2")) {
    const UnitPrefix prefix = numerator[0] == 'c' ? P::Centi : P::Milli;
    return combine_prefixed_unit(prefix, denominator == "s" ? B::MPerS : B::MPerS2);
  }
  return std::nullopt;
}

std::optional<Unit> unit_from_text(std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  for (const Alias& a : kAliases) {
    if (a.alias.size() == trimmed.size() && a.alias == trimmed) {
      // An alias's canonical text skips the folds and the word forms.
      if (a.canonical == "%") return base_unit(B::Percent);
      return parse_slashed(a.canonical);
    }
  }

  // A caret before "²" folds to "2" too, because "²" is folded first.
  const std::string folded = replace_all(replace_all(trimmed, "\u00B2", "2"), "^2", "2");
  for (UnitBase word : {B::PerMin, B::PerS, B::PerH, B::Percent}) {
    if (folded == unit_base_label(word)) return base_unit(word);
  }
  return parse_slashed(folded);
}

}  // namespace quillrun
