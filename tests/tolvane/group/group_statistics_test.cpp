// Fixed effects and the second level on values built so that the answer is known:
// weights that favour the precise run, a covariate the data follow exactly, and voxels
// whose statistics are undefined.
#include "tolvane/group/group_statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace tolvane::group;

namespace {

// Maps are stored in single precision.
constexpr double kFloatRelative = 1e-6;

TEST(FixedEffects, WeighRunsByTheirPrecisionAndGiveExactFitsNoT) {
  // Voxel 0: estimates 1 and 4 with variances 1 and 2, so weights 1 and 1/2:
  // effect (1 + 2) / 1.5 = 2, variance 1 / 1.5. Voxel 1: the second run fitted exactly.
  const std::vector<RunEstimate> runs{{{1.0, 3.0}, {1.0, 1.0}, 100},
                                      {{4.0, 5.0}, {2.0, 0.0}, 120}};
  const StatisticMaps maps = fixedEffects(runs);
  EXPECT_EQ(maps.degreesOfFreedom, 220);
  EXPECT_NEAR(maps.effect[0], 2.0, 2.0 * kFloatRelative);
  EXPECT_NEAR(maps.variance[0], 1.0 / 1.5, kFloatRelative);
  EXPECT_NEAR(maps.t[0], 2.0 / std::sqrt(1.0 / 1.5), 3.0 * kFloatRelative);
  EXPECT_TRUE(maps.p.empty());
  EXPECT_FLOAT_EQ(maps.effect[1], 4.0f);  // the plain mean
  EXPECT_EQ(maps.variance[1], 0.0f);
  EXPECT_TRUE(std::isnan(maps.t[1]));
}

TEST(SecondLevel, OneSampleTTestAndACovariateTheDataFollowExactly) {
  // Four subjects, two voxels. Voxel 0: 1, 2, 3, 6 (mean 3, sd^2 14/3). Voxel 1: the
  // subjects' values are 10 + 2 (c - mean c), exactly linear in the covariate.
  const std::vector<double> covariate{20.0, 30.0, 40.0, 50.0};
  std::vector<std::vector<double>> effects;
  for (std::size_t s = 0; s < 4; ++s) {
    effects.push_back({std::vector<double>{1.0, 2.0, 3.0, 6.0}[s],
                       10.0 + 2.0 * (covariate[s] - 35.0)});
  }
  const std::vector<StatisticMaps> mean = secondLevel(effects, {});
  ASSERT_EQ(mean.size(), 1u);
  EXPECT_EQ(mean[0].degreesOfFreedom, 3);
  EXPECT_NEAR(mean[0].effect[0], 3.0, 3.0 * kFloatRelative);
  EXPECT_NEAR(mean[0].variance[0], 14.0 / 3.0 / 4.0, kFloatRelative);
  const double t = 3.0 / std::sqrt(14.0 / 12.0);
  EXPECT_NEAR(mean[0].t[0], t, t * kFloatRelative);
  // Two-sided on 3 degrees of freedom: t = 2.78 lies between the tabulated 2.353 (p 0.1)
  // and 3.182 (p 0.05).
  EXPECT_GT(mean[0].p[0], 0.05f);
  EXPECT_LT(mean[0].p[0], 0.1f);

  const std::vector<StatisticMaps> withCovariate = secondLevel(effects, covariate);
  ASSERT_EQ(withCovariate.size(), 2u);
  EXPECT_EQ(withCovariate[1].degreesOfFreedom, 2);
  EXPECT_NEAR(withCovariate[0].effect[1], 10.0, 10.0 * kFloatRelative);
  EXPECT_NEAR(withCovariate[1].effect[1], 2.0, 2.0 * kFloatRelative);
  // No residual (the values are exact in binary): variance 0 and no t, as for an exact
  // first-level fit.
  EXPECT_EQ(withCovariate[1].variance[1], 0.0f);
  EXPECT_TRUE(std::isnan(withCovariate[1].t[1]));
  EXPECT_TRUE(std::isnan(withCovariate[1].p[1]));
}

TEST(SecondLevel, AnUndefinedSubjectEstimateLeavesTheVoxelUndefined) {
  const std::vector<std::vector<double>> effects{{1.0, std::nan("")}, {2.0, 1.0}, {4.0, 2.0}};
  const StatisticMaps maps = secondLevel(effects, {}).front();
  EXPECT_TRUE(std::isfinite(maps.t[0]));
  EXPECT_TRUE(std::isnan(maps.t[1]));
  EXPECT_TRUE(std::isnan(maps.p[1]));
}

}  // namespace
