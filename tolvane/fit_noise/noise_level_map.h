// The run's noise level voxel by voxel, for noise.sd = "noise_sd.nii.gz": so that a
// simulated run has the spread of tSNR over the brain that the run has, not one tSNR.
//
// A voxel's temporal variance under the fitted temporal model is sigma_v^2 = its
// residuals' sum of squares / tr(R C R) (as for the tSNR, noise_fit.h); what noise.sd
// sets is the sd of everything but the thermal noise (which simulate adds with snr)
// and the drift: sqrt(max(sigma_v^2 - sigma_thermal^2, 0)). That is measured with N - P
// degrees of freedom per voxel, a relative sd of about 1 / sqrt(2 (N - P)) (7 % for
// 100), so it is smoothed within the mask: a Gaussian of sd kLevelSmoothingVoxels voxels
// along each axis (taps to 3 sd), applied to the mask's values and to the mask, the one
// divided by the other, so that voxels outside the mask do not pull the edge down.
// Outside the mask the map is 0.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace tolvane::fit_noise {

inline constexpr double kLevelSmoothingVoxels = 1.0;

std::vector<float> smoothedNoiseSd(const std::vector<float>& residualSquares,
                                   const std::vector<std::uint8_t>& mask,
                                   const std::array<std::int64_t, 3>& dims, double trace,
                                   double thermalVariance);

}  // namespace tolvane::fit_noise
