#include "simulation/synthesis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tolvane::simulation::gridIndex;
using tolvane::simulation::VtcGrid;

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

TEST(NoisePass, LogsProgressEveryTenTimePointsAndOnceAtTheEnd) {
  std::vector<std::string> lines;
  const auto log = [&](const char* line) { lines.emplace_back(line); };
  std::vector<float> data(2 * 25);
  int seed = -1;
  tolvane::simulation::fillNoise(VtcGrid{data.data(), 2, 1, 1, 25, 0, 0, 0, 1}, &seed, log);
  EXPECT_EQ(lines, (std::vector<std::string>{"// Plugin>    10 / 25 ...", "// Plugin>    20 / 25 ...",
                                             "// Plugin>    25 / 25 ..."}));
  lines.clear();
  tolvane::simulation::fillNoise(VtcGrid{data.data(), 2, 1, 1, 1, 0, 0, 0, 1}, &seed, log);
  EXPECT_EQ(lines, std::vector<std::string>{"// Plugin>    1 / 1 ..."});
}
