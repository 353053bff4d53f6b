#include "quillrun/instant.hpp"

namespace quillrun {
namespace {

constexpr std::int64_t kSecsPerDay = 86'400;
constexpr std::int64_t kMicrosPerSec = 1'000'000;

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

// Howard Hinnant's days_from_civil, valid far beyond the instant range.
std::int64_t days_from_civil(std::int64_t year, std::uint32_t month, std::uint32_t day) noexcept {
  const std::int64_t y = year - (month <= 2 ? 1 : 0);
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t m = month;
  const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

CivilDate civil_from_days(std::int64_t days) noexcept {
  const std::int64_t z = days + 719'468;
  const std::int64_t era = floor_div(z, 146'097);
  const std::int64_t doe = z - era * 146'097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const auto d = static_cast<std::uint32_t>(doy - (153 * mp + 2) / 5 + 1);
  const auto m = static_cast<std::uint32_t>(mp < 10 ? mp + 3 : mp - 9);
  return CivilDate{yoe + era * 400 + (m <= 2 ? 1 : 0), m, d};
}

Instant min_instant() noexcept { return Instant{days_from_civil(kMinYear, 1, 1), 0, 0}; }

Instant max_instant() noexcept {
  return Instant{days_from_civil(kMaxYear, 12, 31), static_cast<std::uint32_t>(kSecsPerDay - 1), 999'999'999};
}

std::int64_t us(const Instant& t) noexcept {
  return (t.days * kSecsPerDay + static_cast<std::int64_t>(t.secs)) * kMicrosPerSec +
         static_cast<std::int64_t>(t.nanos / 1000);
}

std::optional<Instant> instant_from_us(std::int64_t micros) noexcept {
  // Range first: near the ends of int64 the arithmetic below would overflow.
  if (micros < us(min_instant()) || micros > us(max_instant())) return std::nullopt;
  const std::int64_t secs = floor_div(micros, kMicrosPerSec);
  const std::int64_t sub = micros - secs * kMicrosPerSec;
  const std::int64_t days = floor_div(secs, kSecsPerDay);
  return Instant{days, static_cast<std::uint32_t>(secs - days * kSecsPerDay), static_cast<std::uint32_t>(sub * 1000)};
}

std::optional<Instant> instant_from_us_i128(Int128 micros) noexcept {
  if (micros < us(min_instant()) || micros > us(max_instant())) return std::nullopt;
  return instant_from_us(static_cast<std::int64_t>(micros));
}

std::optional<Instant> checked_add_us(const Instant& t, std::int64_t delta_us) noexcept {
  auto moved = instant_from_us_i128(static_cast<Int128>(us(t)) + delta_us);
  // max_instant ends in 999 sub-microsecond nanos, so adding them back
  // cannot leave the range.
  if (moved) moved->nanos += t.nanos % 1000;
  return moved;
}

Int128 diff_us(const Instant& a, const Instant& b) noexcept {
  return static_cast<Int128>(us(a)) - static_cast<Int128>(us(b));
}

std::optional<Instant> make_instant(std::int64_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                                    std::uint32_t minute, std::uint32_t second, std::uint32_t nanos) noexcept {
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 ||
      second > 59 || nanos > 999'999'999)
    return std::nullopt;
  const std::int64_t days = days_from_civil(year, month, day);
  if (civil_from_days(days) != CivilDate{year, month, day}) return std::nullopt;
  return Instant{days, hour * 3600 + minute * 60 + second, nanos};
}

}  // namespace quillrun
