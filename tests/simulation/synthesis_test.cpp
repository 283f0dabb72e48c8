#include "simulation/synthesis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "numerics/random.h"
#include "numerics/random_state.h"
#include "tests/simulation/reference_passes.h"
#include "tests/support/generator_state.h"

using tolvane::random::GeneratorState;
using tolvane::random::generatorState;
using tolvane::simulation::gridIndex;
using tolvane::simulation::VtcGrid;

namespace {

constexpr tolvane::simulation::Levels kPluginLevels{100.0f, 5.0f};

// The noise pass, on every vector path, against the plain loop from the same generator
// state: every value, then the state both leave behind. The pass's storage starts
// `offset` floats into an allocation with room around it, which must stay untouched.
void expectNoiseMatchesThePlainLoop(const reference::Grid& g, const GeneratorState& start, int seed,
                                    std::size_t offset = 0) {
  const std::size_t values = static_cast<std::size_t>(g.dimX) * g.dimY * g.dimZ * g.nT;
  std::vector<float> plain(values, -1.0f);
  generatorState() = start;
  int plainSeed = seed;
  reference::noise(g, plain, &plainSeed);
  const GeneratorState afterPlain = generatorState();

  // The pass continues the stream it is given, not the process-wide one, which it
  // must leave as it found it.
  generatorState() = GeneratorState{};
  constexpr std::size_t kMargin = 32;
  for (const auto path : tolvane::cpu::availableVectorPaths()) {
    SCOPED_TRACE(tolvane::cpu::nameOf(path));
    std::vector<float> storage(offset + values + kMargin, -2.0f);
    float* fast = storage.data() + offset;
    GeneratorState fastState = start;
    int fastSeed = seed;
    tolvane::simulation::fillNoise(VtcGrid{fast, g.dimX, g.dimY, g.dimZ, g.nT, 0, 0, 0, 1},
                                   kPluginLevels, {fastState, &fastSeed}, {}, path);

    EXPECT_EQ(std::memcmp(plain.data(), fast, values * sizeof(float)), 0);
    EXPECT_EQ(std::count(storage.begin(), storage.begin() + offset, -2.0f), offset);
    EXPECT_EQ(std::count(fast + values, storage.data() + storage.size(), -2.0f), kMargin);
    EXPECT_EQ(plainSeed, fastSeed);
    EXPECT_TRUE(sameGeneratorState(afterPlain, fastState));
  }
  EXPECT_TRUE(sameGeneratorState(GeneratorState{}, generatorState()));
}

// Part-way through the sequence with a deviate pending, as after an odd number of draws.
GeneratorState pendingState(int& seed) {
  generatorState() = GeneratorState{};
  seed = -1;
  for (int i = 0; i < 333; ++i) gasdev(&seed);
  return generatorState();
}

}  // namespace

TEST(GridIndex, RoundsHalfUpAndFloorsNegativeQuotients) {
  // Resolution 2: quotients 0.5, -0.5, -1.5; resolution 5: -0.6.
  EXPECT_EQ(gridIndex(1, 0, 2), 1);
  EXPECT_EQ(gridIndex(-1, 0, 2), 0);
  EXPECT_EQ(gridIndex(-3, 0, 2), -1);
  EXPECT_EQ(gridIndex(-3, 0, 5), -1);
  EXPECT_EQ(gridIndex(128, 57, 3), 24);  // 23.67
  EXPECT_EQ(gridIndex(57, 57, 3), 0);
}

TEST(VtcLayout, ElementIndexIsComputedIn64Bits) {
  // 1000 time points on a 1 mm grid of 256^3 voxels: about 1.7e10 elements.
  const VtcGrid grid{nullptr, 256, 256, 256, 1000, 0, 0, 0, 1};
  EXPECT_EQ(grid.timeCourseOffset(255, 255, 255), (std::int64_t{256} * 256 * 256 - 1) * 1000);
  EXPECT_EQ(grid.voxelCount(), std::int64_t{1} << 24);
  EXPECT_FALSE(grid.contains(256, 0, 0));
  EXPECT_FALSE(grid.contains(0, -1, 0));
}

TEST(NoisePass, ReportsProgressEveryTenTimePointsAndOnceAtTheEnd) {
  std::vector<std::pair<int, int>> reports;
  const auto record = [&](int done, int total) { reports.emplace_back(done, total); };
  std::vector<float> data(2 * 25);
  int seed = -1;
  GeneratorState state;
  tolvane::simulation::fillNoise(VtcGrid{data.data(), 2, 1, 1, 25, 0, 0, 0, 1}, kPluginLevels,
                                 {state, &seed}, record);
  EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{10, 25}, {20, 25}, {25, 25}}));
  // A run of a multiple of ten reports its end once; a run of one time point only that.
  for (const int timePoints : {20, 1}) {
    reports.clear();
    data.assign(2 * static_cast<std::size_t>(timePoints), 0.0f);
    tolvane::simulation::fillNoise(VtcGrid{data.data(), 2, 1, 1, timePoints, 0, 0, 0, 1},
                                   kPluginLevels, {state, &seed}, record);
    EXPECT_EQ(reports.back(), std::make_pair(timePoints, timePoints));
    EXPECT_EQ(reports.size(), static_cast<std::size_t>(timePoints / 10 + (timePoints % 10 > 0)));
  }
}

TEST(NoisePass, MatchesThePlainLoopFromAPendingDeviateAndFromARestart) {
  // Odd voxel and time point counts: the pass ends with a deviate pending.
  const reference::Grid g{7, 5, 3, 9, 0, 0, 0, 1};
  int seed = 0;
  const GeneratorState pending = pendingState(seed);
  ASSERT_TRUE(pending.deviatePending);
  expectNoiseMatchesThePlainLoop(g, pending, seed);
  expectNoiseMatchesThePlainLoop(g, pending, -1);  // a restart requested as the pass starts
  expectNoiseMatchesThePlainLoop(g, GeneratorState{}, -1);
}

TEST(NoisePass, MatchesThePlainLoopAtEveryLinePhaseAndRoundLength) {
  // 45 voxels: whole vector groups of deviates and a rest on every path, and phase
  // classes smaller than a group of the line ring. The time point counts give courses
  // shorter than a line (5), whole lines only (16, 32) and partial lines at both ends
  // (41, 100); the offsets put the first course at every position in a cache line, and
  // with an odd count every voxel's course starts at a different one.
  const GeneratorState fresh{};
  for (const int timePoints : {5, 16, 32, 41, 100}) {
    for (std::size_t offset = 0; offset < 16; ++offset) {
      SCOPED_TRACE(testing::Message() << timePoints << " time points, offset " << offset);
      expectNoiseMatchesThePlainLoop({5, 3, 3, timePoints, 0, 0, 0, 1}, fresh, -1, offset);
    }
  }
}

TEST(NoisePass, MatchesThePlainLoopWhenThePhaseClassesFillWholeGroups) {
  // 1296 voxels: the line ring's phase classes hold whole groups of eight and a rest,
  // and its staging row whole blocks for 250 (eight classes), 41 (sixteen) and 24 (two)
  // time points.
  const GeneratorState fresh{};
  for (const int timePoints : {250, 41, 24}) {
    for (const std::size_t offset : {0, 5, 15}) {
      SCOPED_TRACE(testing::Message() << timePoints << " time points, offset " << offset);
      expectNoiseMatchesThePlainLoop({16, 9, 9, timePoints, 0, 0, 0, 1}, fresh, -1, offset);
    }
  }
}

TEST(NoisePass, MatchesThePlainLoopOnAGridLargerThanTheWorkArea) {
  // 5.6 million voxels of three time points: a block of even two time points for every
  // voxel needs more than the work area may take (32 MiB + 1/8 of the VTC), so part of
  // each time point is written directly; the third time point is a block of its own.
  const reference::Grid g{200, 200, 140, 3, 0, 0, 0, 1};
  int seed = 0;
  const GeneratorState pending = pendingState(seed);
  expectNoiseMatchesThePlainLoop(g, pending, seed);
}
