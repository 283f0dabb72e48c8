// Ordinary least squares of many voxels on one design, optionally after an AR(1)
// prewhitening transform, with one pseudo-inverse serving every voxel.
//
// Numerics. The design X (N volumes x P columns) is decomposed once by the module's
// svdcmp, in single precision as the library works; its factors give the
// pseudo-inverse X+ = V diag(1/w) U^T, formed in double. Single precision leaves X+
// accurate to about cond(X) * 6e-8, which would let a baseline of 100 leak into the
// condition effects at the 1e-4 level; one Newton-Schulz step in double,
// X+ <- 2 X+ - X+ X X+, squares that error away. (X^T X)^-1 = X+ (X+)^T follows in
// double. A design whose smallest singular value is below kRankTolerance of its
// largest, the threshold the library's own svd fit uses, is refused as singular.
//
// Per voxel, beta = X+ y and the residual sum of squares y^T y - beta^T (X^T X) beta
// are accumulated in double over the volumes: a sum of 250 squares of values near 100
// in single precision would lose the residual to cancellation. The voxel's first value
// is subtracted from its time course before the sums (the constant column absorbs it
// exactly, and is given it back afterwards), which keeps y^T y within a small factor
// of the residual. A residual below kExactFitFraction of y^T y is rounding, not
// residual, and counts as an exact fit (variance 0).
//
// AR(1) prewhitening (Prais-Winsten): with coefficient rho, the first volume of data and
// design is scaled by sqrt(1 - rho^2) and every later volume t becomes
// v[t] - rho v[t-1]; the transformed model has white errors and all N volumes, so the
// degrees of freedom stay N - P. The series layout is volume-major: voxel v of volume t
// is series[t * voxelCount + v], so each volume is a contiguous row of voxels and the
// voxel loops vectorise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tolvane::analysis {

constexpr double kRankTolerance = 1e-5;
constexpr double kExactFitFraction = 1e-12;

// One design, ready to fit: its pseudo-inverse and the matrices the statistics need,
// all P x P or P x N, row-major, double.
struct LeastSquaresModel {
  int volumes = 0;
  int columns = 0;
  double ar1 = 0.0;                   // the prewhitening coefficient, 0 for plain OLS
  std::vector<double> design;         // the (whitened) design, N x P
  std::vector<double> pseudoInverse;  // P x N
  std::vector<double> gram;           // X^T X
  std::vector<double> covariance;     // (X^T X)^-1
  std::size_t constantColumn = 0;

  int degreesOfFreedom() const { return volumes - columns; }
};

// The model of `design` (N x P, row-major) after the AR(1) transform with `ar1` (0 for
// none). nullopt when the design is singular.
std::optional<LeastSquaresModel> makeLeastSquaresModel(const std::vector<double>& design,
                                                       int volumes, int columns,
                                                       std::size_t constantColumn, double ar1);

struct VoxelFits {
  std::size_t voxelCount = 0;
  std::vector<double> coefficients;      // coefficient j of voxel v at j * voxelCount + v
  std::vector<double> residualVariance;  // residual sum of squares / degrees of freedom
  // Lag-1 autocorrelation of each voxel's residuals (NaN for an exact fit), when asked.
  std::vector<double> residualLag1;
};

VoxelFits fitVoxels(const LeastSquaresModel& model, const float* series, std::size_t voxelCount,
                    bool withResidualLag1);

// The AR(1) coefficient that serves every voxel. Its raw estimate is the mean over
// voxels of the lag-1 autocorrelation of their OLS residuals (exact fits, such as empty
// voxels outside the head, left out; and voxels outside `inside` when it is given, one
// entry per voxel, non-zero for those to pool). Residuals are biased towards negative
// autocorrelation: fitting removes part of the noise, most of all at the slow
// frequencies of a high-pass set, so a true 0.5 reads as about 0.43 on the default
// design. The estimate returned is the rho whose AR(1) noise would give that mean in
// expectation, E[sum e_t e_t-1] / E[sum e_t^2] with e = (I - X X+) noise, found by
// bisection in [-kMaxAr1, kMaxAr1] and bounded to it; 0 when no voxel has residuals.
constexpr double kMaxAr1 = 0.99;
double pooledAr1(const LeastSquaresModel& ols, const VoxelFits& olsFits,
                 const std::vector<std::uint8_t>& inside = {});

}  // namespace tolvane::analysis
