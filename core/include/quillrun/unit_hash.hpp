#pragma once
// The hash of Unit and ChannelUnit: SipHash-1-3 with the all-zero key over a
// byte string made from the unit's codes and label. It is fixed by the codes,
// so it is the same in every process and in every SDK of the format.

#include <cstdint>
#include <string_view>

#include "quillrun/records.hpp"
#include "quillrun/units.hpp"

namespace quillrun {

// SipHash-1-3, key (0, 0), read as a signed 64-bit integer.
[[nodiscard]] std::int64_t sip_hash13(std::string_view bytes) noexcept;

// Over a Unit's bytes: presence of a prefix (u64 0 or 1), the prefix code
// (u64, only when present), the base code (u64), the label, 0xFF;
// little-endian.
[[nodiscard]] std::int64_t unit_hash(const Unit& unit);
// Over the variant number (u64: Custom 0, Legacy 1, Recognized 2), then the
// text and 0xFF, or the Unit's bytes.
[[nodiscard]] std::int64_t unit_hash(const ChannelUnit& unit);

}  // namespace quillrun
