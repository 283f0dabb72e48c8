// Sweeping the thresholds of a statistical map; see roc.h.
#include "tolvane/analysis/roc.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tolvane::analysis {

RocCurve rocCurve(const std::vector<double>& statistic, const std::vector<char>& positive) {
  RocCurve curve;
  for (char p : positive) ++(p ? curve.positives : curve.negatives);
  const double positives = double(curve.positives), negatives = double(curve.negatives);
  curve.nullStandardDeviation =
      std::sqrt((positives + negatives + 1.0) / (12.0 * positives * negatives));

  // Largest first; NaN after every number (std::sort needs a strict weak order, which
  // a plain > on NaN does not give).
  std::vector<std::size_t> order(statistic.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  const auto above = [&](std::size_t a, std::size_t b) {
    const double x = statistic[a], y = statistic[b];
    if (std::isnan(y)) return !std::isnan(x);
    return x > y;
  };
  std::sort(order.begin(), order.end(), above);

  curve.points.push_back({0.0, 0.0, std::nullopt});
  std::int64_t truePositives = 0, falsePositives = 0;
  for (std::size_t i = 0; i < order.size();) {
    std::size_t end = i;
    while (end < order.size() && !above(order[i], order[end])) {
      ++(positive[order[end]] ? truePositives : falsePositives);
      ++end;
    }
    const RocPoint& last = curve.points.back();
    const RocPoint point{double(falsePositives) / negatives, double(truePositives) / positives,
                         statistic[order[i]]};
    curve.area += (point.falsePositiveRate - last.falsePositiveRate) *
                  (point.truePositiveRate + last.truePositiveRate) / 2.0;
    curve.points.push_back(point);
    i = end;
  }
  return curve;
}

std::vector<RocPoint> thinned(const std::vector<RocPoint>& points, double step) {
  std::vector<RocPoint> kept;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const bool last = i + 1 == points.size();
    if (kept.empty() || last ||
        points[i].falsePositiveRate - kept.back().falsePositiveRate >= step ||
        points[i].truePositiveRate - kept.back().truePositiveRate >= step) {
      kept.push_back(points[i]);
    }
  }
  return kept;
}

ThresholdCounts countsAt(const std::vector<double>& statistic, const std::vector<char>& positive,
                         double threshold) {
  ThresholdCounts counts{threshold};
  for (std::size_t v = 0; v < statistic.size(); ++v) {
    const bool active = statistic[v] > threshold;  // false for NaN
    if (positive[v]) {
      ++(active ? counts.truePositives : counts.falseNegatives);
    } else {
      ++(active ? counts.falsePositives : counts.trueNegatives);
    }
  }
  return counts;
}

}  // namespace tolvane::analysis
