#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "assembly/stable_order.hpp"
#include "quillrun/trace.hpp"

namespace quillrun {
namespace {

constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

// How the input is laid out before ordering.
// NearlySorted: sorted, then every tenth value moved 300 places on, as
// host-only reports stand among receiver times.
enum class Shape { Random, Sorted, Reversed, NearlySorted };

struct Case {
  const char* name;
  std::size_t n;
  std::size_t distinct;  // 0: keys drawn from the whole range
  Shape shape;
};
// A failure names the case rather than dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

const Case kCases[] = {
    {"empty", 0, 0, Shape::Random},
    {"one", 1, 0, Shape::Random},
    {"two_equal", 2, 1, Shape::Random},
    {"all_equal", 500, 1, Shape::Random},
    {"many_ties", 5000, 7, Shape::Random},
    {"some_ties", 70'000, 3000, Shape::Random},
    {"whole_range", 70'000, 0, Shape::Random},
    {"sorted_with_ties", 5000, 40, Shape::Sorted},
    {"reversed_with_ties", 5000, 40, Shape::Reversed},
    {"reversed_distinct", 5000, 0, Shape::Reversed},
    {"nearly_sorted", 20'000, 0, Shape::NearlySorted},
    {"nearly_sorted_with_ties", 20'000, 500, Shape::NearlySorted},
};

// `n` values out of `pool`, or drawn by `any` when the pool is empty, laid
// out as the case says; std::sort leaves equal values in no fixed order, so
// stability is still tested on the sorted and reversed shapes.
template <class T, class Any>
std::vector<T> arrange(const Case& c, const std::vector<T>& pool, std::mt19937_64& rng, Any any) {
  std::vector<T> values;
  std::uniform_int_distribution<std::size_t> pick(0, pool.empty() ? 0 : pool.size() - 1);
  for (std::size_t i = 0; i < c.n; ++i) values.push_back(pool.empty() ? any(rng) : pool[pick(rng)]);
  if (c.shape != Shape::Random) std::sort(values.begin(), values.end());
  if (c.shape == Shape::Reversed) std::reverse(values.begin(), values.end());
  if (c.shape == Shape::NearlySorted) {
    for (std::size_t i = 0; i + 301 <= values.size(); i += 10)
      std::rotate(values.begin() + static_cast<std::ptrdiff_t>(i), values.begin() + static_cast<std::ptrdiff_t>(i + 1),
                  values.begin() + static_cast<std::ptrdiff_t>(i + 301));
  }
  return values;
}

template <class T, class Any>
std::vector<T> pool_of(const Case& c, std::mt19937_64& rng, std::vector<T> extremes, Any any) {
  if (c.distinct == 0) return {};
  std::vector<T> pool = std::move(extremes);
  pool.resize(std::min(pool.size(), c.distinct));
  while (pool.size() < c.distinct) pool.push_back(any(rng));
  return pool;
}

// Indexes in the order std::stable_sort gives them.
template <class T>
std::vector<std::size_t> stable_indexes(const std::vector<T>& keys) {
  std::vector<std::size_t> order(keys.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
  return order;
}

class StableOrder : public testing::TestWithParam<Case> {};

TEST_P(StableOrder, RadixSortOfInt64KeysIsTheStableOrder) {
  std::mt19937_64 rng(11);
  const auto any = [](std::mt19937_64& r) { return static_cast<std::int64_t>(r()); };
  const std::vector<std::int64_t> pool = pool_of<std::int64_t>(GetParam(), rng, {kMin64, kMax64, -1, 0, 1}, any);
  const std::vector<std::int64_t> keys = arrange(GetParam(), pool, rng, any);

  std::vector<Keyed<std::int64_t>> keyed;
  for (std::size_t i = 0; i < keys.size(); ++i) keyed.push_back({keys[i], i});
  radix_sort(keyed);
  std::vector<std::size_t> got;
  for (const auto& k : keyed) got.push_back(k.index);
  EXPECT_EQ(got, stable_indexes(keys));
}

// Whole microseconds (the radix path), before and after 1970 and at both
// ends of the range; then leap-second instants, whose microsecond count
// passes the next second's start although they come before it, and
// instants a nanosecond apart inside one microsecond (the comparison path).
enum class Times { WholeMicros, LeapSeconds, Nanos };

TEST_P(StableOrder, TimeOrderIsTheStableOrder) {
  for (const Times kind : {Times::WholeMicros, Times::LeapSeconds, Times::Nanos}) {
    std::mt19937_64 rng(20 + static_cast<unsigned>(kind));
    const std::int64_t lo = us(min_instant());
    const std::int64_t hi = us(max_instant());
    const auto any = [&](std::mt19937_64& r) {
      Instant t = *instant_from_us(std::uniform_int_distribution<std::int64_t>(lo, hi)(r));
      if (kind == Times::LeapSeconds && r() % 3 == 0) t.nanos += 1'000'000'000;
      if (kind == Times::Nanos) t.nanos += static_cast<std::uint32_t>(r() % 999);
      return t;
    };
    std::vector<Instant> extremes = {min_instant(), *instant_from_us(hi), *instant_from_us(-1), *instant_from_us(0)};
    if (kind == Times::LeapSeconds) extremes = {Instant{10, 86'399, 1'500'000'000}, Instant{11, 0, 0}};
    if (kind == Times::Nanos) extremes = {Instant{-3, 5, 7}, Instant{-3, 5, 8}, max_instant()};
    const std::vector<Instant> pool = pool_of<Instant>(GetParam(), rng, extremes, any);
    const std::vector<Instant> times = arrange(GetParam(), pool, rng, any);
    EXPECT_EQ(stable_time_order(times), stable_indexes(times)) << "times kind " << static_cast<int>(kind);
  }
}

// Records keyed by their first time whatever their kind: a host-only record
// sorts by its host time among receiver times. Each record is moved to its
// place whole.
TEST_P(StableOrder, RecordsOfMixedTimeKindsEndAsAStableSortLeavesThem) {
  std::mt19937_64 rng(31);
  const std::int64_t t0 = us(*make_instant(2024, 5, 1, 8, 0, 0));
  const auto any = [&](std::mt19937_64& r) { return *instant_from_us(t0 + static_cast<std::int64_t>(r() % 10'000'000)); };
  const std::vector<Instant> pool = pool_of<Instant>(GetParam(), rng, {}, any);
  const std::vector<Instant> times = arrange(GetParam(), pool, rng, any);

  std::vector<NavFix> fixes;
  for (std::size_t i = 0; i < times.size(); ++i) {
    NavFix f;
    f.lat = static_cast<double>(i);
    switch (i % 3) {
      case 0: f.times = Timestamps::both(times[i], *instant_from_us(t0 - static_cast<std::int64_t>(i))); break;
      case 1: f.times = Timestamps::host_only(times[i]); break;
      default: f.times = Timestamps::receiver_only(times[i]); break;
    }
    fixes.push_back(f);
  }
  std::vector<NavFix> expected = fixes;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const NavFix& a, const NavFix& b) { return a.times.first < b.times.first; });
  stable_sort_by_time(fixes, [](const NavFix& f) -> const Instant& { return f.times.first; });
  EXPECT_EQ(fixes, expected);
}

// Names compare as unsigned bytes, a prefix first.
TEST_P(StableOrder, KeysThatAreNotTimesEndAsAStableSortLeavesThem) {
  std::mt19937_64 rng(41);
  const auto any = [](std::mt19937_64& r) {
    std::string name(r() % 4, 'a');
    for (char& ch : name) ch = static_cast<char>("a\x7f\x80\xff"[r() % 4]);
    return name;
  };
  const std::vector<std::string> pool = pool_of<std::string>(GetParam(), rng, {"", "a", "ab", "\xff"}, any);
  const std::vector<std::string> names = arrange(GetParam(), pool, rng, any);

  struct Named {
    std::string name;
    std::size_t tag;
    bool operator==(const Named&) const = default;
  };
  std::vector<Named> items;
  for (std::size_t i = 0; i < names.size(); ++i) items.push_back({names[i], i});
  std::vector<Named> expected = items;
  std::stable_sort(expected.begin(), expected.end(), [](const Named& a, const Named& b) { return a.name < b.name; });
  stable_sort_by_key(items, [](const Named& x) { return std::string_view(x.name); });
  EXPECT_EQ(items, expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, StableOrder, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace quillrun
