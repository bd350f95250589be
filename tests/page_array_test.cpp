// The page-mapped array: contents survive growing and shrinking, fresh pages
// read as zero, and ownership moves with the array.

#include "tally/page_array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace diagonal_picks {
namespace {

TEST(PageArray, KeepsValuesWhileGrowingAndShrinking) {
  PageArray<std::uint64_t> array;
  EXPECT_TRUE(array.empty());
  for (std::uint64_t i = 0; i < 300000; ++i) array.push_back(i * 3);  // many remaps
  ASSERT_EQ(array.size(), 300000U);
  for (std::uint64_t i = 0; i < array.size(); ++i) ASSERT_EQ(array[i], i * 3) << i;

  array.resize(1000);
  array.shrink_to(0);  // gives back the pages beyond the size only
  EXPECT_LT(array.capacity(), 300000U);
  EXPECT_GE(array.capacity(), 1000U);
  for (std::uint64_t i = 0; i < 1000; ++i) ASSERT_EQ(array[i], i * 3);

  array.clear();
  array.shrink_to(0);
  EXPECT_EQ(array.capacity(), 0U);
  array.push_back(7);  // usable again after giving everything back
  EXPECT_EQ(array[0], 7U);
}

TEST(PageArray, FreshPagesReadAsZero) {
  PageArray<std::uint32_t> array;
  array.resize(100000);
  for (const std::uint32_t value : array.span()) ASSERT_EQ(value, 0U);
}

TEST(PageArray, MovesOwnership) {
  PageArray<int> first;
  first.resize(5000);
  first[4999] = 42;
  PageArray<int> second(std::move(first));
  EXPECT_EQ(second.size(), 5000U);
  EXPECT_EQ(second[4999], 42);
  PageArray<int> third;
  third.resize(10);
  third = std::move(second);  // gives back its own mapping, takes the other
  EXPECT_EQ(third.size(), 5000U);
  EXPECT_EQ(third[4999], 42);
}

}  // namespace
}  // namespace diagonal_picks
