// Rates of false positives under the null; see null_rates.h.
#include "tolvane/analysis/null_rates.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "numerics/special_functions.h"

namespace tolvane::analysis {
namespace {

// Stephens' finite-sample form of the Kolmogorov-Smirnov critical value at 5 %.
constexpr double kKolmogorov5 = 1.358;

}  // namespace

Proportion proportion(std::int64_t count, std::int64_t total) {
  Proportion result{count, total, std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0};
  if (total <= 0) return result;
  const double n = double(total), rate = double(count) / n;
  const double z = kInterval95Quantile, z2 = z * z;
  const double centre = (rate + z2 / (2.0 * n)) / (1.0 + z2 / n);
  const double halfWidth =
      z * std::sqrt(rate * (1.0 - rate) / n + z2 / (4.0 * n * n)) / (1.0 + z2 / n);
  result.rate = rate;
  result.lower = count == 0 ? 0.0 : std::max(0.0, centre - halfWidth);
  result.upper = count == total ? 1.0 : std::min(1.0, centre + halfWidth);
  return result;
}

Proportion voxelsAbove(const std::vector<double>& statistic, double threshold) {
  std::int64_t above = 0, defined = 0;
  for (double value : statistic) {
    defined += !std::isnan(value);
    above += value > threshold;
  }
  return proportion(above, defined);
}

std::int64_t largestCluster(const std::vector<double>& statistic,
                            const std::array<std::int64_t, 3>& dims, double threshold,
                            Connectivity connectivity) {
  const std::vector<std::int64_t> sizes = clusterSizes(statistic, dims, threshold, connectivity);
  return sizes.empty() ? 0 : sizes.front();
}

// The two-sided tail is I_x(v/2, 1/2) with x = v / (v + t^2). Near t = 0, x rounds to 1
// in single precision and every |t| below about 2e-4 sqrt(v) would get the tail 1; there
// the complement I_{1-x}(1/2, v/2), whose argument t^2 / (v + t^2) keeps its precision,
// gives the central probability instead.
double studentCdf(double t, int degreesOfFreedom) {
  const double v = degreesOfFreedom;
  if (t * t < v) {
    const double central = double(betai(0.5f, static_cast<float>(0.5 * v),
                                        static_cast<float>(t * t / (v + t * t))));
    return t > 0.0 ? 0.5 + 0.5 * central : 0.5 - 0.5 * central;
  }
  const double tail = 0.5 * double(t_to_p(static_cast<float>(t),
                                          static_cast<unsigned long>(degreesOfFreedom)));
  return t > 0.0 ? 1.0 - tail : tail;
}

double tThresholdOfP(double p, int degreesOfFreedom, bool twoSided) {
  return double(p_to_t(static_cast<float>(twoSided ? p : 2.0 * p),
                       static_cast<unsigned long>(degreesOfFreedom)));
}

double nominalRate(double threshold, int degreesOfFreedom, bool twoSided) {
  const double twoSidedRate = double(t_to_p(static_cast<float>(std::fabs(threshold)),
                                            static_cast<unsigned long>(degreesOfFreedom)));
  if (twoSided) return threshold < 0.0 ? 1.0 : twoSidedRate;
  return threshold < 0.0 ? 1.0 - 0.5 * twoSidedRate : 0.5 * twoSidedRate;
}

CdfAgreement cdfAgreement(std::vector<double> t, int degreesOfFreedom) {
  t.erase(std::remove_if(t.begin(), t.end(), [](double v) { return std::isnan(v); }), t.end());
  std::sort(t.begin(), t.end());
  CdfAgreement agreement;
  agreement.values = std::int64_t(t.size());
  if (t.empty()) return agreement;
  const double n = double(t.size());
  for (std::size_t i = 0; i < t.size(); ++i) {
    const double expected = studentCdf(t[i], degreesOfFreedom);
    agreement.largestDifference =
        std::max({agreement.largestDifference, std::fabs(double(i + 1) / n - expected),
                  std::fabs(double(i) / n - expected)});
  }
  agreement.criticalValue5 = kKolmogorov5 / (std::sqrt(n) + 0.12 + 0.11 / std::sqrt(n));
  return agreement;
}

}  // namespace tolvane::analysis
