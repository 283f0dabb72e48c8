// The spatial autocorrelation of the fluctuation noise, measured on the residuals and
// fitted with the mixed model
//   acf(r) = a exp(-r^2 / (2 b^2)) + (1 - a) exp(-r / c),   r in mm, 0 <= a <= 1.
//
// Measurement: each residual is divided by its voxel's fluctuation sd, so that the
// products of two mask voxels at lag d, summed over a set S of volumes, have the
// expectation acf(|A d|) sum_{t in S} (R C_f R)_tt (A the grid's voxel-to-world
// matrix, R C_f R the fluctuation's correlation after the temporal model's removal;
// temporal_correlation.h). Lags: along each grid axis 1 .. kAxisLags voxels, along the
// six face diagonals and the four body diagonals 1 .. kDiagonalLags steps.
//
// Fit: least squares over the lags' correlations, on a logarithmic grid of b and c
// (kFitGridSteps each, 0.1 .. 100 mm) refined three times around the best point, with a
// in closed form for each (b, c) and clamped to [0, 1].
//
// Gaussian equivalent: the Gaussian autocorrelation exp(-r^2 / (2 beta^2)) closest to
// the fitted one in least squares over kEquivalentSamples equal steps of r from 0 to
// where the fitted one falls to kEquivalentFloor; its smoothness is the FWHM of the
// Gaussian kernel that gives it to white noise, sqrt(4 ln 2) beta (a kernel of sd s
// gives an autocorrelation of sd s sqrt(2)).
#pragma once

#include <cstdint>
#include <vector>

#include "formats/nifti_maps.h"

namespace tolvane::fit_noise {

inline constexpr int kAxisLags = 6;
inline constexpr int kDiagonalLags = 3;
inline constexpr double kEquivalentFloor = 0.05;
inline constexpr int kEquivalentSamples = 400;

struct SpatialLag {
  int dx, dy, dz;
  double distanceMm;
};

std::vector<SpatialLag> spatialLags(const formats::Affine& voxelToWorld);

// Products and pair counts per lag; they add over groups.
struct SpatialSums {
  std::vector<double> products, pairs;
  SpatialSums& operator+=(const SpatialSums& other);
  SpatialSums& operator-=(const SpatialSums& other);
};

// Sums per group of slices (by the first voxel's slice) over the volumes `volumes`.
// `scale` is 1 / (fluctuation sd) for the voxels to use and 0 for the others.
std::vector<SpatialSums> spatialLagSums(const formats::FloatSeries& residuals,
                                        const std::vector<float>& scale,
                                        const std::vector<int>& groupOfSlice,
                                        const std::vector<SpatialLag>& lags,
                                        const std::vector<int>& volumes, unsigned threads);

struct MixedAcf {
  bool usable = false;
  double a = 0.0, bMm = 0.0, cMm = 0.0;
  double misfit = 0.0;  // sum of squared differences at the lags
  double fwhmMm = 0.0;  // Gaussian equivalent, see above
};

// `correlations[i]` at `lags[i].distanceMm`.
MixedAcf fitMixedAcf(const std::vector<SpatialLag>& lags, const std::vector<double>& correlations);

double mixedAcf(double a, double bMm, double cMm, double rMm);
double gaussianEquivalentFwhm(double a, double bMm, double cMm);

}  // namespace tolvane::fit_noise
