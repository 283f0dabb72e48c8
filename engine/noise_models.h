// Structured noise: spatial smoothness, temporal autocorrelation and slow
// drift, made from a white field.
//
// The grid starts out holding a standard normal white field z (unit variance,
// independent across voxels and time points) in the layout of synthesis.h. The
// models are applied in this order, each optional:
//   1. smoothing: every volume is convolved with a Gaussian kernel and each
//   voxel is
//      rescaled so that its variance stays exactly 1, near the grid's faces
//      too;
//   2. autoregression AR(1): e_0 = z_0, e_t = rho e_(t-1) + sqrt(1 - rho^2)
//   z_t, a
//      stationary process of variance 1 from the first volume on;
//   3. scaling to data units: value = (s * e) + b;
//   4. drift: each voxel gets a random combination of the discrete cosine
//   functions
//      whose period is longer than a cutoff, scaled so that its temporal
//      standard deviation is exactly D.
// Every step is single precision in a fixed order, so the result does not
// depend on how the work is split between threads. Nothing here is exported from the module.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/counter_noise.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// Runs body(begin, end) over [0, count) in pieces, possibly on several threads
// at once; the pieces never overlap and together cover the range.
using ParallelFor =
    std::function<void(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>&)>;

// Runs the whole range at once on the calling thread.
void runSerially(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body);

// The kernel reaches this many standard deviations from its centre; beyond it
// the Gaussian is below 3.4e-4 of its peak.
constexpr double kKernelReachSigmas = 4.0;

// A Gaussian sampled at whole-voxel offsets 0, 1, ..., radius along one axis
// (the kernel is symmetric): weights[k] = exp(-k^2 / (2 sigma^2)), sigma = FWHM
// / sqrt(8 ln 2) in voxels, radius = ceil(kKernelReachSigmas * sigma).
// Unnormalised: the rescaling that keeps the variance at 1 makes any constant
// factor irrelevant.
struct SmoothingKernel {
  std::vector<float> weights;
  int radius() const { return static_cast<int>(weights.size()) - 1; }
};

SmoothingKernel gaussianKernel(double fwhmMm, double voxelMm);

// Smoothing of every volume with the separable kernel of each axis (x, y, z). A
// voxel near a face has fewer neighbours inside the grid; taps outside are left
// out, and each voxel is then divided by sqrt(Sx(x) Sy(y) Sz(z)), where S sums
// the squared weights of the taps inside the grid along that axis: the variance
// of the smoothed white field, so that every voxel keeps variance 1.
//   One pass per axis: out(x) = w0 in(x) + sum over k = 1..r of wk (in(x - k) +
//   in(x + k)),
// the terms in that order, absent neighbours counting as 0.
void smoothVolumes(const VtcGrid& grid, const std::array<SmoothingKernel, 3>& kernels,
                   const ParallelFor& parallel = runSerially);

// The AR(1) recursion along every voxel's time course, in place.
void applyAutoregression(const VtcGrid& grid, float rho, const ParallelFor& parallel = runSerially);

// value <- (s * value) + b for every value.
void scaleToLevels(const VtcGrid& grid, const Levels& levels,
                   const ParallelFor& parallel = runSerially);

// The discrete cosine functions phi_k(t) = cos(pi k (2t + 1) / (2N)), k = 1 ..
// K, of a run of N volumes: phi_k has a period of 2N TR / k seconds, and K is
// the largest k whose period is longer than the cutoff. Each value is the C
// library's cosine in double, rounded to float. `values` holds K rows of N.
struct DriftBasis {
  int functions = 0;
  int timePoints = 0;
  std::vector<float> values;
};

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds);

// Writes a voxel's `count` standard normal coefficients.
using CoefficientSource = std::function<void(std::int64_t voxel, int count, float* out)>;

// Adds d(t) = D * u(t) / sd(u) to every voxel, u(t) = sum over k of c_k
// phi_k(t) with the voxel's coefficients, sd the population standard deviation
// over the run (a drift made of cosines has mean 0 over the run, so it shifts
// no voxel's mean). A basis without functions adds nothing.
void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const CoefficientSource& coefficients, const ParallelFor& parallel = runSerially);

// The steps that act on each voxel's time course alone (2 to 4 above).
struct TimeCourseModels {
  bool autoregressive = false;
  float rho = 0.0f;
  Levels levels{};
  const DriftBasis* drift = nullptr;  // none, or a basis (with no functions: no drift)
  float driftSd = 0.0f;
  CoefficientSource coefficients;
};

// A run's structured noise, the whole sequence above: the counter field of `key`
// (counter_noise.h) as the white field, smoothing with the kernels (none when every
// kernel is the single tap), then the time-course models. The work is ordered so that each voxel's
// values pass through the cache as few times as possible: a slice's field is computed a block of
// time points at a time and smoothed along x and y at once, a column's time courses are shaped
// right after its pass along z, and without smoothing the field of a few voxels is
// shaped right after it is written.
// The values are those of the separate steps in order, for any split of the work.
void makeStructuredNoise(const VtcGrid& grid, const FieldKey& key,
                         const std::array<SmoothingKernel, 3>& kernels,
                         const TimeCourseModels& models, const ParallelFor& parallel = runSerially);

// The work space, in bytes, that each thread of makeStructuredNoise holds at most while
// it smooths a grid of these dimensions (none without smoothing): blocks of whole
// slices and a column's time courses.
std::uint64_t smoothingWorkBytes(int dimX, int dimY, int dimZ, int timePoints);

}  // namespace tolvane::engine

#pragma GCC visibility pop
