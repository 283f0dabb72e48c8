// The thermal (system) noise level, from the background: the voxels outside the mask
// and more than kBackgroundMargin voxels from it (so that no partial volume of the head
// or its ghosts counts).
//
// Real-valued data: the background is the baseline plus white Gaussian noise of sd
// sigma, measured as sigma^2 = the mean over background voxels of the residuals' sum of
// squares over N - P (white noise loses P of its N degrees of freedom to the model).
//
// Magnitude data: a zero baseline under complex Gaussian noise of sd sigma in each
// channel gives a Rayleigh background, of mean sigma sqrt(pi / 2), sd
// sigma sqrt(2 - pi / 2) (mean / sd = 1.913) and mean square 2 sigma^2. The data are
// taken to be magnitude data when no background voxel's mean is negative and the median
// of the voxels' mean / sd lies within kRayleighTolerance of 1.913; then (the Rayleigh
// correction) sigma^2 = the mean square over the background / 2, the mean square of a
// voxel being mean^2 + (its residuals' sum of squares (N - 1) / (N - P)) / N.
//
// A background whose level reaches kMaxThermalShare of the noise variance inside the
// mask is not thermal noise alone (ghosts, parallel imaging's noise amplification):
// the thermal share would leave the brain's fluctuation nothing. Its estimate is then
// set aside, with the reason, and no SNR is written.
//
// The uncertainty is that of a variance from n voxels of d degrees of freedom each:
// sd(sigma) / sigma = 1 / sqrt(2 n d).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"

namespace tolvane::fit_noise {

inline constexpr int kBackgroundMargin = 2;
inline constexpr std::size_t kMinimumBackgroundVoxels = 100;
inline constexpr double kRayleighTolerance = 0.15;
inline constexpr double kMaxThermalShare = 0.95;

struct ThermalNoise {
  bool usable = false;
  std::string reason;  // why not, when not
  bool magnitude = false;
  double sd = 0.0, sdUncertainty = 0.0;
  std::size_t backgroundVoxels = 0;
};

// `residualVolumes` is N - P.
ThermalNoise estimateThermalNoise(const std::vector<float>& mean,
                                  const std::vector<float>& residualSquares,
                                  const std::vector<std::uint8_t>& mask,
                                  const std::array<std::int64_t, 3>& dims, int volumes,
                                  int residualVolumes);

// Sets `thermal` aside (above) when its variance reaches kMaxThermalShare of
// `maskVariance`, the mean noise variance of the mask's voxels.
void setAsideNonThermalBackground(ThermalNoise& thermal, double maskVariance);

// The background: outside the mask dilated by kBackgroundMargin voxels along every
// axis (a box around each mask voxel).
std::vector<std::uint8_t> backgroundOf(const std::vector<std::uint8_t>& mask,
                                       const std::array<std::int64_t, 3>& dims);

}  // namespace tolvane::fit_noise
