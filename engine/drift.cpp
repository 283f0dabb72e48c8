// Slow drift; conventions in drift.h.
#include "engine/drift.h"

#include <algorithm>
#include <cmath>

#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

// The drifts of up to kDriftGroup neighbouring voxels, added to their time courses: the
// drifts are built voxel by voxel, then their means and spreads summed over time (in
// double, each in time order) with the voxels side by side in `drifts`, time point by
// time point, so that the voxels' sums run as independent chains on vector lanes
// instead of waiting on one another. The values are those of the definition's loops.
constexpr int kDriftGroup = 8;

struct DriftGroup {
  const DriftBasis& basis;
  float sd;
  const float* coefficients;  // the voxels' coefficients, basis.functions each
  float* courses;             // the first voxel's time course; the others follow
  int voxels;
  float* drifts;  // work space: kDriftGroup * timePoints values
  float* row;     // work space: timePoints values
};

TOLVANE_VECTOR_BODY inline void addDriftToGroupBody(const DriftGroup& group) {
  const int nT = group.basis.timePoints, functions = group.basis.functions;
  float* const drift = group.row;
  for (int j = 0; j < group.voxels; ++j) {
    std::fill(drift, drift + nT, 0.0f);
    const float* c = group.coefficients + static_cast<std::ptrdiff_t>(j) * functions;
    for (int k = 0; k < functions; ++k) {
      const float* phi = &group.basis.values[static_cast<std::size_t>(k) * nT];
      for (int t = 0; t < nT; ++t) drift[t] = drift[t] + c[k] * phi[t];
    }
    for (int t = 0; t < nT; ++t) group.drifts[t * kDriftGroup + j] = drift[t];
  }
  for (int j = group.voxels; j < kDriftGroup; ++j)
    for (int t = 0; t < nT; ++t) group.drifts[t * kDriftGroup + j] = 0.0f;
  double mean[kDriftGroup] = {}, sumOfSquares[kDriftGroup] = {};
  for (int t = 0; t < nT; ++t)
    for (int j = 0; j < kDriftGroup; ++j) mean[j] += group.drifts[t * kDriftGroup + j];
  for (int j = 0; j < kDriftGroup; ++j) mean[j] /= nT;
  for (int t = 0; t < nT; ++t)
    for (int j = 0; j < kDriftGroup; ++j) {
      const double deviation = group.drifts[t * kDriftGroup + j] - mean[j];
      sumOfSquares[j] += deviation * deviation;
    }
  for (int j = 0; j < group.voxels; ++j) {
    const double spread = std::sqrt(sumOfSquares[j] / nT);
    if (spread == 0.0) continue;  // all coefficients 0: nothing to scale
    const float factor = static_cast<float>(group.sd / spread);
    float* course = group.courses + static_cast<std::ptrdiff_t>(j) * nT;
    for (int t = 0; t < nT; ++t) course[t] = course[t] + factor * group.drifts[t * kDriftGroup + j];
  }
}

}  // namespace

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds) {
  DriftBasis basis;
  basis.timePoints = timePoints;
  // Period 2 N TR / k > cutoff  <=>  k < 2 N TR / cutoff.
  const double limit = 2.0 * timePoints * trSeconds / cutoffSeconds;
  basis.functions = std::max(0, static_cast<int>(std::ceil(limit)) - 1);
  basis.functions = std::min(basis.functions, std::max(0, timePoints - 1));
  basis.values.resize(static_cast<std::size_t>(basis.functions) * timePoints);
  const double pi = std::acos(-1.0);
  for (int k = 1; k <= basis.functions; ++k)
    for (int t = 0; t < timePoints; ++t)
      basis.values[static_cast<std::size_t>(k - 1) * timePoints + t] =
          static_cast<float>(std::cos(pi * k * (2.0 * t + 1.0) / (2.0 * timePoints)));
  return basis;
}

void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const CoefficientSource& coefficients, const ParallelFor& parallel) {
  if (basis.functions == 0 || sd == 0.0f) return;
  const int nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    std::vector<float> c(static_cast<std::size_t>(kDriftGroup) * basis.functions);
    std::vector<float> drifts(static_cast<std::size_t>(kDriftGroup) * nT), row(nT);
    for (std::int64_t first = begin; first < end; first += kDriftGroup) {
      const int voxels = static_cast<int>(std::min<std::int64_t>(kDriftGroup, end - first));
      for (int j = 0; j < voxels; ++j)
        coefficients(first + j, basis.functions, &c[static_cast<std::size_t>(j) * basis.functions]);
      const DriftGroup group{basis,  sd,           c.data(), grid.data + first * nT,
                             voxels, drifts.data(), row.data()};
      onWidestVectors([&]() TOLVANE_VECTOR_BODY { addDriftToGroupBody(group); });
    }
  });
}

}  // namespace tolvane::engine
