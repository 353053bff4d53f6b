#pragma once
// Helpers over the 128-bit integers: sums and differences of two in-range
// times (about +-8.3e18 microseconds each) overflow 64 bits, and so do
// declared dataset sizes.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "quillrun/int128.hpp"

namespace quillrun {

[[nodiscard]] constexpr std::int64_t saturate_i64(Int128 v) noexcept {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  if (v < lo) return lo;
  if (v > hi) return hi;
  return static_cast<std::int64_t>(v);
}

[[nodiscard]] constexpr Int128 abs_i128(Int128 v) noexcept { return v < 0 ? -v : v; }

// std::to_string has no overload for 128 bits.
[[nodiscard]] inline std::string to_decimal(Uint128 v) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

}  // namespace quillrun
