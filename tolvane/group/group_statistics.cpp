// Fixed effects and the second-level model; see group_statistics.h.
#include "tolvane/group/group_statistics.h"

#include <cmath>
#include <limits>

#include "numerics/special_functions.h"

namespace tolvane::group {
namespace {

constexpr double kUndefined = std::numeric_limits<double>::quiet_NaN();

StatisticMaps emptyMaps(std::size_t voxels, bool withP, int degreesOfFreedom) {
  return {std::vector<float>(voxels), std::vector<float>(voxels), std::vector<float>(voxels),
          std::vector<float>(withP ? voxels : 0), degreesOfFreedom};
}

void setVoxel(StatisticMaps& maps, std::size_t v, double effect, double variance) {
  maps.effect[v] = static_cast<float>(effect);
  maps.variance[v] = static_cast<float>(variance);
  const double t = variance > 0.0 ? effect / std::sqrt(variance) : kUndefined;
  maps.t[v] = static_cast<float>(t);
  if (maps.p.empty()) return;
  maps.p[v] = std::isnan(t) ? static_cast<float>(kUndefined)
                            : t_to_p(maps.t[v], static_cast<unsigned long>(maps.degreesOfFreedom));
}

}  // namespace

StatisticMaps fixedEffects(const std::vector<RunEstimate>& runs) {
  const std::size_t voxels = runs.front().effect.size();
  int degreesOfFreedom = 0;
  for (const RunEstimate& run : runs) degreesOfFreedom += run.degreesOfFreedom;
  StatisticMaps maps = emptyMaps(voxels, false, degreesOfFreedom);
  for (std::size_t v = 0; v < voxels; ++v) {
    double weights = 0.0, weighted = 0.0, plain = 0.0;
    bool allPositive = true;
    for (const RunEstimate& run : runs) {
      const double variance = run.variance[v];
      allPositive = allPositive && variance > 0.0;
      if (variance > 0.0) {
        weights += 1.0 / variance;
        weighted += run.effect[v] / variance;
      }
      plain += run.effect[v];
    }
    if (allPositive) {
      setVoxel(maps, v, weighted / weights, 1.0 / weights);
    } else {
      setVoxel(maps, v, plain / double(runs.size()), 0.0);
    }
  }
  return maps;
}

std::vector<StatisticMaps> secondLevel(const std::vector<std::vector<double>>& subjectEffects,
                                       const std::vector<double>& covariate) {
  const std::size_t subjects = subjectEffects.size(), voxels = subjectEffects.front().size();
  const bool withCovariate = !covariate.empty();
  const int degreesOfFreedom = int(subjects) - (withCovariate ? 2 : 1);
  std::vector<double> centred(subjects, 0.0);
  double covariateSquares = 0.0;
  if (withCovariate) {
    double mean = 0.0;
    for (double c : covariate) mean += c;
    mean /= double(subjects);
    for (std::size_t s = 0; s < subjects; ++s) {
      centred[s] = covariate[s] - mean;
      covariateSquares += centred[s] * centred[s];
    }
  }
  std::vector<StatisticMaps> maps{emptyMaps(voxels, true, degreesOfFreedom)};
  if (withCovariate) maps.push_back(emptyMaps(voxels, true, degreesOfFreedom));
  for (std::size_t v = 0; v < voxels; ++v) {
    double sum = 0.0, crossed = 0.0;
    for (std::size_t s = 0; s < subjects; ++s) {
      sum += subjectEffects[s][v];
      crossed += centred[s] * subjectEffects[s][v];
    }
    const double mean = sum / double(subjects);
    const double slope = withCovariate ? crossed / covariateSquares : 0.0;
    double residualSquares = 0.0;
    for (std::size_t s = 0; s < subjects; ++s) {
      const double residual = subjectEffects[s][v] - mean - slope * centred[s];
      residualSquares += residual * residual;
    }
    const double residualVariance = residualSquares / double(degreesOfFreedom);
    setVoxel(maps[0], v, mean, residualVariance / double(subjects));
    if (withCovariate) setVoxel(maps[1], v, slope, residualVariance / covariateSquares);
  }
  return maps;
}

}  // namespace tolvane::group
