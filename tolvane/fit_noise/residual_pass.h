// The one pass over a run's voxels that removes the temporal model and keeps what the
// noise estimates need.
//
// For every voxel of the grid, with y its time course and q_c the design's orthonormal
// columns (temporal_design.h): the mean, the residual r = y - sum_c (q_c . y) q_c
// written back into the series in place of y, its sum of squares, and the sum of
// squares of the drift, sum over the cosine columns of (q_c . y)^2. For the voxels of
// the mask, additionally, the lag products sum_t r_t r_{t+k}, k = 0 .. kMaxLag, and the
// periodogram |sum_t r_t exp(-2 pi i f t / N)|^2 at f = 0 .. N/2, both summed over the
// voxels of each group of whole slices, so that estimates can be recomputed with one
// group left out (jackknife) without another pass.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "formats/nifti_maps.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/fit_noise/temporal_design.h"

namespace tolvane::fit_noise {

inline constexpr int kMaxLag = 8;

// Sums over a set of mask voxels; they add, so leaving a group out is a subtraction.
struct TemporalSums {
  double voxels = 0.0;
  double meanSquares = 0.0;      // sum of mean_v^2
  double residualSquares = 0.0;  // sum of the residuals' sums of squares
  double driftSquares = 0.0;     // sum of the drift's sums of squares
  std::array<double, kMaxLag + 1> lagProducts{};

  TemporalSums& operator+=(const TemporalSums& other);
  TemporalSums& operator-=(const TemporalSums& other);
};

struct ResidualPass {
  std::vector<float> mean;                       // every voxel of the grid
  std::vector<float> residualSquares;            // every voxel: sum_t r_t^2
  std::vector<int> groupOfSlice;                 // z -> group
  std::vector<TemporalSums> groups;              // mask voxels, by group
  std::vector<std::vector<double>> periodogram;  // by group, N/2 + 1 frequencies each
};

// Groups of whole slices for the jackknife: min(8, dimZ) of them, as equal as whole
// slices allow.
std::vector<int> sliceGroups(int dimZ);

// Replaces `series.values` by the residuals. `threads` 0 means one per core.
ResidualPass removeTemporalModel(formats::FloatSeries& series, const TemporalDesign& design,
                                 const std::vector<std::uint8_t>& mask, unsigned threads,
                                 const analysis::Progress& progress);

}  // namespace tolvane::fit_noise
