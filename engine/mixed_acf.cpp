// The mixed-autocorrelation field; conventions in smoothing.h.
//
// The field is C^(1/2) z on a periodic box, C the circulant covariance whose first row
// is rho at the box's minimum-image lags: C's eigenvalues are the unnormalised discrete
// Fourier transform S of that row, so C^(1/2) z is the inverse transform of
// sqrt(S) times the transform of z (with FFTW's unnormalised transforms, divided by the
// box's voxel count). Dividing sqrt(S) by the root of S's mean as well makes the
// variance (1 / N) sum_k S_k / mean(S) exactly 1.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <memory>
#include <mutex>

#include "engine/smoothing.h"

namespace tolvane::engine {
namespace {

// FFTW's planner is not thread-safe; its plans' execution is.
std::mutex& plannerLock() {
  static std::mutex lock;
  return lock;
}

// The smallest even length >= n whose only prime factors are 2, 3 and 5, which FFTW
// transforms fastest.
int fastLength(int n) {
  for (int m = std::max(n, 2);; ++m) {
    if (m % 2 != 0) continue;
    int rest = m;
    for (const int prime : {2, 3, 5})
      while (rest % prime == 0) rest /= prime;
    if (rest == 1) return m;
  }
}

// The distance in mm beyond which rho stays below kMixedAcfReach (rho decreases with r).
double reachMm(const MixedAcf& acf) {
  double low = 0.0, high = 1.0;
  while (acf.at(high) >= kMixedAcfReach) high *= 2.0;
  for (int i = 0; i < 60; ++i) {
    const double middle = 0.5 * (low + high);
    (acf.at(middle) >= kMixedAcfReach ? low : high) = middle;
  }
  return high;
}

// Volumes filtered by one thread between writes to the grid: sixteen, the deviates of four
// counters per voxel, so that each voxel's values go to the grid as a whole cache line.
constexpr int kVolumesAtOnce = 4 * kDeviatesPerCounter;

// A volume's place in the work space, rounded up to 64 bytes so that every volume has
// the alignment FFTW's plans were made for.
std::size_t volumeStride(std::size_t voxels) { return (voxels + 15) / 16 * 16; }

template <typename T>
struct FftwFree {
  void operator()(T* p) const { fftwf_free(p); }
};

}  // namespace

double MixedAcf::at(double rMm) const {
  const double gaussian = a > 0.0 ? a * std::exp(-rMm * rMm / (2.0 * bMm * bMm)) : 0.0;
  const double exponential = a < 1.0 ? (1.0 - a) * std::exp(-rMm / cMm) : 0.0;
  return gaussian + exponential;
}

struct MixedAcfFilter::Plans {
  fftwf_plan forward;
  fftwf_plan backward;
};

MixedAcfFilter::MixedAcfFilter(const MixedAcf& acf, int dimX, int dimY, int dimZ,
                               const std::array<double, 3>& voxelMm)
    : grid_{dimX, dimY, dimZ} {
  const double reach = reachMm(acf);
  for (int axis = 0; axis < 3; ++axis) {
    const int margin = static_cast<int>(std::ceil(reach / voxelMm[axis]));
    box_[axis] = fastLength(std::max(grid_[axis] + margin, 2 * margin));
  }
  const int bx = box_[0], by = box_[1], bz = box_[2];
  const std::size_t voxels = static_cast<std::size_t>(bx) * by * bz;
  const int halfX = bx / 2 + 1;
  const std::size_t bins = static_cast<std::size_t>(bz) * by * halfX;
  // The covariance's first row, and its transform, in double.
  std::vector<double> row(voxels);
  const auto lag = [](int d, int n) { return std::min(d, n - d); };
  for (int z = 0; z < bz; ++z)
    for (int y = 0; y < by; ++y)
      for (int x = 0; x < bx; ++x) {
        const double dx = lag(x, bx) * voxelMm[0], dy = lag(y, by) * voxelMm[1];
        const double dz = lag(z, bz) * voxelMm[2];
        row[(static_cast<std::size_t>(z) * by + y) * bx + x] =
            acf.at(std::sqrt(dx * dx + dy * dy + dz * dz));
      }
  std::vector<std::complex<double>> spectrum(bins);
  {
    const std::lock_guard<std::mutex> guard(plannerLock());
    fftw_plan plan = fftw_plan_dft_r2c_3d(bz, by, bx, row.data(),
                                          reinterpret_cast<fftw_complex*>(spectrum.data()),
                                          FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
  }
  // The mean of S over all N bins: the half spectrum's bins count twice except those
  // with x = 0 and, for an even box, x = bx / 2, which are their own mirror images.
  double total = 0.0;
  std::vector<double> clipped(bins);
  for (std::size_t k = 0; k < bins; ++k) {
    clipped[k] = std::max(spectrum[k].real(), 0.0);
    const int x = static_cast<int>(k % halfX);
    const bool ownMirror = x == 0 || (bx % 2 == 0 && x == bx / 2);
    total += (ownMirror ? 1.0 : 2.0) * clipped[k];
  }
  const double mean = total / static_cast<double>(voxels);
  gain_.resize(bins);
  for (std::size_t k = 0; k < bins; ++k)
    gain_[k] = static_cast<float>(std::sqrt(clipped[k] / mean) / static_cast<double>(voxels));
  // Plans on scratch arrays of the size and alignment every thread's arrays have.
  std::unique_ptr<float, FftwFree<float>> real(fftwf_alloc_real(volumeStride(voxels)));
  std::unique_ptr<fftwf_complex, FftwFree<fftwf_complex>> spectrumScratch(fftwf_alloc_complex(bins));
  const std::lock_guard<std::mutex> guard(plannerLock());
  plans_ = new Plans{
      fftwf_plan_dft_r2c_3d(bz, by, bx, real.get(), spectrumScratch.get(), FFTW_ESTIMATE),
      fftwf_plan_dft_c2r_3d(bz, by, bx, spectrumScratch.get(), real.get(), FFTW_ESTIMATE)};
}

MixedAcfFilter::~MixedAcfFilter() {
  const std::lock_guard<std::mutex> guard(plannerLock());
  fftwf_destroy_plan(plans_->forward);
  fftwf_destroy_plan(plans_->backward);
  delete plans_;
}

std::uint64_t MixedAcfFilter::workBytes(int /*timePoints*/) const {
  const std::uint64_t voxels = static_cast<std::uint64_t>(box_[0]) * box_[1] * box_[2];
  const std::uint64_t bins = static_cast<std::uint64_t>(box_[2]) * box_[1] * (box_[0] / 2 + 1);
  return kVolumesAtOnce * volumeStride(voxels) * sizeof(float) + bins * sizeof(fftwf_complex);
}

void MixedAcfFilter::fill(const VtcGrid& grid, const FieldKey& key,
                          const ParallelFor& parallel) const {
  const int bx = box_[0], by = box_[1], bz = box_[2];
  const std::size_t voxels = static_cast<std::size_t>(bx) * by * bz;
  const std::size_t stride = volumeStride(voxels);
  const std::size_t bins = gain_.size();
  const std::int64_t nT = grid.timePoints;
  const FieldKey margin{key.seed, key.run, kPaddingStream};
  const std::int64_t blocks = (nT + kVolumesAtOnce - 1) / kVolumesAtOnce;
  parallel(blocks, [&](std::int64_t begin, std::int64_t end) {
    std::unique_ptr<float, FftwFree<float>> volumes(fftwf_alloc_real(kVolumesAtOnce * stride));
    std::unique_ptr<fftwf_complex, FftwFree<fftwf_complex>> spectrum(fftwf_alloc_complex(bins));
    float* const work = volumes.get();
    fftwf_complex* const bin = spectrum.get();
    for (std::int64_t block = begin; block < end; ++block) {
      const int t0 = static_cast<int>(block * kVolumesAtOnce);
      const int width = static_cast<int>(std::min<std::int64_t>(kVolumesAtOnce, nT - t0));
      // The white deviates: the grid's own field inside it, the margin's stream outside.
      float deviates[kVolumesAtOnce];
      for (int z = 0; z < bz; ++z)
        for (int y = 0; y < by; ++y)
          for (int x = 0; x < bx; ++x) {
            const std::size_t boxVoxel = (static_cast<std::size_t>(z) * by + y) * bx + x;
            if (x < grid.dimX && y < grid.dimY && z < grid.dimZ) {
              fieldDeviates(key, (std::int64_t{z} * grid.dimY + y) * grid.dimX + x, t0, width,
                            deviates);
            } else {
              fieldDeviates(margin, static_cast<std::int64_t>(boxVoxel), t0, width, deviates);
            }
            for (int j = 0; j < width; ++j) work[j * stride + boxVoxel] = deviates[j];
          }
      for (int j = 0; j < width; ++j) {
        fftwf_execute_dft_r2c(plans_->forward, work + j * stride, bin);
        for (std::size_t k = 0; k < bins; ++k) {
          bin[k][0] = bin[k][0] * gain_[k];
          bin[k][1] = bin[k][1] * gain_[k];
        }
        fftwf_execute_dft_c2r(plans_->backward, bin, work + j * stride);
      }
      for (int z = 0; z < grid.dimZ; ++z)
        for (int y = 0; y < grid.dimY; ++y)
          for (int x = 0; x < grid.dimX; ++x) {
            const std::size_t boxVoxel = (static_cast<std::size_t>(z) * by + y) * bx + x;
            float* course =
                grid.data + ((std::int64_t{z} * grid.dimY + y) * grid.dimX + x) * nT + t0;
            for (int j = 0; j < width; ++j) course[j] = work[j * stride + boxVoxel];
          }
    }
  });
}

}  // namespace tolvane::engine
