#include "quillrun/rfc3339.hpp"

#include <cstddef>
#include <cstdint>

namespace quillrun {
namespace {

// The text is read left to right and the first fault decides:
// - "premature end of input": the text stops before the offset is complete;
// - "input contains invalid characters": a byte other than the one the form
//   needs at that place (a non-digit in a field, a wrong separator);
// - "input is out of range": a field outside its range, checked as soon as
//   it is read (month 13, day 32, hour 24, minute 60, second 61, an offset
//   past 23:59), or an instant outside the instant range;
// - "trailing input": anything after the offset;
// - "no possible date and time matching input": a well-formed date the
//   calendar does not have (Feb 30, Feb 29 of a common year, Apr 31).
// Every field of the form is mandatory, so a parsed text always names one
// instant and "input is not enough for unique date and time" never arises.
constexpr Rfc3339Error kInvalid{"input contains invalid characters"};
constexpr Rfc3339Error kTooShort{"premature end of input"};
constexpr Rfc3339Error kTrailing{"trailing input"};
constexpr Rfc3339Error kOutOfRange{"input is out of range"};
constexpr Rfc3339Error kImpossible{"no possible date and time matching input"};

constexpr std::int64_t kSecsPerDay = 86'400;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

class Scanner {
 public:
  explicit Scanner(std::string_view text) noexcept : text_(text) {}

  [[nodiscard]] bool at_end() const noexcept { return pos_ == text_.size(); }
  [[nodiscard]] char peek() const noexcept { return text_[pos_]; }
  void skip() noexcept { ++pos_; }

  // Exactly `count` digits, at most `max`.
  Result<std::uint32_t, Rfc3339Error> number(std::size_t count, std::uint32_t min, std::uint32_t max) noexcept {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (at_end()) return fail(kTooShort);
      if (!is_digit(peek())) return fail(kInvalid);
      value = value * 10 + static_cast<std::uint32_t>(peek() - '0');
      skip();
    }
    if (value < min || value > max) return fail(kOutOfRange);
    return value;
  }

  // One byte out of `allowed`; returns which.
  Result<char, Rfc3339Error> one_of(std::string_view allowed) noexcept {
    if (at_end()) return fail(kTooShort);
    const char c = peek();
    if (allowed.find(c) == std::string_view::npos) return fail(kInvalid);
    skip();
    return c;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

}  // namespace

Result<Instant, Rfc3339Error> parse_rfc3339(std::string_view text) {
  Scanner s(text);
  QR_ASSIGN_OR_RETURN(const std::uint32_t year, s.number(4, 0, 9999));
  QR_TRY(s.one_of("-"));
  QR_ASSIGN_OR_RETURN(const std::uint32_t month, s.number(2, 1, 12));
  QR_TRY(s.one_of("-"));
  QR_ASSIGN_OR_RETURN(const std::uint32_t day, s.number(2, 1, 31));
  QR_TRY(s.one_of("Tt "));
  QR_ASSIGN_OR_RETURN(const std::uint32_t hour, s.number(2, 0, 23));
  QR_TRY(s.one_of(":"));
  QR_ASSIGN_OR_RETURN(const std::uint32_t minute, s.number(2, 0, 59));
  QR_TRY(s.one_of(":"));
  // 60 is a leap second.
  QR_ASSIGN_OR_RETURN(const std::uint32_t second, s.number(2, 0, 60));

  std::uint32_t nanos = 0;
  if (!s.at_end() && s.peek() == '.') {
    s.skip();
    if (s.at_end()) return fail(kTooShort);
    if (!is_digit(s.peek())) return fail(kInvalid);
    // Nine digits are kept; further ones are read and dropped.
    std::uint32_t scale = 100'000'000;
    while (!s.at_end() && is_digit(s.peek())) {
      nanos += static_cast<std::uint32_t>(s.peek() - '0') * scale;
      scale /= 10;
      s.skip();
    }
  }

  std::int64_t offset_secs = 0;
  QR_ASSIGN_OR_RETURN(const char zone, s.one_of("Zz+-"));
  if (zone == '+' || zone == '-') {
    QR_ASSIGN_OR_RETURN(const std::uint32_t off_hour, s.number(2, 0, 23));
    QR_TRY(s.one_of(":"));
    QR_ASSIGN_OR_RETURN(const std::uint32_t off_minute, s.number(2, 0, 59));
    offset_secs = static_cast<std::int64_t>(off_hour) * 3600 + static_cast<std::int64_t>(off_minute) * 60;
    if (zone == '-') offset_secs = -offset_secs;
  }
  if (!s.at_end()) return fail(kTrailing);

  const std::int64_t local_days = days_from_civil(year, month, day);
  if (civil_from_days(local_days) != CivilDate{year, month, day}) return fail(kImpossible);

  // A leap second is held as second 59 with a second's worth of extra nanos;
  // an offset is whole minutes, so it stays on a :59 second in UTC too.
  if (second == 60) nanos += 1'000'000'000;
  const std::int64_t local_secs = static_cast<std::int64_t>(hour) * 3600 + static_cast<std::int64_t>(minute) * 60 +
                                  static_cast<std::int64_t>(second == 60 ? 59 : second);
  const std::int64_t utc = local_days * kSecsPerDay + local_secs - offset_secs;
  const std::int64_t days = floor_div(utc, kSecsPerDay);
  const Instant t{days, static_cast<std::uint32_t>(utc - days * kSecsPerDay), nanos};
  if (t < min_instant() || t > max_instant()) return fail(kOutOfRange);
  return t;
}

}  // namespace quillrun
