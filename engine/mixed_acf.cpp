// The mixed-autocorrelation field; conventions in smoothing.h.
//
// The field is synthesised from its spectrum. Let C be the periodic box's circulant
// covariance, whose first row is rho at the box's minimum-image lags, and S its
// eigenvalues: the discrete Fourier transform of that row, real and even (S_k = S_-k)
// because the row is. For each of the box's N bins k let Z_k = u_k + i v_k, with u and v
// independent standard normal deviates, and
//   f(x) = sum_k g_k Z_k exp(2 pi i k.x / n)      (FFTW's unnormalised backward transform).
// Then E[f(x) conj f(x')] = 2 sum_k g_k^2 exp(2 pi i k.(x - x') / n), and
// E[f(x) f(x')] = 0 because E[Z_k Z_j] = 0 for every k and j (k = j included). Writing
// f = U + i V and taking real and imaginary parts of the two,
//   E[U U'] = E[V V'] = sum_k g_k^2 cos(2 pi k.(x - x') / n),
//   E[U V'] = E[V U'] = 0      (the sine sum vanishes since g is even),
// so the real and the imaginary part are two independent Gaussian fields with the same
// covariance. With g_k^2 = S_k / sum_j S_j that covariance is C / mean(S) (C's first row
// is (1 / N) sum_k S_k exp(2 pi i k.x / n)), whose diagonal is exactly 1: rho(0) = 1 is
// the mean of S, which clipping the negative S_k raises a little and the normalisation
// takes back out. One complex transform thus gives two volumes, and no forward
// transform of white noise is needed, since the transform of white noise is white.
//
// Volume pair p of a run (volumes 2p and 2p + 1) is the real and the imaginary part of
// the transform whose Z_k are the deviates of time points 2p and 2p + 1 of "voxel" k
// (the bin's index (kz * boxY + ky) * boxX + kx) in the run's kSpectrumStream: one
// counter gives the bins of two transforms.
//
// Only the grid's corner of the box is kept, so the inverse is pruned: each plane of
// constant kz is transformed along y, then only its rows y < grid y along x, while the
// plane is still in the cache right after its bins are drawn; the last transform, along
// z, runs only on the lines x < grid x, y < grid y, out of place into a "column" array in
// the grid's voxel order. Along y first because a power of two is the likeliest length
// there and its codelets are the fastest; z last because the bins are drawn plane by
// plane.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>

#include "engine/smoothing.h"
#include "engine/vector_dispatch.h"

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

// Volumes filled by one thread between writes to the grid: sixteen, the four volumes of
// each of four counters, so that each voxel's values go to the grid as a whole cache line.
constexpr int kVolumesAtOnce = 4 * kDeviatesPerCounter;
constexpr int kTransformsAtOnce = kVolumesAtOnce / 2;

// A plane's place in a spectrum array: its bins rounded up to a cache line of eight, and
// one line more, so that the lines along z do not all fall into the same cache sets (a
// plane of 64 x 80 bins is exactly ten pages). Every plane then starts at the
// alignment the plans were made for.
std::size_t planeStrideOf(int boxY, int boxX) {
  return (static_cast<std::size_t>(boxY) * boxX + 7) / 8 * 8 + 8;
}

template <typename T>
struct FftwFree {
  void operator()(T* p) const { fftwf_free(p); }
};

struct FftwFreeDouble {
  void operator()(fftw_complex* p) const { fftw_free(p); }
};

// The loops below move and scale data only; compiled for the widest vectors, they give
// the same bits on every path.

// Each grid voxel's volumes t0 .. t0 + width - 1 (width <= 16) into its time course, from
// the columns: transform j's value of grid voxel v, whose real and imaginary parts are
// volumes t0 + 2j and t0 + 2j + 1, is columns[j * columnStride + v].
[[gnu::always_inline]] inline void writeCoursesBody(const VtcGrid& grid, const float* columns,
                                                    std::size_t columnStride, int t0, int width) {
  const std::int64_t nT = grid.timePoints, voxels = grid.voxelCount();
  for (std::int64_t voxel = 0; voxel < voxels; ++voxel) {
    float values[kVolumesAtOnce];
    for (int j = 0; j < kTransformsAtOnce; ++j) {
      values[2 * j] = columns[2 * (j * columnStride + voxel)];
      values[2 * j + 1] = columns[2 * (j * columnStride + voxel) + 1];
    }
    float* const course = grid.data + voxel * nT + t0;
    if (width == kVolumesAtOnce) {
      for (int i = 0; i < kVolumesAtOnce; ++i) course[i] = values[i];
    } else {
      for (int i = 0; i < width; ++i) course[i] = values[i];
    }
  }
}

fftwf_plan checked(fftwf_plan plan) {
  if (plan == nullptr) throw std::logic_error("FFTW could not plan the mixed field's transform");
  return plan;
}

}  // namespace

double MixedAcf::at(double rMm) const {
  const double gaussian = a > 0.0 ? a * std::exp(-rMm * rMm / (2.0 * bMm * bMm)) : 0.0;
  const double exponential = a < 1.0 ? (1.0 - a) * std::exp(-rMm / cMm) : 0.0;
  return gaussian + exponential;
}

struct MixedAcfFilter::Plans {
  fftwf_plan alongY;  // one plane: every column, along y
  fftwf_plan alongX;  // one plane: the rows y < grid y, along x
  fftwf_plan alongZ;  // the whole spectrum: the lines x < grid x, y < grid y, along z,
                      // out of place into a column
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
  const std::size_t bins = static_cast<std::size_t>(bx) * by * bz;
  // The covariance's first row, and its transform S, in double.
  std::unique_ptr<fftw_complex, FftwFreeDouble> spectrum(fftw_alloc_complex(bins));
  fftw_complex* const row = spectrum.get();
  const auto lag = [](int d, int n) { return std::min(d, n - d); };
  for (int z = 0; z < bz; ++z)
    for (int y = 0; y < by; ++y)
      for (int x = 0; x < bx; ++x) {
        const double dx = lag(x, bx) * voxelMm[0], dy = lag(y, by) * voxelMm[1];
        const double dz = lag(z, bz) * voxelMm[2];
        const std::size_t k = (static_cast<std::size_t>(z) * by + y) * bx + x;
        row[k][0] = acf.at(std::sqrt(dx * dx + dy * dy + dz * dz));
        row[k][1] = 0.0;
      }
  {
    const std::lock_guard<std::mutex> guard(plannerLock());
    fftw_plan plan = fftw_plan_dft_3d(bz, by, bx, row, row, FFTW_FORWARD, FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
  }
  double total = 0.0;
  for (std::size_t k = 0; k < bins; ++k) total += std::max(row[k][0], 0.0);
  gain_.resize(bins);
  for (std::size_t k = 0; k < bins; ++k)
    gain_[k] = static_cast<float>(std::sqrt(std::max(row[k][0], 0.0) / total));
  // Plans on scratch arrays of the sizes and alignment every thread's arrays have.
  planeStride_ = planeStrideOf(by, bx);
  const std::size_t gridVoxels = static_cast<std::size_t>(dimX) * dimY * dimZ;
  columnStride_ = (gridVoxels + 7) / 8 * 8;
  const int stride = static_cast<int>(planeStride_), plane = dimY * dimX;
  std::unique_ptr<fftwf_complex, FftwFree<fftwf_complex>> scratch(
      fftwf_alloc_complex(planeStride_ * bz)),
      column(fftwf_alloc_complex(static_cast<std::size_t>(bz) * plane));
  fftwf_complex* const s = scratch.get();
  const fftwf_iodim columnY{by, bx, bx}, everyX{bx, 1, 1};
  const fftwf_iodim rowX{bx, 1, 1}, gridRows{dimY, bx, bx};
  const fftwf_iodim lineZ{bz, stride, plane};
  const fftwf_iodim gridLines[2] = {{dimY, bx, dimX}, {dimX, 1, 1}};
  const std::lock_guard<std::mutex> guard(plannerLock());
  plans_ = new Plans{
      checked(fftwf_plan_guru_dft(1, &columnY, 1, &everyX, s, s, FFTW_BACKWARD, FFTW_ESTIMATE)),
      checked(fftwf_plan_guru_dft(1, &rowX, 1, &gridRows, s, s, FFTW_BACKWARD, FFTW_ESTIMATE)),
      checked(fftwf_plan_guru_dft(1, &lineZ, 2, gridLines, s, column.get(), FFTW_BACKWARD,
                                  FFTW_ESTIMATE | FFTW_DESTROY_INPUT))};
}

MixedAcfFilter::~MixedAcfFilter() {
  for (Bin* arrays : idleWork_) fftwf_free(arrays);
  const std::lock_guard<std::mutex> guard(plannerLock());
  fftwf_destroy_plan(plans_->alongY);
  fftwf_destroy_plan(plans_->alongX);
  fftwf_destroy_plan(plans_->alongZ);
  delete plans_;
}

// A thread's work arrays, kept by the filter between fills: fresh pages would cost a
// fault each, as much as a tenth of the field's time.
MixedAcfFilter::BorrowedWork::BorrowedWork(const MixedAcfFilter& filter) : filter_(filter) {
  {
    const std::lock_guard<std::mutex> guard(filter.workLock_);
    if (!filter.idleWork_.empty()) {
      arrays = filter.idleWork_.back();
      filter.idleWork_.pop_back();
      return;
    }
  }
  arrays = fftwf_alloc_complex(filter.workBytes(0) / sizeof(fftwf_complex));
  if (arrays == nullptr) throw std::bad_alloc();
}

MixedAcfFilter::BorrowedWork::~BorrowedWork() {
  const std::lock_guard<std::mutex> guard(filter_.workLock_);
  filter_.idleWork_.push_back(arrays);
}

std::uint64_t MixedAcfFilter::workBytes(int /*timePoints*/) const {
  return (2 * planeStride_ * box_[2] + columnsSize()) * sizeof(fftwf_complex);
}

std::size_t MixedAcfFilter::columnsSize() const {
  // The last transform writes all boxZ planes of its column; the planes z >= grid z
  // run into the next columns, which are written after it.
  const std::size_t plane = static_cast<std::size_t>(grid_[1]) * grid_[0];
  return (kTransformsAtOnce - 1) * columnStride_ + box_[2] * plane;
}

void MixedAcfFilter::synthesise(const FieldKey& key, std::uint32_t timeBlock, Bin* first,
                                Bin* second, Bin* columns) const {
  const std::size_t planeBins = static_cast<std::size_t>(box_[1]) * box_[0];
  for (int kz = 0; kz < box_[2]; ++kz) {
    const std::size_t firstBin = kz * planeBins;
    fftwf_complex* const a = first + kz * planeStride_;
    fftwf_complex* const b = second + kz * planeStride_;
    scaledDeviatePairs(key, static_cast<std::int64_t>(firstBin),
                       static_cast<std::int64_t>(planeBins), timeBlock, gain_.data() + firstBin,
                       &a[0][0], &b[0][0]);
    for (fftwf_complex* const plane : {a, b}) {
      fftwf_execute_dft(plans_->alongY, plane, plane);
      fftwf_execute_dft(plans_->alongX, plane, plane);
    }
  }
  fftwf_execute_dft(plans_->alongZ, first, columns);
  fftwf_execute_dft(plans_->alongZ, second, columns + columnStride_);
}

void MixedAcfFilter::fill(const VtcGrid& grid, const FieldKey& key,
                          const ParallelFor& parallel) const {
  const std::int64_t nT = grid.timePoints;
  const FieldKey spectrumKey{key.seed, key.run, kSpectrumStream};
  const std::int64_t blocks = (nT + kVolumesAtOnce - 1) / kVolumesAtOnce;
  parallel(blocks, [&](std::int64_t begin, std::int64_t end) {
    const BorrowedWork work(*this);
    const std::size_t spectrumSize = planeStride_ * box_[2];
    fftwf_complex* const first = work.arrays;
    fftwf_complex* const second = first + spectrumSize;
    fftwf_complex* const columns = second + spectrumSize;
    for (std::int64_t block = begin; block < end; ++block) {
      const int t0 = static_cast<int>(block * kVolumesAtOnce);
      const int width = static_cast<int>(std::min<std::int64_t>(kVolumesAtOnce, nT - t0));
      // In order of their columns, each overwriting the spill of the one before.
      for (int c = 0; c * kDeviatesPerCounter < width; ++c)
        synthesise(spectrumKey, static_cast<std::uint32_t>(t0 / kDeviatesPerCounter + c), first,
                   second, columns + 2 * c * columnStride_);
      onWidestVectors([&]() TOLVANE_VECTOR_BODY {
        writeCoursesBody(grid, &columns[0][0], columnStride_, t0, width);
      });
    }
  });
}

}  // namespace tolvane::engine
