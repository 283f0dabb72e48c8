// The figures of a null study: intervals, thresholds and Student's t, clusters and the
// distance of a sample to Student's distribution, each against values fixed by
// construction or by a published table.
#include "tolvane/analysis/null_rates.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace tolvane::analysis;

namespace {

// The module's t tail is a single-precision incomplete beta function: about 1e-6
// relative, far below what a rate or a threshold is read to.
constexpr double kTailTolerance = 1e-5;

TEST(NullRates, WilsonIntervalsMatchTheirClosedFormAtTheEdgesAndInside) {
  // 0 of n: [0, z^2 / (n + z^2)]; n of n mirrors it.
  const double z2 = kInterval95Quantile * kInterval95Quantile;
  const Proportion none = proportion(0, 20), all = proportion(20, 20);
  EXPECT_EQ(none.lower, 0.0);
  EXPECT_NEAR(none.upper, z2 / (20.0 + z2), 1e-12);  // 0.1611, as tabulated
  EXPECT_NEAR(all.lower, 1.0 - none.upper, 1e-12);
  EXPECT_EQ(all.upper, 1.0);
  // Inside, the interval holds the rate and is symmetric about Wilson's centre.
  const Proportion some = proportion(30, 8000);
  EXPECT_DOUBLE_EQ(some.rate, 30.0 / 8000.0);
  EXPECT_LT(some.lower, some.rate);
  EXPECT_GT(some.upper, some.rate);
  const double centre = (some.rate + z2 / 16000.0) / (1.0 + z2 / 8000.0);
  EXPECT_NEAR(some.lower + some.upper, 2.0 * centre, 1e-15);
  EXPECT_TRUE(std::isnan(proportion(0, 0).rate));
}

TEST(NullRates, ThresholdsAndNominalRatesAreInversesOnEitherSide) {
  // Student's t with 20 degrees of freedom: 2.086 is its 97.5 % quantile (tables).
  EXPECT_NEAR(studentCdf(2.086, 20), 0.975, 1e-4);
  EXPECT_NEAR(studentCdf(-2.086, 20), 0.025, 1e-4);
  EXPECT_NEAR(tThresholdOfP(0.05, 20, true), 2.086, 1e-3);
  EXPECT_NEAR(tThresholdOfP(0.025, 20, false), 2.086, 1e-3);
  for (double p : {0.05, 0.001, 6.25e-6}) {
    for (bool twoSided : {true, false}) {
      const double threshold = tThresholdOfP(p, 240, twoSided);
      EXPECT_NEAR(nominalRate(threshold, 240, twoSided) / p, 1.0, 1e3 * kTailTolerance)
          << p << (twoSided ? " two-sided" : " one-sided");
    }
  }
}

TEST(NullRates, CountsLeaveOutUndefinedValuesAndClustersJoinByTheirConnectivity) {
  const double nan = std::nan("");
  EXPECT_EQ(voxelsAbove({1.0, 5.0, nan, 3.0, 3.5}, 3.0).count, 2);
  EXPECT_EQ(voxelsAbove({1.0, 5.0, nan, 3.0, 3.5}, 3.0).total, 4);
  // A 3 x 3 x 2 grid: an L of three voxels joined by faces, one voxel that touches the
  // L only along an edge, and one that touches it only at a corner.
  std::vector<double> t(18, 0.0);
  t[0] = t[1] = t[4] = 4.0;  // (0,0,0), (1,0,0), (1,1,0)
  t[9 + 5] = 4.0;            // (2,1,1): an edge away from (1,1,0)
  t[9 + 6] = 4.0;            // (0,2,1): a corner away from (1,1,0)
  const std::array<std::int64_t, 3> dims{3, 3, 2};
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Faces), 3);
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Edges), 4);
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Corners), 5);
  EXPECT_EQ(clusterSizes(t, dims, 3.0, Connectivity::Faces), (std::vector<std::int64_t>{3, 1, 1}));
  t[9 + 4] = 4.0;  // (1,1,1) joins the L and the edge voxel by faces, the corner by an edge
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Faces), 5);
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Edges), 6);
  EXPECT_EQ(largestCluster(t, dims, 4.0, Connectivity::Corners), 0);
  // An undefined voxel (outside the mask) is never part of a cluster.
  t[9 + 4] = nan;
  EXPECT_EQ(largestCluster(t, dims, 3.0, Connectivity::Faces), 3);
}

TEST(NullRates, ASampleAtStudentsQuantilesIsWithinOneStepOfItsDistribution) {
  // The (i + 1/2)/n quantiles of Student's t: D is 1/(2n) up to the tail's precision.
  constexpr int n = 200, dof = 12;
  std::vector<double> quantiles;
  for (int i = 0; i < n; ++i) {
    const double p = (i + 0.5) / n;
    const double upper = tThresholdOfP(p < 0.5 ? p : 1.0 - p, dof, false);
    quantiles.push_back(p < 0.5 ? -upper : upper);
  }
  const CdfAgreement near = cdfAgreement(quantiles, dof);
  EXPECT_EQ(near.values, n);
  EXPECT_NEAR(near.largestDifference, 0.5 / n, 1e-4);
  EXPECT_NEAR(near.criticalValue5, 1.358 / (std::sqrt(200.0) + 0.12 + 0.11 / std::sqrt(200.0)),
              1e-12);
  // Shifted by one, the sample is far from it.
  for (double& q : quantiles) q += 1.0;
  EXPECT_GT(cdfAgreement(quantiles, dof).largestDifference, 0.3);
}

}  // namespace
