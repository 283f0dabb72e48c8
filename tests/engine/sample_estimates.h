// The mean of independent estimates (one per voxel, or per volume) with its standard
// error, the root of their sample variance over their count: the statistical tests'
// tolerances are a multiple of it.
#pragma once

#include <cmath>
#include <vector>

namespace tolvane::engine::testing {

constexpr double kStandardErrors = 5.0;

struct Estimate {
  double mean = 0.0;
  double standardError = 0.0;
};

inline Estimate meanOfIndependent(const std::vector<double>& values) {
  double sum = 0.0, spread = 0.0;
  for (const double v : values) sum += v;
  const double mean = sum / static_cast<double>(values.size());
  for (const double v : values) spread += (v - mean) * (v - mean);
  const double n = static_cast<double>(values.size());
  return {mean, std::sqrt(spread / (n - 1) / n)};
}

}  // namespace tolvane::engine::testing
