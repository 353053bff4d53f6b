#pragma once
// The order of a stable sort without the cost of one. Builders mostly add
// records in time order, so one pass that finds them in order ends the work;
// otherwise the keys are sorted with their indexes (small, contiguous) and
// each record is moved once, to its place.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quillrun/instant.hpp"

namespace quillrun {

// A key and the index of its record: ordered by key, then index, these give
// exactly the order of a stable sort by key.
template <class Key>
struct Keyed {
  Key key;
  std::size_t index;
};

// Ascending by key; equal keys keep the order they come in.
void radix_sort(std::vector<Keyed<std::int64_t>>& keyed);

// order[k] is the index of the time a stable ascending sort puts at k. Radix
// on whole microseconds when every time is a whole microsecond (as every
// time from Python is); times with nanoseconds go by comparison.
[[nodiscard]] std::vector<std::size_t> stable_time_order(std::span<const Instant> times);

// Moves the item at order[k] to k, each once; `order` is used up. Items
// nearly in order move a short way and are permuted in place, within the
// cache. Shuffled ones move far and are gathered into new storage instead:
// there the reads do not depend on one another, so their cache misses
// overlap rather than form one chain.
template <class T>
void apply_order(std::vector<T>& items, std::vector<std::size_t>& order) {
  constexpr std::size_t kNear = 4096;
  std::size_t far = 0;
  for (std::size_t k = 0; k < order.size(); ++k) far += (order[k] > k ? order[k] - k : k - order[k]) > kNear;
  if (far > order.size() / 8) {
    std::vector<T> placed;
    placed.reserve(items.size());
    for (const std::size_t from : order) placed.push_back(std::move(items[from]));
    items = std::move(placed);
    return;
  }
  // Along each cycle the item of `start` is swapped on until it reaches its
  // place, leaving each item it passes in its own.
  for (std::size_t start = 0; start < order.size(); ++start) {
    std::size_t at = start;
    for (std::size_t from = order[at]; from != start; from = order[at]) {
      std::swap(items[at], items[from]);
      order[at] = at;
      at = from;
    }
    order[at] = at;
  }
}

// Exactly std::stable_sort by `time_of` (a const Instant& of an item).
template <class T, class TimeOf>
void stable_sort_by_time(std::vector<T>& items, TimeOf time_of) {
  const auto earlier = [&](const T& a, const T& b) { return time_of(a) < time_of(b); };
  if (std::is_sorted(items.begin(), items.end(), earlier)) return;
  std::vector<Instant> times;
  times.reserve(items.size());
  for (const T& item : items) times.push_back(time_of(item));
  std::vector<std::size_t> order = stable_time_order(times);
  apply_order(items, order);
}

// Exactly std::stable_sort by `key_of`, for keys that are not times: a
// comparison sort of the keys with an index tie-break.
template <class T, class KeyOf>
void stable_sort_by_key(std::vector<T>& items, KeyOf key_of) {
  const auto before = [&](const T& a, const T& b) { return key_of(a) < key_of(b); };
  if (std::is_sorted(items.begin(), items.end(), before)) return;
  using Key = decltype(key_of(items.front()));
  std::vector<Keyed<Key>> keyed;
  keyed.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) keyed.push_back(Keyed<Key>{key_of(items[i]), i});
  std::sort(keyed.begin(), keyed.end(), [](const Keyed<Key>& a, const Keyed<Key>& b) {
    return a.key < b.key || (!(b.key < a.key) && a.index < b.index);
  });
  std::vector<std::size_t> order;
  order.reserve(keyed.size());
  for (const Keyed<Key>& k : keyed) order.push_back(k.index);
  apply_order(items, order);
}

}  // namespace quillrun
