#pragma once
// UTC instants over the calendar years -262143 to 262142. <chrono>'s
// system_clock covers far less, so the calendar arithmetic is our own.

#include <compare>
#include <cstdint>
#include <optional>

#include "quillrun/int128.hpp"

namespace quillrun {


inline constexpr std::int64_t kMinYear = -262143;
inline constexpr std::int64_t kMaxYear = 262142;

// A calendar date-time in UTC. `nanos` may reach 1'999'999'999 for an
// instant inside a leap second (only RFC 3339 text can produce one).
struct Instant {
  std::int64_t days = 0;    // days since 1970-01-01, proleptic Gregorian
  std::uint32_t secs = 0;   // seconds of the day, 0..86399
  std::uint32_t nanos = 0;  // nanoseconds of the second

  // Date, then seconds, then nanoseconds.
  friend constexpr auto operator<=>(const Instant&, const Instant&) = default;
};

struct CivilDate {
  std::int64_t year;
  std::uint32_t month;  // 1..12
  std::uint32_t day;    // 1..31
  friend constexpr bool operator==(const CivilDate&, const CivilDate&) = default;
};

[[nodiscard]] std::int64_t days_from_civil(std::int64_t year, std::uint32_t month, std::uint32_t day) noexcept;
[[nodiscard]] CivilDate civil_from_days(std::int64_t days) noexcept;

[[nodiscard]] Instant min_instant() noexcept;  // -262143-01-01T00:00:00Z
[[nodiscard]] Instant max_instant() noexcept;  // 262142-12-31T23:59:59.999999999Z

// Whole microseconds since the epoch; the nanosecond part truncates.
// Every instant in range fits (about +-8.3e18).
[[nodiscard]] std::int64_t us(const Instant& t) noexcept;

// The instant `micros` after the epoch (floor division), or none when it lies
// outside the instant range.
[[nodiscard]] std::optional<Instant> instant_from_us(std::int64_t micros) noexcept;

// Checked time arithmetic: sums and differences of instants can pass the
// 64-bit range, so they are done in 128 bits and never wrap silently.

// The instant `micros` after the epoch (floor division), or none when it lies
// outside the instant range, however far outside.
[[nodiscard]] std::optional<Instant> instant_from_us_i128(Int128 micros) noexcept;

// `t` moved by `delta_us` microseconds, or none when the result leaves the
// instant range. The sub-microsecond nanos of `t` are kept; an instant
// inside a leap second counts as the second after it, as in us().
[[nodiscard]] std::optional<Instant> checked_add_us(const Instant& t, std::int64_t delta_us) noexcept;

// us(a) - us(b), exact for any two instants in range (up to about 1.7e19).
[[nodiscard]] Int128 diff_us(const Instant& a, const Instant& b) noexcept;

// Convenience for tests and callers that build instants from parts.
[[nodiscard]] std::optional<Instant> make_instant(std::int64_t year, std::uint32_t month, std::uint32_t day,
                                                  std::uint32_t hour, std::uint32_t minute, std::uint32_t second,
                                                  std::uint32_t nanos = 0) noexcept;

}  // namespace quillrun
