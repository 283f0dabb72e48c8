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

// The smallest length >= n whose only prime factors are 2, 3, 5 and 7, which FFTW
// transforms fastest.
int fastLength(int n) {
  for (int m = std::max(n, 1);; ++m) {
    int rest = m;
    for (const int prime : {2, 3, 5, 7})
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
  std::unique_ptr<float, FftwFree<float>> real(fftwf_alloc_real(voxels));
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
  return (kDeviatesPerCounter + 1) * voxels * sizeof(float) + bins * sizeof(fftwf_complex);
}

void MixedAcfFilter::fill(const VtcGrid& grid, const FieldKey& key,
                          const ParallelFor& parallel) const {
  const int bx = box_[0], by = box_[1], bz = box_[2];
  const std::size_t voxels = static_cast<std::size_t>(bx) * by * bz;
  const std::size_t bins = gain_.size();
  const std::int64_t nT = grid.timePoints;
  const FieldKey margin{key.seed, key.run, kPaddingStream};
  // Four volumes at a time, the deviates of one counter per voxel.
  const std::int64_t blocks = (nT + kDeviatesPerCounter - 1) / kDeviatesPerCounter;
  parallel(blocks, [&](std::int64_t begin, std::int64_t end) {
    std::vector<float> volumes(kDeviatesPerCounter * voxels);
    std::unique_ptr<float, FftwFree<float>> real(fftwf_alloc_real(voxels));
    std::unique_ptr<fftwf_complex, FftwFree<fftwf_complex>> spectrum(fftwf_alloc_complex(bins));
    for (std::int64_t block = begin; block < end; ++block) {
      const int t0 = static_cast<int>(block * kDeviatesPerCounter);
      const int width = static_cast<int>(std::min<std::int64_t>(kDeviatesPerCounter, nT - t0));
      float deviates[kDeviatesPerCounter];
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
            for (int j = 0; j < width; ++j) volumes[j * voxels + boxVoxel] = deviates[j];
          }
      for (int j = 0; j < width; ++j) {
        std::memcpy(real.get(), &volumes[j * voxels], voxels * sizeof(float));
        fftwf_execute_dft_r2c(plans_->forward, real.get(), spectrum.get());
        for (std::size_t k = 0; k < bins; ++k) {
          spectrum.get()[k][0] = spectrum.get()[k][0] * gain_[k];
          spectrum.get()[k][1] = spectrum.get()[k][1] * gain_[k];
        }
        fftwf_execute_dft_c2r(plans_->backward, spectrum.get(), real.get());
        const float* field = real.get();
        for (int z = 0; z < grid.dimZ; ++z)
          for (int y = 0; y < grid.dimY; ++y)
            for (int x = 0; x < grid.dimX; ++x)
              grid.data[((std::int64_t{z} * grid.dimY + y) * grid.dimX + x) * nT + t0 + j] =
                  field[(static_cast<std::size_t>(z) * by + y) * bx + x];
      }
    }
  });
}

}  // namespace tolvane::engine
