// Receiver operating characteristic of a statistical map against a set of true
// positives, and the confusion counts at chosen thresholds.
//
// Conventions. A voxel is called active at threshold T when its statistic is strictly
// greater than T. A statistic that is NaN (undefined, such as t where the fit is
// exact) is never called active: it ranks below every number. The curve sweeps every
// threshold: its points are the false- and true-positive rates when the voxels with the
// k largest distinct values are called active, k = 0, 1, ...; voxels with tied values
// enter together, so a tie between positives and negatives is a diagonal segment and
// counts half, as the Mann-Whitney statistic counts it. The area is the trapezoid sum
// over those points.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tolvane::analysis {

struct RocPoint {
  double falsePositiveRate;
  double truePositiveRate;
  // The smallest statistic called active at this point; absent for (0, 0).
  std::optional<double> lowestActive;
};

struct RocCurve {
  std::int64_t positives = 0, negatives = 0;
  double area = 0.0;
  // Standard deviation of the area when the map carries no information (continuous
  // values): sqrt((P + N + 1) / (12 P N)), the Mann-Whitney statistic's under the null.
  double nullStandardDeviation = 0.0;
  // Every point, or thinned for output: see thinned().
  std::vector<RocPoint> points;
};

// `positive[v]` is nonzero for a true positive. Both classes must be non-empty.
RocCurve rocCurve(const std::vector<double>& statistic, const std::vector<char>& positive);

// The curve's points with consecutive kept points at least `step` apart in one rate or
// the other; the first and last points are always kept. A plot cannot show more.
std::vector<RocPoint> thinned(const std::vector<RocPoint>& points, double step);

struct ThresholdCounts {
  double threshold = 0.0;
  std::int64_t truePositives = 0, falsePositives = 0, falseNegatives = 0, trueNegatives = 0;
  double truePositiveRate() const {
    return double(truePositives) / double(truePositives + falseNegatives);
  }
  double falsePositiveRate() const {
    return double(falsePositives) / double(falsePositives + trueNegatives);
  }
};

ThresholdCounts countsAt(const std::vector<double>& statistic, const std::vector<char>& positive,
                         double threshold);

}  // namespace tolvane::analysis
