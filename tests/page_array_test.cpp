// The page-mapped array: contents survive growing and shrinking, fresh pages
// read as zero, and ownership moves with the array.

#include "page_array.h"

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

// Advice on page size applies to the whole mapping, so that it can still be
// resized: values survive growing with huge pages preferred, and shrinking
// after they no longer are. A preferred array spans whole huge pages,
// which is what lets Linux place it on their boundaries.
TEST(PageArray, KeepsValuesWhilePreferringHugePages) {
  PageArray<std::uint32_t> array;
  array.resize(100000);  // many pages, which advice on part of would split
  for (std::uint32_t i = 0; i < array.size(); ++i) array[i] = i;
  array.prefer_huge_pages(true);
  for (std::uint32_t i = 100000; i < 3000000; ++i) array.push_back(i);  // remaps, each advised again
  EXPECT_EQ(array.capacity() * sizeof(std::uint32_t) % (std::size_t{2} << 20), 0U);
  for (std::uint32_t i = 0; i < array.size(); ++i) ASSERT_EQ(array[i], i) << i;

  array.prefer_huge_pages(false);
  array.resize(5000);
  array.shrink_to(0);  // a remap, of the whole mapping
  EXPECT_LT(array.capacity(), std::size_t{1} << 20);
  for (std::uint32_t i = 0; i < 5000; ++i) ASSERT_EQ(array[i], i) << i;

  PageArray<std::uint32_t> fresh;
  fresh.prefer_huge_pages(true);  // before its first mapping
  fresh.resize(1000000);
  for (const std::uint32_t value : fresh.span()) ASSERT_EQ(value, 0U);
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
