// The batched deviates behind the noise pass must be the plain gasdev sequence to the
// last bit, and must leave the generator exactly where the plain calls leave it, on
// every vector path this machine runs.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "numerics/random.h"
#include "numerics/random_state.h"
#include "tests/support/generator_state.h"

namespace {

using tolvane::random::GeneratorState;
using tolvane::random::generatorState;
using tolvane::cpu::VectorPath;

struct Outcome {
  std::vector<float> values;
  int seed;
  GeneratorState state;
};

constexpr std::ptrdiff_t kStride = 3;
constexpr float kScale = 5.0f, kOffset = 100.0f;

Outcome plainCalls(const GeneratorState& start, int seed, std::size_t count) {
  generatorState() = start;
  std::vector<float> values(count * kStride, -1.0f);
  for (std::size_t k = 0; k < count; ++k) values[k * kStride] = kScale * gasdev(&seed) + kOffset;
  return {values, seed, generatorState()};
}

Outcome batch(const GeneratorState& start, int seed, std::size_t count, VectorPath path,
              std::ptrdiff_t stride = kStride) {
  generatorState() = start;
  std::vector<float> values(count * kStride, -1.0f);
  tolvane::random::fillScaledDeviates(generatorState(), &seed, count,
                                      {values.data(), stride, kScale, kOffset}, path);
  if (stride != kStride) {  // spread out like the plain calls' values, for comparison
    std::vector<float> spread(count * kStride, -1.0f);
    for (std::size_t k = 0; k < count; ++k) spread[k * kStride] = values[k * stride];
    values = spread;
  }
  return {values, seed, generatorState()};
}

void expectIdentical(const Outcome& plain, const Outcome& fast) {
  ASSERT_EQ(plain.values.size(), fast.values.size());
  if (!plain.values.empty()) {
    EXPECT_EQ(std::memcmp(plain.values.data(), fast.values.data(), plain.values.size() * 4), 0);
  }
  EXPECT_EQ(plain.seed, fast.seed);
  EXPECT_TRUE(sameGeneratorState(plain.state, fast.state));
}

// Every vector path, storing with a stride and contiguously.
void expectBatchesMatch(const GeneratorState& start, int seed, std::size_t count) {
  const Outcome plain = plainCalls(start, seed, count);
  for (const VectorPath path : tolvane::cpu::availableVectorPaths())
    for (const std::ptrdiff_t stride : {kStride, std::ptrdiff_t{1}}) {
      SCOPED_TRACE(testing::Message() << tolvane::cpu::nameOf(path) << " path, stride " << stride
                                      << ", " << count << " values");
      expectIdentical(plain, batch(start, seed, count, path, stride));
    }
}

// A state part-way through the sequence, with or without a pending deviate.
GeneratorState midSequence(bool pending, int& seed) {
  generatorState() = GeneratorState{};
  seed = -1;
  for (int i = 0; i < 1001 + (pending ? 0 : 1); ++i) gasdev(&seed);
  return generatorState();
}

// Counts around the batch's chunking of 2048 pairs, odd and even.
const std::size_t kCounts[] = {0, 1, 2, 3, 4095, 4096, 4097, 8193, 20001};

}  // namespace

TEST(BatchedDeviates, FreshRestartMatchesThePlainCalls) {
  for (std::size_t count : kCounts) expectBatchesMatch(GeneratorState{}, -1, count);
}

TEST(BatchedDeviates, StartWithAPendingDeviateMatchesThePlainCalls) {
  int seed = 0;
  const GeneratorState start = midSequence(true, seed);
  ASSERT_TRUE(start.deviatePending);
  for (std::size_t count : kCounts) expectBatchesMatch(start, seed, count);
}

TEST(BatchedDeviates, RestartRequestAtTheStartMatchesThePlainCalls) {
  int seed = 0;
  for (bool pending : {false, true}) {
    const GeneratorState start = midSequence(pending, seed);
    for (int restart : {-1, 0, INT_MIN})
      for (std::size_t count : kCounts) expectBatchesMatch(start, restart, count);
  }
}

TEST(BatchedDeviates, UnusualPositiveSeedsMatchThePlainCalls) {
  // The largest positive seed steps to 0, which restarts the sequence on the next draw.
  int seed = 0;
  const GeneratorState start = midSequence(false, seed);
  for (int unusual : {INT_MAX, INT_MAX - 1, 1}) expectBatchesMatch(start, unusual, 5001);
}

TEST(BatchedDeviates, ConsecutiveBatchesContinueOneSequence) {
  const Outcome plain = plainCalls(GeneratorState{}, -1, 3 * 777);
  generatorState() = GeneratorState{};
  int seed = -1;
  std::vector<float> values(3 * 777 * kStride, -1.0f);
  for (int part = 0; part < 3; ++part)
    tolvane::random::fillScaledDeviates(
        generatorState(), &seed, 777,
        {values.data() + part * 777 * kStride, kStride, kScale, kOffset});
  EXPECT_EQ(std::memcmp(plain.values.data(), values.data(), values.size() * 4), 0);
  EXPECT_EQ(plain.seed, seed);
}

TEST(BatchedDeviates, FoldedProductIsTheExactResidueForLargeFactors) {
  // The batch steps interleaved sequences with powers of the multiplier, which need not
  // be below 2^29; the fold must still give the exact residue for every generator value.
  using tolvane::random::kModulus;
  constexpr std::uint64_t kPower32 = [] {
    std::uint64_t power = 1;
    for (int i = 0; i < 32; ++i) power = power * 16807 % kModulus;
    return power;
  }();
  constexpr std::uint64_t kLargest = kModulus - 1;
  const auto exact = [](std::uint64_t factor, int s) {
    return static_cast<int>(factor * static_cast<std::uint64_t>(s) % kModulus);
  };
  std::vector<int> values = {1, 2, 3, 127773, 1 << 30, kModulus - 2, kModulus - 1};
  for (std::uint32_t s = 1; values.size() < 100000; s = s * 2654435761u + 12345u)
    if (s % kModulus != 0) values.push_back(static_cast<int>(s % kModulus));
  for (const int s : values) {
    ASSERT_EQ(tolvane::random::foldedProduct<kPower32>(s), exact(kPower32, s)) << s;
    ASSERT_EQ(tolvane::random::foldedProduct<kLargest>(s), exact(kLargest, s)) << s;
    ASSERT_EQ(tolvane::random::foldedProduct<16807>(s), exact(16807, s)) << s;
  }
}
