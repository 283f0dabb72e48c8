// Cluster extent by random field theory; see random_field.h.
#include "tolvane/analysis/random_field.h"

#include <cmath>

namespace tolvane::analysis {
namespace {

// Bisection steps for the normal quantile: the bracket [-40, 40] shrinks below 1e-15.
constexpr int kQuantileBisections = 80;
constexpr double kPi = 3.14159265358979323846;

}  // namespace

double upperNormalQuantile(double p) {
  double low = -40.0, high = 40.0;
  for (int step = 0; step < kQuantileBisections; ++step) {
    const double middle = 0.5 * (low + high);
    (0.5 * std::erfc(middle / std::sqrt(2.0)) > p ? low : high) = middle;
  }
  return 0.5 * (low + high);
}

ClusterExtentTheory clusterExtentTheory(const Smoothness& smoothness, double formingP, int tails) {
  ClusterExtentTheory theory;
  const double u = upperNormalQuantile(formingP / tails);
  theory.z = u;
  theory.expectedVoxels = double(smoothness.voxels) * formingP;
  const double density = std::pow(4.0 * std::log(2.0), 1.5) / ((2.0 * kPi) * (2.0 * kPi)) *
                         (u * u - 1.0) * std::exp(-0.5 * u * u);
  theory.expectedClusters = std::max(0.0, tails * smoothness.resels * density);
  const double gamma52 = 0.75 * std::sqrt(kPi);
  theory.beta = theory.expectedVoxels > 0.0
                    ? std::pow(gamma52 * theory.expectedClusters / theory.expectedVoxels, 2.0 / 3.0)
                    : 0.0;
  return theory;
}

double largestClusterProbability(const ClusterExtentTheory& theory, double k) {
  return 1.0 - std::exp(-theory.expectedClusters * std::exp(-theory.beta * std::pow(k, 2.0 / 3.0)));
}

std::int64_t clusterSizeThreshold(const ClusterExtentTheory& theory, double alpha) {
  const double chance = -std::log(1.0 - alpha);
  if (!(theory.expectedClusters > chance) || !(theory.beta > 0.0)) return 1;
  const double k = std::pow(std::log(theory.expectedClusters / chance) / theory.beta, 1.5);
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(k)));
}

}  // namespace tolvane::analysis
