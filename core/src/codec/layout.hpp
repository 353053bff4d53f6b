#pragma once
// The .qrd file layout, format version 2: the one definition of group,
// dataset and attribute names, element types, shapes, attribute texts,
// chunking and filters that the writer and the reader share.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quillrun/codes.hpp"
#include "quillrun/record_rules.hpp"

namespace quillrun::layout {

inline constexpr std::string_view kFormatVersion = "2";

// Root attributes, all texts, in the order written.
namespace root {
inline constexpr std::string_view kVersion = "quillrun_version";
inline constexpr std::string_view kSdkVersion = "sdk_version";
inline constexpr std::string_view kSdkGitCommit = "sdk_git_commit";
inline constexpr std::string_view kSdkCommitTime = "sdk_commit_time";
inline constexpr std::string_view kTitle = "meta_title";
inline constexpr std::string_view kDevice = "meta_device";
inline constexpr std::string_view kNotes = "meta_notes";
inline constexpr std::string_view kIdentity = "meta_identity";
inline constexpr std::string_view kTravelMode = "meta_travel_mode";
inline constexpr std::array<std::string_view, 9> kAttributes = {
    kVersion, kSdkVersion, kSdkGitCommit, kSdkCommitTime, kTitle, kDevice, kNotes, kIdentity, kTravelMode};
}  // namespace root

// ---------------------------------------------------------------------------
// Cells

// Leaves the elements a vector is resized to uninitialised: a column in
// memory is sized once and then written whole, by the reader's decoding or
// the writer's encoding, so zeroing it first would be wasted work.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  using value_type = T;
  UninitialisedAllocator() noexcept = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}  // NOLINT: rebinding
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  template <class U>
  void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(at)) U;
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

// The cells of one column in memory.
template <class T>
using CellVector = std::vector<T, UninitialisedAllocator<T>>;

enum class Element : std::uint8_t { U8, U32, U64, I64, F32, F64 };

[[nodiscard]] constexpr std::size_t element_size(Element element) noexcept {
  switch (element) {
    case Element::U8: return 1;
    case Element::U32:
    case Element::F32: return 4;
    case Element::U64:
    case Element::I64:
    case Element::F64: return 8;
  }
  return 0;
}

// An optional time column (u64) holds the microsecond count's two's-complement
// bits; all ones, the bits of -1, means absent.
inline constexpr std::uint64_t kAbsentTimeCell = std::numeric_limits<std::uint64_t>::max();

// An absent optional float is the positive quiet NaN.
inline constexpr std::uint64_t kAbsentF64Bits = 0x7FF8000000000000;
inline constexpr std::uint32_t kAbsentF32Bits = 0x7FC00000;
[[nodiscard]] constexpr double absent_f64() noexcept { return std::bit_cast<double>(kAbsentF64Bits); }
[[nodiscard]] constexpr float absent_f32() noexcept { return std::bit_cast<float>(kAbsentF32Bits); }

// ---------------------------------------------------------------------------
// Dataset attributes (all texts)

inline constexpr std::string_view kUnits = "units";
inline constexpr std::string_view kAbsentSentinel = "absent_sentinel";
inline constexpr std::string_view kNanMeans = "nan_means";
inline constexpr std::string_view kEncoding = "encoding";

struct TextAttribute {
  std::string_view name;
  std::string_view value;
};

namespace attrs {
inline constexpr std::string_view kTimeUnits = "microseconds since 1970-01-01T00:00:00Z";
inline constexpr std::array<TextAttribute, 1> kTime = {{{kUnits, kTimeUnits}}};
inline constexpr std::array<TextAttribute, 2> kOptionalTime = {{{kUnits, kTimeUnits}, {kAbsentSentinel, "u64::MAX"}}};
inline constexpr std::array<TextAttribute, 1> kDegrees = {{{kUnits, "degrees"}}};
inline constexpr std::array<TextAttribute, 2> kOptionalDegrees = {{{kUnits, "degrees"}, {kNanMeans, "absent"}}};
inline constexpr std::array<TextAttribute, 2> kOptionalSpeed = {{{kUnits, "m/s"}, {kNanMeans, "absent"}}};
inline constexpr std::array<TextAttribute, 2> kOptionalMetres = {{{kUnits, "metres"}, {kNanMeans, "absent"}}};
inline constexpr std::array<TextAttribute, 2> kOptionalSnr = {{{kUnits, "dB-Hz"}, {kNanMeans, "absent"}}};
inline constexpr std::array<TextAttribute, 1> kConstellation = {
    {{kEncoding, "0=GPS,1=GLONASS,2=Galileo,3=BeiDou,4=NavIC,5=QZSS"}}};
inline constexpr std::array<TextAttribute, 1> kInFix = {{{kEncoding, "0=not_in_fix,1=in_fix"}}};
inline constexpr std::array<TextAttribute, 1> kIcon = {
    {{kEncoding,
      "0=pin,1=cross,2=circle,3=lightning,4=warning,5=error,6=check,7=satellite,8=satellite_lost,9=gear,"
      "10=refresh,11=download,12=upload,13=wrench"}}};
inline constexpr std::array<TextAttribute, 1> kText256 = {
    {{kEncoding, "UTF-8 null-padded to 256 bytes, max 255 content bytes"}}};
inline constexpr std::array<TextAttribute, 1> kAnnotation = {
    {{kEncoding, "UTF-8 null-padded to 512 bytes, empty = no annotation"}}};
inline constexpr std::array<TextAttribute, 1> kIconName = {
    {{kEncoding, "lowercase MarkerIcon variant name, null-padded"}}};
inline constexpr std::array<TextAttribute, 1> kColorHex = {{{kEncoding, "#RRGGBB null-padded to 8 bytes"}}};
}  // namespace attrs

// ---------------------------------------------------------------------------
// Columns

// One dataset of a table: one element per row, or `text_width` bytes per row
// for a fixed-width text field (u8 [n, W], the UTF-8 text then NUL bytes, at
// most W - 1 content bytes).
struct Column {
  std::string_view name;
  Element element;
  std::size_t text_width = 0;  // 0: a one-dimensional column
  std::span<const TextAttribute> attributes = {};  // in the order written

  [[nodiscard]] constexpr std::size_t max_text_bytes() const noexcept { return text_width - 1; }
};

// Every row dimension is declared unlimited, so the chunk shapes below hold
// for any row count, an empty table included.
inline constexpr std::uint64_t kChunkElements = 8192;
inline constexpr unsigned kDeflateLevel = 6;

struct Storage {
  std::array<std::uint64_t, 2> chunk{};
  std::size_t rank = 1;
  bool shuffle = false;  // shuffle (filter 2) before deflate (filter 1)

  [[nodiscard]] constexpr std::span<const std::uint64_t> chunk_dims() const noexcept {
    return std::span<const std::uint64_t>(chunk).first(rank);
  }
};

// Chunk and filters of a table column: 8192 elements, or 8192 bytes of a text
// column; shuffle only for elements wider than a byte.
[[nodiscard]] constexpr Storage column_storage(const Column& column) noexcept {
  if (column.text_width > 0) return Storage{{kChunkElements / column.text_width, column.text_width}, 2, false};
  return Storage{{kChunkElements, 0}, 1, element_size(column.element) > 1};
}

// Chunk and filters of a channel's `value`: `components` 0 for a scalar
// channel ([n]), else k for [n, k].
[[nodiscard]] constexpr Storage channel_value_storage(std::size_t components) noexcept {
  if (components == 0) return Storage{{kChunkElements, 0}, 1, true};
  return Storage{{std::max<std::uint64_t>(kChunkElements / components, 1), components}, 2, true};
}

namespace nav_points {
inline constexpr std::string_view kGroup = "nav_points";
inline constexpr Column kTime{"time", Element::I64, 0, attrs::kTime};
inline constexpr Column kGpsTimeUs{"gps_time_us", Element::U64, 0, attrs::kOptionalTime};
inline constexpr Column kSysTimeUs{"sys_time_us", Element::U64, 0, attrs::kOptionalTime};
inline constexpr Column kLat{"lat", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kLon{"lon", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kHeading{"heading", Element::F64, 0, attrs::kOptionalDegrees};
inline constexpr Column kSpeedMps{"speed_mps", Element::F64, 0, attrs::kOptionalSpeed};
inline constexpr Column kEphM{"eph_m", Element::F64, 0, attrs::kOptionalMetres};
inline constexpr std::array<Column, 8> kColumns = {kTime, kGpsTimeUs, kSysTimeUs, kLat,
                                                   kLon,  kHeading,   kSpeedMps,  kEphM};
}  // namespace nav_points

namespace sat_reports {
inline constexpr std::string_view kGroup = "sat_reports";
inline constexpr Column kNavPointIdx{"nav_point_idx", Element::U64};
inline constexpr Column kGpsTimeUs{"gps_time_us", Element::U64, 0, attrs::kOptionalTime};
inline constexpr Column kSysTimeUs{"sys_time_us", Element::U64, 0, attrs::kOptionalTime};
inline constexpr std::array<Column, 3> kColumns = {kNavPointIdx, kGpsTimeUs, kSysTimeUs};

// The columns in memory, one vector per dataset.
struct Cells {
  CellVector<std::uint64_t> nav_point_idx;
  CellVector<std::uint64_t> gps_time_us;
  CellVector<std::uint64_t> sys_time_us;

  void reserve(std::size_t rows) {
    nav_point_idx.reserve(rows);
    gps_time_us.reserve(rows);
    sys_time_us.reserve(rows);
  }
  void resize(std::size_t rows) {
    nav_point_idx.resize(rows);
    gps_time_us.resize(rows);
    sys_time_us.resize(rows);
  }
};
}  // namespace sat_reports

namespace tracked_sats {
inline constexpr std::string_view kGroup = "tracked_sats";
inline constexpr Column kSatReportIdx{"sat_report_idx", Element::U64};
inline constexpr Column kConstellation{"constellation", Element::U8, 0, attrs::kConstellation};
inline constexpr Column kPrn{"prn", Element::U32};
inline constexpr Column kInFix{"in_fix", Element::U8, 0, attrs::kInFix};
inline constexpr Column kElevation{"elevation", Element::F32, 0, attrs::kOptionalDegrees};
inline constexpr Column kAzimuth{"azimuth", Element::F32, 0, attrs::kOptionalDegrees};
inline constexpr Column kSnr{"snr", Element::F32, 0, attrs::kOptionalSnr};
inline constexpr std::array<Column, 7> kColumns = {kSatReportIdx, kConstellation, kPrn, kInFix,
                                                   kElevation,    kAzimuth,       kSnr};

// The columns in memory, one vector per dataset.
struct Cells {
  CellVector<std::uint64_t> sat_report_idx;
  CellVector<std::uint8_t> constellation;
  CellVector<std::uint32_t> prn;
  CellVector<std::uint8_t> in_fix;
  CellVector<float> elevation;
  CellVector<float> azimuth;
  CellVector<float> snr;

  void reserve(std::size_t rows) {
    sat_report_idx.reserve(rows);
    constellation.reserve(rows);
    prn.reserve(rows);
    in_fix.reserve(rows);
    elevation.reserve(rows);
    azimuth.reserve(rows);
    snr.reserve(rows);
  }
  void resize(std::size_t rows) {
    sat_report_idx.resize(rows);
    constellation.resize(rows);
    prn.resize(rows);
    in_fix.resize(rows);
    elevation.resize(rows);
    azimuth.resize(rows);
    snr.resize(rows);
  }
};
}  // namespace tracked_sats

namespace markers {
inline constexpr std::string_view kGroup = "markers";
inline constexpr Column kTime{"time", Element::I64, 0, attrs::kTime};
inline constexpr Column kLat{"lat", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kLon{"lon", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kIcon{"icon", Element::U8, 0, attrs::kIcon};
inline constexpr Column kLabel{"label", Element::U8, 256, attrs::kText256};
inline constexpr std::array<Column, 5> kColumns = {kTime, kLat, kLon, kIcon, kLabel};
}  // namespace markers

namespace event_markers {
inline constexpr std::string_view kGroup = "event_markers";
inline constexpr Column kSysTimeUs{"sys_time_us", Element::U64, 0, attrs::kOptionalTime};
inline constexpr Column kLat{"lat", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kLon{"lon", Element::F64, 0, attrs::kDegrees};
inline constexpr Column kVariantPath{"variant_path", Element::U8, 256, attrs::kText256};
inline constexpr Column kAnnotation{"annotation", Element::U8, 512, attrs::kAnnotation};
inline constexpr std::array<Column, 5> kColumns = {kSysTimeUs, kLat, kLon, kVariantPath, kAnnotation};
}  // namespace event_markers

namespace event_marker_styles {
inline constexpr std::string_view kGroup = "event_marker_styles";
inline constexpr Column kVariantPath{"variant_path", Element::U8, 256};
inline constexpr Column kIconName{"icon_name", Element::U8, 32, attrs::kIconName};
inline constexpr Column kColorHex{"color_hex", Element::U8, 8, attrs::kColorHex};
inline constexpr std::array<Column, 3> kColumns = {kVariantPath, kIconName, kColorHex};
}  // namespace event_marker_styles

// One subgroup per channel, named by the channel; its attributes come before
// its two datasets, in this order.
namespace channels {
inline constexpr std::string_view kGroup = "channels";
inline constexpr std::string_view kUnit = "unit";              // text
inline constexpr std::string_view kPeriodDeg = "period_deg";   // 64-bit float
inline constexpr std::string_view kDescription = "description";  // text
inline constexpr std::string_view kComponents = "components";  // list of texts
inline constexpr Column kTime{"time", Element::I64, 0, attrs::kTime};
inline constexpr Column kValue{"value", Element::F64};  // [n] or [n, k]: see channel_value_storage
}  // namespace channels

// The encodings spell the codes of codes.hpp out: "0=name,1=name,...".
namespace detail {
constexpr bool take(std::string_view text, std::size_t& at, std::string_view part) {
  if (text.substr(at, part.size()) != part) return false;
  at += part.size();
  return true;
}
template <std::size_t N>
constexpr bool spells_codes(std::string_view encoding, const std::array<std::string_view, N>& names) {
  std::size_t at = 0;
  for (std::size_t code = 0; code < N; ++code) {
    if (code > 0 && !take(encoding, at, ",")) return false;
    const char tens = static_cast<char>('0' + code / 10);
    const char ones = static_cast<char>('0' + code % 10);
    if (code >= 10 && !take(encoding, at, std::string_view(&tens, 1))) return false;
    if (!take(encoding, at, std::string_view(&ones, 1)) || !take(encoding, at, "=") || !take(encoding, at, names[code]))
      return false;
  }
  return at == encoding.size();
}
}  // namespace detail
static_assert(detail::spells_codes(attrs::kConstellation[0].value, kConstellationNames));
static_assert(detail::spells_codes(attrs::kIcon[0].value, kMarkerIconNames));

// The record rules refuse what these fields cannot hold, naming the field.
static_assert(markers::kGroup == kAnnotationLabelGroup && markers::kLabel.name == kAnnotationLabelDataset);
static_assert(markers::kLabel.max_text_bytes() == kAnnotationLabelLimit);
static_assert(event_markers::kVariantPath.max_text_bytes() == kVariantPathLimit);
static_assert(event_markers::kAnnotation.max_text_bytes() == kEventMarkerAnnotationLimit);
static_assert(event_marker_styles::kIconName.max_text_bytes() == kIconNameLimit);

}  // namespace quillrun::layout
