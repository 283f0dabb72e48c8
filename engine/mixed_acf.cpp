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
// constant kz is transformed along y right after its bins are drawn, while it is in the
// cache, then only its rows y < grid y along x, out of place into a "rows" array of
// boxZ such planes; the last transform, along z, runs only on the lines x < grid x,
// y < grid y, out of place into a "column" array in the grid's voxel order. Along y
// first because a power of two is the likeliest length there and its codelets are the
// fastest; z last because the bins are drawn plane by plane. (FFTW's estimated plans run
// the strided transforms out of place markedly faster than in place.)
#include <fftw3.h>

#include <algorithm>
#include <cmath>
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

// Volumes filled by one thread between writes to the grid: 32, the four volumes of each
// of eight counters, so that each voxel's course is written 128 bytes at a time and few
// of its cache lines are written in two pieces (the courses' lines are not aligned to
// the blocks); fewer would cost more in the writes, more would outgrow the cache.
constexpr int kVolumesAtOnce = 8 * kDeviatesPerCounter;
constexpr int kTransformsAtOnce = kVolumesAtOnce / 2;

// Bins rounded up to whole cache lines of eight, so that every array placed after them
// starts at the alignment the plans were made for.
std::size_t wholeLines(std::size_t bins) { return (bins + 7) / 8 * 8; }

// A plane's place in a rows array: its rows' bins in whole cache lines, and one line
// more, so that the lines along z do not all fall into the same cache sets (40 rows of
// 64 bins would be exactly five pages).
std::size_t rowsStrideOf(int rows, int boxX) {
  return wholeLines(static_cast<std::size_t>(rows) * boxX) + 8;
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

// Each grid voxel's volumes t0 .. t0 + width - 1 (width <= 32) into its time course, from
// the columns: transform j's value of grid voxel v, whose real and imaginary parts are
// volumes t0 + 2j and t0 + 2j + 1, is columns[j * columnStride + v]. A whole block has
// loops of fixed length, which the compiler unrolls.
[[gnu::always_inline]] inline void writeCoursesBody(const VtcGrid& grid, const float* columns,
                                                    std::size_t columnStride, int t0, int width) {
  const std::int64_t nT = grid.timePoints, voxels = grid.voxelCount();
  const auto write = [&](int count) TOLVANE_VECTOR_BODY {
    for (std::int64_t voxel = 0; voxel < voxels; ++voxel) {
      float values[kVolumesAtOnce];
      for (int j = 0; j < (count + 1) / 2; ++j) {
        values[2 * j] = columns[2 * (j * columnStride + voxel)];
        values[2 * j + 1] = columns[2 * (j * columnStride + voxel) + 1];
      }
      float* const course = grid.data + voxel * nT + t0;
      for (int i = 0; i < count; ++i) course[i] = values[i];
    }
  };
  if (width == kVolumesAtOnce) {
    write(kVolumesAtOnce);
  } else {
    write(width);
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
  fftwf_plan alongX;  // one plane: the rows y < grid y, along x, out of place into a
                      // plane of the rows array
  fftwf_plan alongZ;  // the rows array: the lines x < grid x, along z, out of place into
                      // a column
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
  const std::size_t boxBins = static_cast<std::size_t>(bx) * by * bz;
  // The covariance's first row, and its transform S, in double.
  std::unique_ptr<fftw_complex, FftwFreeDouble> spectrum(fftw_alloc_complex(boxBins));
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
  for (std::size_t k = 0; k < boxBins; ++k) total += std::max(row[k][0], 0.0);
  gain_.resize(boxBins);
  for (std::size_t k = 0; k < boxBins; ++k)
    gain_[k] = static_cast<float>(std::sqrt(std::max(row[k][0], 0.0) / total));
  // Plans on scratch arrays of the sizes and alignment every thread's arrays have.
  rowsStride_ = rowsStrideOf(dimY, bx);
  const std::size_t gridVoxels = static_cast<std::size_t>(dimX) * dimY * dimZ;
  columnStride_ = wholeLines(gridVoxels);
  const int rowsStride = static_cast<int>(rowsStride_), gridPlane = dimY * dimX;
  using Scratch = std::unique_ptr<fftwf_complex, FftwFree<fftwf_complex>>;
  const Scratch plane(fftwf_alloc_complex(static_cast<std::size_t>(by) * bx)),
      rows(fftwf_alloc_complex(rowsStride_ * bz)),
      column(fftwf_alloc_complex(static_cast<std::size_t>(bz) * gridPlane));
  const fftwf_iodim columnY{by, bx, bx}, everyX{bx, 1, 1};
  const fftwf_iodim rowX{bx, 1, 1}, gridRows{dimY, bx, bx};
  const fftwf_iodim lineZ{bz, rowsStride, gridPlane};
  const fftwf_iodim gridLines[2] = {{dimY, bx, dimX}, {dimX, 1, 1}};
  constexpr unsigned kPlanning = FFTW_ESTIMATE | FFTW_DESTROY_INPUT;
  const std::lock_guard<std::mutex> guard(plannerLock());
  plans_ = new Plans{checked(fftwf_plan_guru_dft(1, &columnY, 1, &everyX, plane.get(), plane.get(),
                                                 FFTW_BACKWARD, kPlanning)),
                     checked(fftwf_plan_guru_dft(1, &rowX, 1, &gridRows, plane.get(), rows.get(),
                                                 FFTW_BACKWARD, kPlanning)),
                     checked(fftwf_plan_guru_dft(1, &lineZ, 2, gridLines, rows.get(), column.get(),
                                                 FFTW_BACKWARD, kPlanning))};
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
  arrays = fftwf_alloc_complex(filter.workBins());
  if (arrays == nullptr) throw std::bad_alloc();
}

MixedAcfFilter::BorrowedWork::~BorrowedWork() {
  const std::lock_guard<std::mutex> guard(filter_.workLock_);
  filter_.idleWork_.push_back(arrays);
}

std::uint64_t MixedAcfFilter::workBytes(int /*timePoints*/) const {
  return workBins() * sizeof(fftwf_complex);
}

std::size_t MixedAcfFilter::workBins() const {
  // Two planes of bins, two rows arrays, and the columns of one block of volumes: the
  // last transform writes all boxZ planes of its column, and the planes z >= grid z run
  // into the next columns, which are written after it.
  const std::size_t gridPlane = static_cast<std::size_t>(grid_[1]) * grid_[0];
  return columnsOffset() + (kTransformsAtOnce - 1) * columnStride_ + box_[2] * gridPlane;
}

std::size_t MixedAcfFilter::columnsOffset() const {
  return 2 * (planeSpace() + rowsStride_ * box_[2]);
}

std::size_t MixedAcfFilter::planeSpace() const {
  return wholeLines(static_cast<std::size_t>(box_[1]) * box_[0]);
}

void MixedAcfFilter::synthesise(const FieldKey& key, std::uint32_t timeBlock, Bin* work,
                                Bin* columns) const {
  const std::size_t planeBins = static_cast<std::size_t>(box_[1]) * box_[0];
  const std::size_t rowsSize = rowsStride_ * box_[2];
  Bin* const planes[2] = {work, work + planeSpace()};
  Bin* const rows[2] = {work + 2 * planeSpace(), work + 2 * planeSpace() + rowsSize};
  for (int kz = 0; kz < box_[2]; ++kz) {
    const std::size_t firstBin = kz * planeBins;
    scaledDeviatePairs(key, static_cast<std::int64_t>(firstBin),
                       static_cast<std::int64_t>(planeBins), timeBlock, gain_.data() + firstBin,
                       &planes[0][0][0], &planes[1][0][0]);
    for (int j = 0; j < 2; ++j) {
      fftwf_execute_dft(plans_->alongY, planes[j], planes[j]);
      fftwf_execute_dft(plans_->alongX, planes[j], rows[j] + kz * rowsStride_);
    }
  }
  fftwf_execute_dft(plans_->alongZ, rows[0], columns);
  fftwf_execute_dft(plans_->alongZ, rows[1], columns + columnStride_);
}

void MixedAcfFilter::fill(const VtcGrid& grid, const FieldKey& key,
                          const ParallelFor& parallel) const {
  const std::int64_t nT = grid.timePoints;
  const FieldKey spectrumKey{key.seed, key.run, kSpectrumStream};
  const std::int64_t blocks = (nT + kVolumesAtOnce - 1) / kVolumesAtOnce;
  parallel(blocks, [&](std::int64_t begin, std::int64_t end) {
    const BorrowedWork work(*this);
    fftwf_complex* const columns = work.arrays + columnsOffset();
    for (std::int64_t block = begin; block < end; ++block) {
      const int t0 = static_cast<int>(block * kVolumesAtOnce);
      const int width = static_cast<int>(std::min<std::int64_t>(kVolumesAtOnce, nT - t0));
      // In order of their columns, each overwriting the spill of the one before.
      for (int c = 0; c * kDeviatesPerCounter < width; ++c)
        synthesise(spectrumKey, static_cast<std::uint32_t>(t0 / kDeviatesPerCounter + c),
                   work.arrays, columns + 2 * c * columnStride_);
      onWidestVectors([&]() TOLVANE_VECTOR_BODY {
        writeCoursesBody(grid, &columns[0][0], columnStride_, t0, width);
      });
    }
  });
}

}  // namespace tolvane::engine
