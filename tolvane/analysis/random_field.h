// The cluster-extent threshold of Gaussian random field theory: the size K that a
// cluster above a cluster-forming threshold reaches by chance, anywhere in the search
// volume, with probability alpha (Friston, Worsley, Frackowiak, Mazziotta and Evans
// 1994, Hum Brain Mapp 1:210; Worsley et al. 1996, Hum Brain Mapp 4:58).
//
// For a smooth Gaussian field over V voxels of R resels (smoothness.h), thresholded at
// z = u on each of `tails` sides (u the standard normal quantile of the cluster-forming
// p on one side):
//   E[N] = V p                              voxels expected above the threshold(s),
//                                           p the forming p over all sides;
//   E[m] = tails R (4 ln 2)^(3/2) (2 pi)^-2 (u^2 - 1) exp(-u^2 / 2)
//                                           clusters expected: the Euler characteristic,
//                                           its three-dimensional term;
//   P(n >= k) = exp(-beta k^(2/3)),  beta = (Gamma(5/2) E[m] / E[N])^(2/3)
//                                           a cluster's size;
//   P(largest >= k) = 1 - exp(-E[m] exp(-beta k^(2/3)))
// and K is the smallest k with P(largest >= k) <= alpha:
//   K = ceil((ln(E[m] / -ln(1 - alpha)) / beta)^(3/2)),  1 when E[m] <= -ln(1 - alpha).
// The statistic is t, thresholded at the t of the same p; the formulae are those of
// the Gaussian field it approximates, as is usual for t maps on many degrees of
// freedom (on few, such as a group's, K is approximate). The theory assumes a Gaussian
// autocorrelation and smoothness well above a voxel; noise with long-tailed
// autocorrelation breaks the first (Eklund, Nichols and Knutsson 2016, PNAS 113:7900),
// which is what a null experiment measures.
#pragma once

#include <cstdint>

#include "tolvane/analysis/smoothness.h"

namespace tolvane::analysis {

inline constexpr double kClusterAlpha = 0.05;

struct ClusterExtentTheory {
  double z = 0.0;                  // u
  double expectedVoxels = 0.0;     // E[N]
  double expectedClusters = 0.0;   // E[m]
  double beta = 0.0;
};

// `formingP` is the cluster-forming p over all `tails` (1 or 2) sides.
ClusterExtentTheory clusterExtentTheory(const Smoothness& smoothness, double formingP, int tails);

// P(largest cluster >= k).
double largestClusterProbability(const ClusterExtentTheory& theory, double k);

// K at `alpha`.
std::int64_t clusterSizeThreshold(const ClusterExtentTheory& theory, double alpha = kClusterAlpha);

// The standard normal quantile of the upper tail p: P(Z > z) = p, 0 < p < 1.
double upperNormalQuantile(double p);

}  // namespace tolvane::analysis
