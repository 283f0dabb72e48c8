// The smoothness of a fit's residuals, as random field theory needs it.
//
// Each voxel's residual time course (of the whitened model, when the fit prewhitens) is
// scaled to unit length, u_v = e_v / |e_v|. Along each axis d, the mean over pairs of
// neighbouring voxels v, v + e_d (both inside the mask, neither fitted exactly) of
// sum_t u_v(t) u_{v+e_d}(t) is the residuals' correlation r_d at one voxel's distance.
// For a field whose autocorrelation is Gaussian, r_d = exp(-1 / (4 s_d^2)) (s_d the
// smoothing kernel's sd in voxels), so its full width at half maximum is
//   FWHM_d = sqrt(-2 ln 2 / ln r_d)  voxels
// (Forman et al. 1995, Magn Reson Med 33:636; the lag-one form of the estimate, which
// unlike the derivative form of Kiebel et al. 1999 is not biased for rough fields).
// A correlation at or below kSmallestCorrelation is taken as that (a field rougher than
// the grid): random field theory then has little to say, and the FWHM says so by being
// well below one voxel. The search volume in resels is
//   R = V / (FWHM_x FWHM_y FWHM_z),  V the mask's voxels.
#pragma once

#include <array>
#include <cstdint>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/least_squares.h"

namespace tolvane::analysis {

inline constexpr double kSmallestCorrelation = 1e-6;

struct Smoothness {
  std::array<double, 3> fwhmVoxels{};  // per axis of the grid
  std::array<double, 3> fwhmMm{};      // the same times the voxel sizes
  std::int64_t voxels = 0;             // V: inside the mask, with residuals
  double resels = 0.0;                 // V / (FWHM_x FWHM_y FWHM_z)
};

// The smoothness of the residuals of `fits` (from `model`) on the series, inside `mask`.
Smoothness residualSmoothness(const LeastSquaresModel& model, const VoxelFits& fits,
                              const formats::FloatSeries& series, const AnalysisMask& mask);

// The smoothness of a one-sample or regression model's residuals across maps (the
// subjects of a group analysis): `residuals[m][v]`, one residual map per subject.
Smoothness mapResidualSmoothness(const std::vector<std::vector<double>>& residuals,
                                 const formats::MapGeometry& geometry, const AnalysisMask& mask);

}  // namespace tolvane::analysis
