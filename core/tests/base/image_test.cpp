#include "quillrun/image.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/pages.hpp"

namespace quillrun {
namespace {

// Sizes around the slices the copy gives memory back by, and a block
// larger than the file, as the library leaves it.
class ImageMove : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ImageMove, CopiesEveryByteOnceAndEmptiesTheImage) {
  const std::size_t size = GetParam();
  const std::size_t capacity = size + 70'000;
  void* block = pages::allocate(capacity);
  ASSERT_NE(block, nullptr);
  std::vector<std::uint8_t> expected(size);
  for (std::size_t i = 0; i < size; ++i) expected[i] = static_cast<std::uint8_t>(i * 131 + i / 4099);
  if (size > 0) std::memcpy(block, expected.data(), size);
  Image image = Image::adopt(block, capacity, size);
  ASSERT_EQ(image.size(), size);
  Image moved = std::move(image);
  EXPECT_EQ(image.size(), 0u);
  EXPECT_EQ(std::move(moved).to_vector(), expected);
  EXPECT_EQ(moved.size(), 0u);
  EXPECT_TRUE(moved.bytes().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ImageMove,
                         ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{128} * 65536 - 1,
                                           std::size_t{128} * 65536, std::size_t{3} * 128 * 65536 + 12345),
                         [](const ::testing::TestParamInfo<std::size_t>& case_info) {
                           return std::to_string(case_info.param) + "_bytes";
                         });

}  // namespace
}  // namespace quillrun
