// Whether two generator states continue the sequence identically: the same shuffle
// table and previous output, and the same pending deviate to the last bit when one is
// pending (a stale value in an empty slot does not matter).
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>

#include "numerics/random_state.h"

inline ::testing::AssertionResult sameGeneratorState(const tolvane::random::GeneratorState& a,
                                                     const tolvane::random::GeneratorState& b) {
  if (std::memcmp(a.table, b.table, sizeof a.table) != 0)
    return ::testing::AssertionFailure() << "the shuffle tables differ";
  if (a.previous != b.previous)
    return ::testing::AssertionFailure()
           << "previous outputs " << a.previous << " and " << b.previous;
  if (a.deviatePending != b.deviatePending)
    return ::testing::AssertionFailure() << "a deviate is pending in only one state";
  if (a.deviatePending && std::bit_cast<std::uint32_t>(a.pendingDeviate) !=
                              std::bit_cast<std::uint32_t>(b.pendingDeviate))
    return ::testing::AssertionFailure()
           << "pending deviates " << a.pendingDeviate << " and " << b.pendingDeviate;
  return ::testing::AssertionSuccess();
}
