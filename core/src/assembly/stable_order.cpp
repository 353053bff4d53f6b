#include "assembly/stable_order.hpp"

#include <array>
#include <memory>

namespace quillrun {

void radix_sort(std::vector<Keyed<std::int64_t>>& keyed) {
  const std::size_t n = keyed.size();
  if (n < 2) return;
  constexpr unsigned kDigitBits = 8;
  constexpr std::size_t kDigits = 64 / kDigitBits;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  // Flipping the sign bit makes unsigned order the signed order.
  const auto biased = [](std::int64_t key) { return static_cast<std::uint64_t>(key) ^ (std::uint64_t{1} << 63); };
  const auto digit = [](std::uint64_t u, std::size_t d) {
    return static_cast<std::size_t>((u >> (d * kDigitBits)) & (kBuckets - 1));
  };

  std::array<std::array<std::size_t, kBuckets>, kDigits> counts{};
  for (const Keyed<std::int64_t>& k : keyed) {
    const std::uint64_t u = biased(k.key);
    for (std::size_t d = 0; d < kDigits; ++d) ++counts[d][digit(u, d)];
  }

  auto spare = std::make_unique_for_overwrite<Keyed<std::int64_t>[]>(n);
  Keyed<std::int64_t>* from = keyed.data();
  Keyed<std::int64_t>* to = spare.get();
  const std::uint64_t first = biased(keyed.front().key);
  for (std::size_t d = 0; d < kDigits; ++d) {
    // A digit all keys share moves nothing; times of one trace share most.
    if (counts[d][digit(first, d)] == n) continue;
    std::array<std::size_t, kBuckets> next{};
    std::size_t sum = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
      next[b] = sum;
      sum += counts[d][b];
    }
    for (std::size_t i = 0; i < n; ++i) to[next[digit(biased(from[i].key), d)]++] = from[i];
    std::swap(from, to);
  }
  if (from != keyed.data()) std::copy(from, from + n, keyed.data());
}

std::vector<std::size_t> stable_time_order(std::span<const Instant> times) {
  std::vector<std::size_t> order;
  order.reserve(times.size());
  // Only there is the microsecond count one-to-one with the instant and in
  // its order: a leap-second instant counts past the next second's start.
  const bool whole_micros = std::all_of(times.begin(), times.end(), [](const Instant& t) {
    return t.nanos % 1000 == 0 && t.nanos < 1'000'000'000;
  });
  if (whole_micros) {
    std::vector<Keyed<std::int64_t>> keyed;
    keyed.reserve(times.size());
    for (std::size_t i = 0; i < times.size(); ++i) keyed.push_back(Keyed<std::int64_t>{us(times[i]), i});
    radix_sort(keyed);
    for (const Keyed<std::int64_t>& k : keyed) order.push_back(k.index);
    return order;
  }
  std::vector<Keyed<Instant>> keyed;
  keyed.reserve(times.size());
  for (std::size_t i = 0; i < times.size(); ++i) keyed.push_back(Keyed<Instant>{times[i], i});
  std::sort(keyed.begin(), keyed.end(), [](const Keyed<Instant>& a, const Keyed<Instant>& b) {
    return a.key != b.key ? a.key < b.key : a.index < b.index;
  });
  for (const Keyed<Instant>& k : keyed) order.push_back(k.index);
  return order;
}

}  // namespace quillrun
