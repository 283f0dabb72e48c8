// Spatial correlation of the noise field: Gaussian smoothing, and the mixed
// Gaussian-plus-exponential autocorrelation.
//
// Both make each volume a field of variance exactly 1 at every voxel, near the grid's
// faces too, and independent of the other volumes.
//
// Gaussian smoothing convolves every volume of a white field z of unit variance
// (independent across voxels and time points) with a separable sampled Gaussian; taps
// outside the grid are left out and each voxel is divided by the standard deviation its
// in-grid taps give it.
//
// The mixed autocorrelation is
//   rho(r) = a exp(-r^2 / (2 b^2)) + (1 - a) exp(-r / c),   r the distance in mm,
// the sum of a Gaussian-correlated field and an exponential-correlated one mixed with
// weights sqrt(a) and sqrt(1 - a). Both are made at once, as one stationary Gaussian field
// with that covariance on a periodic box: along each axis at least the grid's side plus
// m - 1 voxels, m the distance where rho falls below kMixedAcfReach in voxels rounded up,
// so that two voxels of the grid whose lag wraps around the box are at least that
// distance apart both ways (rho there stays below kMixedAcfReach). Its spectrum, complex white deviates times sqrt(S), S the
// discrete Fourier transform of rho sampled at the box's lattice lags (minimum-image
// distances; the rare negative values of S from the truncation are set to 0), is
// transformed back, and the grid is cut out. The real and the imaginary part of one
// transform are two independent volumes (mixed_acf.cpp derives this and the
// normalisation). The field is stationary on the box, so every voxel of the grid, at a
// face or not, has the same variance, which the normalisation makes 1; its
// autocorrelation at every lattice lag inside the grid is rho to within the clipped part
// of S, where the lag is at most half the box along each axis, and below kMixedAcfReach
// beyond. Its deviates come from lane streams (counter_noise.h). S is computed once per run in double (FFTW); the volumes' transforms are the
// engine's own line transforms (line_fft.h), whose every operation is fixed, so a
// volume's values depend neither on the number of threads nor on the processor.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/counter_noise.h"
#include "engine/line_fft.h"
#include "engine/parallel_for.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

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

// The three axes' kernels (x, y, z); the single tap on every axis means no smoothing.
using SmoothingKernels = std::array<SmoothingKernel, 3>;

// The work space, in bytes, that each thread holds at most while it smooths a grid of
// these dimensions with Gaussian kernels: blocks of whole slices and a column's time
// courses.
std::uint64_t smoothingWorkBytes(int dimX, int dimY, int dimZ, int timePoints);

// The mixed autocorrelation's parameters: 0 <= a <= 1, b and c in mm (b > 0 when a > 0,
// c > 0 when a < 1).
struct MixedAcf {
  double a = 1.0;
  double bMm = 0.0;
  double cMm = 0.0;
  // rho(r) at a distance of r mm.
  double at(double rMm) const;
};

// The margin stops where rho falls below this.
constexpr double kMixedAcfReach = 1e-3;

// The filter of a grid's mixed field, made once per run. It keeps the threads' work
// arrays from one fill to the next until it is destroyed.
class MixedAcfFilter {
 public:
  MixedAcfFilter(const MixedAcf& acf, int dimX, int dimY, int dimZ,
                 const std::array<double, 3>& voxelMm);
  ~MixedAcfFilter();
  MixedAcfFilter(const MixedAcfFilter&) = delete;
  MixedAcfFilter& operator=(const MixedAcfFilter&) = delete;

  // The periodic box's dimensions (each at least the grid's plus the reach, less a voxel).
  std::array<int, 3> box() const { return box_; }
  // The work space, in bytes, that each thread filling holds.
  std::uint64_t workBytes(int timePoints) const;

  // Fills every time point of every voxel of `grid` with the mixed field f of `key`, put
  // on `levels` as (s * f) + b (kStandardNormal leaves f as it is): volumes 4b .. 4b + 3
  // come from the lane streams of time block b of key's run in kSpectrumStream (see
  // mixed_acf.cpp for the order of the bins). Volumes are shared out with `parallel`.
  // Every vector path gives the same bits; the widest is the default.
  void fill(const VtcGrid& grid, const FieldKey& key, const Levels& levels,
            const ParallelFor& parallel, cpu::VectorPath path = cpu::preferredVectorPath()) const;

 private:
  // Where a thread's work arrays lie in one allocation, in floats (mixed_acf.cpp).
  struct WorkLayout {
    std::size_t bins, rows, slabs, line, scratch, total;
  };
  // Steps 1 and 2 of the two transforms of time block `timeBlock` (volumes 4b .. 4b + 3)
  // in a thread's work arrays, into the two slabs from `slabs`.
  void synthesise(const FieldKey& key, std::uint32_t timeBlock, float* work, float* slabs,
                  cpu::VectorPath path) const;
  // One thread's work arrays for the length of a fill.
  struct BorrowedWork {
    explicit BorrowedWork(const MixedAcfFilter& filter);
    ~BorrowedWork();
    BorrowedWork(const BorrowedWork&) = delete;
    BorrowedWork& operator=(const BorrowedWork&) = delete;
    float* arrays = nullptr;

   private:
    const MixedAcfFilter& filter_;
  };
  std::array<int, 3> box_{};
  std::array<int, 3> grid_{};
  std::vector<float> gain_;  // sqrt(S / sum S), one per bin, in the order they are drawn
  LineTransform alongX_, alongY_, alongZ_;
  int rowLanes_ = 0;              // a row of bins along x, in whole lane blocks
  std::size_t rowsPlane_ = 0;     // one kz of a rows array: grid y rows of one lane block
  std::size_t planeFloats_ = 0;   // a plane of grid y rows, in a rows array or a slab
  std::size_t slabFloats_ = 0;    // floats from one transform's slab to the next
  WorkLayout layout_{};
  mutable std::mutex workLock_;
  mutable std::vector<float*> idleWork_;  // work arrays of finished fills, for the next ones
};

}  // namespace tolvane::engine

#pragma GCC visibility pop
