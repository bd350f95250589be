// The batch loops, shared by every kernel. This header is included by one
// source file per kernel, each compiled with its own flags, so it calls
// nothing out of line whose copies could mix up instruction sets at link
// time (key_hash::mix is always inlined).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tally/batch_kernel.h"
#include "tally/key_hash.h"

namespace diagonal_picks::batch_detail {
namespace {

void mix(const std::int32_t* keys, std::uint32_t* mixed, std::size_t count, key_hash::Seed seed) {
  for (std::size_t i = 0; i < count; ++i) mixed[i] = key_hash::mix(static_cast<std::uint32_t>(keys[i]), seed);
}

void range(const std::int32_t* keys, std::size_t count, KeyRange& range) {
  std::int32_t low = keys[0];
  std::int32_t high = keys[0];
  std::uint32_t varying = 0;
  const auto first = static_cast<std::uint32_t>(keys[0]);
  for (std::size_t i = 1; i < count; ++i) {  // no early exit, so that it vectorises
    low = keys[i] < low ? keys[i] : low;
    high = keys[i] > high ? keys[i] : high;
    varying |= static_cast<std::uint32_t>(keys[i]) ^ first;
  }
  range = {low, high, varying};
}

}  // namespace
}  // namespace diagonal_picks::batch_detail
