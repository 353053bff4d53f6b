#pragma once
// Test helper: seeded, reproducible damage to a valid image — bit flips,
// truncations and zeroed ranges. Only mt19937_64's output is used (its
// sequence is fixed by the standard), so a seed names the same damage on
// every platform.

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace quillrun::testing {

inline std::vector<std::uint8_t> mutate(std::vector<std::uint8_t> image, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto below = [&rng](std::uint64_t n) { return n == 0 ? 0 : rng() % n; };
  if (image.empty()) return image;
  // Half the damage lands in the first 4 KiB, where the superblock and the
  // root's object header live; the rest anywhere.
  const auto offset = [&]() -> std::size_t {
    const std::uint64_t span = (rng() & 1U) != 0 ? std::min<std::uint64_t>(image.size(), 4096) : image.size();
    return static_cast<std::size_t>(below(span));
  };
  switch (seed % 3) {
    case 0: {
      const std::uint64_t flips = 1 + below(8);
      for (std::uint64_t i = 0; i < flips; ++i) image[offset()] ^= static_cast<std::uint8_t>(1U << below(8));
      break;
    }
    case 1:
      image.resize(static_cast<std::size_t>(below(image.size())));
      break;
    default: {
      const std::size_t at = offset();
      const std::size_t length = std::min<std::size_t>(image.size() - at, 1 + below(64));
      std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at), length, std::uint8_t{0});
      break;
    }
  }
  return image;
}

}  // namespace quillrun::testing
