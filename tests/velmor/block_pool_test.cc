// The pool behind large data-object arrays: a freed block serves the next array
// of about its size, what it keeps is bounded, and images stored through it read
// back exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "block_pool.h"
#include "velmor.h"

namespace {

using velmor::kPooledBlockMin;
using velmor::kPoolKeepBlocks;
using velmor::kPoolKeepBytes;
using velmor::pooled_allocate;
using velmor::pooled_holding;
using velmor::pooled_release;
using velmor::pooled_trim;

constexpr size_t kMB = 1024 * 1024;

int held_blocks() {
  int n = 0;
  pooled_holding(&n, nullptr);
  return n;
}

size_t held_bytes() {
  size_t n = 0;
  pooled_holding(nullptr, &n);
  return n;
}

TEST(BlockPool, AFreedBlockServesTheNextArrayOfAboutItsSize) {
  pooled_trim();
  ASSERT_EQ(held_blocks(), 0);
  void* block = pooled_allocate(kMB);
  std::memset(block, 1, kMB);
  pooled_release(block, kMB);
  EXPECT_EQ(held_blocks(), 1);
  EXPECT_EQ(held_bytes(), kMB);
  // Much smaller arrays do not take a large block.
  void* small = pooled_allocate(kMB / 2);
  EXPECT_NE(small, block);
  EXPECT_EQ(held_blocks(), 1);
  // A little smaller: the kept block, which goes back with its whole capacity.
  void* shorter = pooled_allocate(kMB - kMB / 8);
  EXPECT_EQ(shorter, block);
  EXPECT_EQ(held_blocks(), 0);
  pooled_release(shorter, kMB - kMB / 8);
  EXPECT_EQ(held_bytes(), kMB);
  void* again = pooled_allocate(kMB);
  EXPECT_EQ(again, block);
  std::memset(again, 2, kMB);  // the whole megabyte is there
  pooled_release(again, kMB);
  pooled_release(small, kMB / 2);
  EXPECT_EQ(held_blocks(), 2);
}

TEST(BlockPool, KeepsAtMostItsBlocksAndBytes) {
  pooled_trim();
  std::vector<void*> blocks;
  for (int i = 0; i < kPoolKeepBlocks + 3; ++i) blocks.push_back(pooled_allocate(kMB));
  for (void* b : blocks) pooled_release(b, kMB);
  EXPECT_EQ(held_blocks(), kPoolKeepBlocks);
  pooled_trim();
  const size_t big = kPoolKeepBytes / 2 + kMB;  // two of these do not fit
  void* a = pooled_allocate(big);
  void* b = pooled_allocate(big);
  pooled_release(a, big);
  pooled_release(b, big);
  EXPECT_EQ(held_blocks(), 1);
  EXPECT_LE(held_bytes(), kPoolKeepBytes);
  // A block larger than everything the pool may keep is never kept.
  pooled_trim();
  void* huge = pooled_allocate(kPoolKeepBytes + kMB);
  pooled_release(huge, kPoolKeepBytes + kMB);
  EXPECT_EQ(held_blocks(), 0);
}

TEST(BlockPool, SmallArraysAndNullAreNotPooled) {
  pooled_trim();
  void* p = pooled_allocate(kPooledBlockMin - 1);
  pooled_release(p, kPooledBlockMin - 1);
  pooled_release(nullptr, kMB);
  EXPECT_EQ(held_blocks(), 0);
}

// Images go through the pool; one object after another must read back exactly
// what it stored, whichever block it was given.
TEST(BlockPool, ImagesStoredThroughThePoolReadBackExactly) {
  velmor::IMH header{};
  for (int round = 0; round < 6; ++round) {
    int length = static_cast<int>(kMB) - round * 4096;
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + round);
    auto* d = new velmor::EqData();
    ASSERT_FALSE(d->set_image(bytes.data(), length, &header, velmor::no));
    velmor::EqData copy;
    ASSERT_FALSE(copy.copy_from(d));
    delete d;
    ASSERT_EQ(copy.get_image_length(), length);
    EXPECT_EQ(std::memcmp(copy.get_image_data(), bytes.data(), bytes.size()), 0);
  }
}

}  // namespace
