// The thermal noise level from the background; see thermal_noise.h.
#include "tolvane/fit_noise/thermal_noise.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace tolvane::fit_noise {
namespace {

const double kRayleighMeanOverSd =
    std::sqrt(std::numbers::pi / 2.0) / std::sqrt(2.0 - std::numbers::pi / 2.0);

// Grows the marked voxels by `radius` along one axis (stride between neighbours).
void dilateAlong(std::vector<std::uint8_t>& marked, const std::array<std::int64_t, 3>& dims,
                 int axis, int radius) {
  const std::int64_t stride = axis == 0 ? 1 : axis == 1 ? dims[0] : dims[0] * dims[1];
  const std::vector<std::uint8_t> before = marked;
  for (std::size_t i = 0; i < marked.size(); ++i) {
    if (!before[i]) continue;
    const std::int64_t position = (static_cast<std::int64_t>(i) / stride) % dims[axis];
    for (int d = -radius; d <= radius; ++d) {
      if (position + d < 0 || position + d >= dims[axis]) continue;
      marked[static_cast<std::int64_t>(i) + d * stride] = 1;
    }
  }
}

}  // namespace

std::vector<std::uint8_t> backgroundOf(const std::vector<std::uint8_t>& mask,
                                       const std::array<std::int64_t, 3>& dims) {
  std::vector<std::uint8_t> near = mask;
  for (int axis = 0; axis < 3; ++axis) dilateAlong(near, dims, axis, kBackgroundMargin);
  for (std::uint8_t& value : near) value = value ? 0 : 1;
  return near;
}

ThermalNoise estimateThermalNoise(const std::vector<float>& mean,
                                  const std::vector<float>& residualSquares,
                                  const std::vector<std::uint8_t>& mask,
                                  const std::array<std::int64_t, 3>& dims, int volumes,
                                  int residualVolumes) {
  ThermalNoise thermal;
  const std::vector<std::uint8_t> background = backgroundOf(mask, dims);
  std::vector<double> ratios;
  double variances = 0.0, meanSquares = 0.0;
  bool negativeMean = false;
  for (std::size_t i = 0; i < background.size(); ++i) {
    if (!background[i]) continue;
    const double variance = residualSquares[i] / residualVolumes;
    variances += variance;
    meanSquares += static_cast<double>(mean[i]) * mean[i] +
                   residualSquares[i] * (volumes - 1.0) / residualVolumes / volumes;
    negativeMean = negativeMean || mean[i] < 0.0f;
    ratios.push_back(variance > 0.0 ? mean[i] / std::sqrt(variance) : INFINITY);
    ++thermal.backgroundVoxels;
  }
  const std::size_t n = thermal.backgroundVoxels;
  if (n < kMinimumBackgroundVoxels) {
    thermal.reason = "only " + std::to_string(n) + " background voxels (outside the mask and " +
                     std::to_string(kBackgroundMargin) + " voxels from it); at least " +
                     std::to_string(kMinimumBackgroundVoxels) + " are needed";
    return thermal;
  }
  if (!(variances > 0.0)) {
    thermal.reason =
        "the background does not vary in time (set to a constant by the scanner "
        "or by preprocessing)";
    return thermal;
  }
  std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
  const double medianRatio = ratios[ratios.size() / 2];
  thermal.magnitude =
      !negativeMean && std::fabs(medianRatio / kRayleighMeanOverSd - 1.0) <= kRayleighTolerance;
  thermal.sd = thermal.magnitude ? std::sqrt(meanSquares / n / 2.0) : std::sqrt(variances / n);
  thermal.sdUncertainty = thermal.sd / std::sqrt(2.0 * n * residualVolumes);
  thermal.usable = true;
  return thermal;
}

void setAsideNonThermalBackground(ThermalNoise& thermal, double maskVariance) {
  if (!thermal.usable || thermal.sd * thermal.sd < kMaxThermalShare * maskVariance) return;
  char text[320];
  std::snprintf(text, sizeof text,
                "the background's noise (sd %.4g) is not below the noise inside the mask (sd "
                "%.4g), so it is not thermal noise alone (ghosts or parallel imaging's noise "
                "amplification); give a mask that leaves out the ghosts to measure it",
                thermal.sd, std::sqrt(maskVariance));
  thermal = ThermalNoise{false, text, false, 0.0, 0.0, thermal.backgroundVoxels};
}

}  // namespace tolvane::fit_noise
