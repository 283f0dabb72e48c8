// Rates of false positives where nothing is true: the figures of a null study.
//
// A null map is a statistic where no voxel has an effect, so every voxel called active
// is a false positive. Three figures say how an analysis behaves there:
//   - the voxelwise rate: the share of voxels above a threshold, which for a valid test
//     is the nominal rate of that threshold;
//   - the family-wise rate across maps (runs): the share of maps with at least one
//     voxel above the threshold, or with a cluster of at least K connected voxels
//     above it (the cluster-level rate);
//   - the agreement of the null statistics with Student's t on the fit's degrees of
//     freedom: the largest difference between their empirical distribution function
//     and Student's (the Kolmogorov-Smirnov distance D).
// Rates carry a 95 % interval for a binomial proportion: Wilson's score interval, which
// stays inside [0, 1] and keeps its coverage for counts of 0 and for few maps, where the
// normal approximation does not. Voxels of a map are not independent when the noise is
// smooth, so the voxelwise interval is then too narrow; the family-wise one counts maps,
// which are independent.
//
// Undefined statistics (NaN) are left out of every count.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "tolvane/analysis/clusters.h"

namespace tolvane::analysis {

// The normal quantile of a two-sided 95 % interval.
constexpr double kInterval95Quantile = 1.959963984540054;

struct Proportion {
  std::int64_t count = 0, total = 0;
  double rate = 0.0;         // NaN when total is 0
  double lower = 0.0, upper = 0.0;  // Wilson's 95 % interval
};

Proportion proportion(std::int64_t count, std::int64_t total);

// The number of defined values strictly above `threshold`, and of defined values.
Proportion voxelsAbove(const std::vector<double>& statistic, double threshold);

// The size of the largest cluster (clusters.h) of voxels strictly above `threshold`;
// 0 when none is.
std::int64_t largestCluster(const std::vector<double>& statistic,
                            const std::array<std::int64_t, 3>& dims, double threshold,
                            Connectivity connectivity);

// Student's t distribution function, P(T <= t), from the module's incomplete beta
// function (single precision: about 1e-6 absolute).
double studentCdf(double t, int degreesOfFreedom);

// The threshold on |t| (two-sided) or t (one-sided) whose rate under the null is `p`.
double tThresholdOfP(double p, int degreesOfFreedom, bool twoSided);
// The nominal rate of `threshold`, the inverse of the above.
double nominalRate(double threshold, int degreesOfFreedom, bool twoSided);

struct CdfAgreement {
  std::int64_t values = 0;
  double largestDifference = 0.0;  // D
  // D's critical value at 5 % for independent values, 1.358 / sqrt(n) for large n.
  double criticalValue5 = 0.0;
};

// The defined values of `t` against Student's t with the given degrees of freedom.
CdfAgreement cdfAgreement(std::vector<double> t, int degreesOfFreedom);

}  // namespace tolvane::analysis
