#pragma once
// 128-bit integers for microsecond arithmetic: sums and differences of two
// in-range times (about +-8.3e18 each) overflow 64 bits.

#include <cstdint>
#include <limits>
#include <string>

namespace quillrun {

__extension__ using i128 = __int128;
__extension__ using u128 = unsigned __int128;

[[nodiscard]] constexpr std::int64_t saturate_i64(i128 v) noexcept {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  if (v < lo) return lo;
  if (v > hi) return hi;
  return static_cast<std::int64_t>(v);
}

[[nodiscard]] constexpr i128 abs_i128(i128 v) noexcept { return v < 0 ? -v : v; }

[[nodiscard]] inline std::string to_decimal(u128 v) {
  if (v == 0) return "0";
  std::string digits;
  while (v != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return digits;
}

}  // namespace quillrun
