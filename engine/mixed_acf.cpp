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
// the transform whose Z_k are deviates of the run's lane streams (counter_noise.h) in
// kSpectrumStream. Bin (kx, ky, kz) is drawn by stream kx % 16 of time block p / 2 and
// lane block kx / 16, which draws its bins in the order kz, then ky: the row of bins
// (ky, kz) is the stream's row kz * boxY + ky, whose d0 + i d1 is Z_k of volume pair 2b
// and d2 + i d3 of pair 2b + 1 (b the time block), so that one row gives the bins of two
// transforms.
//
// Only the grid's corner of the box is kept, so the inverse is pruned, axis by axis,
// each axis's transform vectorised across lines (line_fft.h):
//   1. for one lane block of x at a time, the bins of each plane of constant kz are
//      drawn and transformed along y; only the rows y < grid y are kept, in a "rows"
//      array of boxZ such planes;
//   2. the rows array is transformed along z, each (y, x) a line; only the planes
//      z < grid z are kept, in the transform's "slab" of the whole x extent;
//   3. once the slabs of all sixteen transforms of a block of volumes are made, each row
//      (z, y) is turned so that the sixteen transforms run along the lanes, transformed
//      along x, and x < grid x kept: lane j of output x is transform j's value at voxel
//      (x, y, z), so interleaving the real and imaginary parts gives the voxel's 32
//      volumes in time order, which are written to its course at once.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "engine/register_vectors.h"
#include "engine/smoothing.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

static_assert(kLineLanes == 16, "the spectrum's deviates are drawn in blocks of sixteen bins");

// FFTW's planner is not thread-safe; its plans' execution is.
std::mutex& plannerLock() {
  static std::mutex lock;
  return lock;
}

// The smallest even length >= n whose only prime factors are 2, 3 and 5, which the line
// transforms take.
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
static_assert(kTransformsAtOnce == kLineLanes, "a block's transforms fill the lanes of step 3");

// Work arrays start on a cache line.
constexpr std::align_val_t kWorkAlignment{64};

// `floats` rounded up to whole cache lines of sixteen, an odd number of them, so that
// arrays this far apart do not all fall into the same cache sets.
std::size_t oddLines(std::size_t floats) {
  std::size_t lines = (floats + 15) / 16;
  if (lines % 2 == 0) ++lines;
  return lines * 16;
}

struct FftwFreeDouble {
  void operator()(fftw_complex* p) const { fftw_free(p); }
};

template <int W>
using Lanes = FloatVector<W>;

constexpr int kPrefetchVoxels = 8;

// out = lanes `first` .. first + W / 2 - 1 of re and im, interleaved: re, im, re, im, ...
template <int W, int first, std::size_t... lane>
[[gnu::always_inline]] inline void interleave(const Lanes<W>& re, const Lanes<W>& im, Lanes<W>& out,
                                              std::index_sequence<lane...>) {
  out = __builtin_shufflevector(re, im, ((lane & 1) ? W + first + lane / 2 : first + lane / 2)...);
}

// Step 3 and the writing, on `levels`, for one block of volumes, t0 .. t0 + width - 1
// (width <= 32), W lanes at a time:
// the slab of transform j starts at slabs + j * slabFloats, its plane z at
// z * planeFloats, its row y at y * 2 * rowLanes in it; `line` holds two transforms' work.
template <int W>
[[gnu::always_inline]] inline void writeCoursesBody(const VtcGrid& grid, const float* slabs,
                                                    std::size_t slabFloats, std::size_t planeFloats,
                                                    int rowLanes, const LineTransform& alongX,
                                                    float* line, float* scratch,
                                                    const Levels& levels, int t0, int width,
                                                    cpu::VectorPath path) {
  constexpr int kParts = kLineLanes / W;
  const std::int64_t nT = grid.timePoints;
  const int boxX = alongX.length();
  const bool scaled = levels.noiseAmplitude != 1.0f || levels.baseline != 0.0f;
  float* const across = line;
  float* const kept = line + static_cast<std::size_t>(boxX) * kLaneBlockFloats;
  for (int z = 0; z < grid.dimZ; ++z)
    for (int y = 0; y < grid.dimY; ++y) {
      const std::size_t row = z * planeFloats + static_cast<std::size_t>(y) * 2 * rowLanes;
      // Transform j's values along x become lane j of the lane block of each x.
      for (int x0 = 0; x0 < boxX; x0 += kLineLanes)
        for (int part = 0; part < 2; ++part)
          for (int xPart = 0; xPart < kParts; ++xPart)
            for (int jPart = 0; jPart < kParts; ++jPart) {
              Lanes<W> v[W];
              const float* const from = slabs + row + 2 * x0 + part * kLineLanes + xPart * W;
              for (int j = 0; j < W; ++j)
                std::memcpy(&v[j], from + (jPart * W + j) * slabFloats, sizeof(Lanes<W>));
              turn<W>(v);
              const int x1 = x0 + xPart * W;
              for (int i = 0; i < W && x1 + i < boxX; ++i)
                std::memcpy(across + (x1 + i) * kLaneBlockFloats + part * kLineLanes + jPart * W,
                            &v[i], sizeof(Lanes<W>));
            }
      alongX.run(across, kLaneBlockFloats, kept, kLaneBlockFloats, grid.dimX, scratch, path);
      for (int x = 0; x < grid.dimX; ++x) {
        // Volume 2j is transform j's real part, volume 2j + 1 its imaginary part.
        float volumes[kVolumesAtOnce];
        for (int jPart = 0; jPart < kParts; ++jPart) {
          Lanes<W> re, im;
          std::memcpy(&re, kept + x * kLaneBlockFloats + jPart * W, sizeof(Lanes<W>));
          std::memcpy(&im, kept + x * kLaneBlockFloats + kLineLanes + jPart * W, sizeof(Lanes<W>));
          Lanes<W> pair[2];
          interleave<W, 0>(re, im, pair[0], std::make_index_sequence<W>());
          interleave<W, W / 2>(re, im, pair[1], std::make_index_sequence<W>());
          if (scaled)
            for (Lanes<W>& values : pair) values = levels.noiseAmplitude * values + levels.baseline;
          std::memcpy(volumes + 2 * jPart * W, pair, sizeof pair);
        }
        const std::int64_t voxel = (static_cast<std::int64_t>(z) * grid.dimY + y) * grid.dimX + x;
        float* const course = grid.data + voxel * nT + t0;
        // The courses are written 128 bytes at a time, each in lines no other step
        // touches: fetching the lines of a voxel a few ahead hides their latency.
        __builtin_prefetch(course + kPrefetchVoxels * nT, 1);
        __builtin_prefetch(course + kPrefetchVoxels * nT + kVolumesAtOnce - 1, 1);
        if (width == kVolumesAtOnce) {
          std::memcpy(course, volumes, sizeof volumes);
        } else {
          std::memcpy(course, volumes, sizeof(float) * width);
        }
      }
    }
}

}  // namespace

double MixedAcf::at(double rMm) const {
  const double gaussian = a > 0.0 ? a * std::exp(-rMm * rMm / (2.0 * bMm * bMm)) : 0.0;
  const double exponential = a < 1.0 ? (1.0 - a) * std::exp(-rMm / cMm) : 0.0;
  return gaussian + exponential;
}

namespace {

std::array<int, 3> boxOf(const MixedAcf& acf, const std::array<int, 3>& grid,
                         const std::array<double, 3>& voxelMm) {
  const double reach = reachMm(acf);
  std::array<int, 3> box{};
  for (int axis = 0; axis < 3; ++axis) {
    const int margin = static_cast<int>(std::ceil(reach / voxelMm[axis]));
    box[axis] = fastLength(std::max(grid[axis] + margin - 1, 2 * margin));
  }
  return box;
}

}  // namespace

MixedAcfFilter::MixedAcfFilter(const MixedAcf& acf, int dimX, int dimY, int dimZ,
                               const std::array<double, 3>& voxelMm)
    : box_(boxOf(acf, {dimX, dimY, dimZ}, voxelMm)),
      grid_{dimX, dimY, dimZ},
      alongX_(box_[0]),
      alongY_(box_[1]),
      alongZ_(box_[2]) {
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
  rowLanes_ = wholeLaneBlocks(bx);
  // The gains in the order the bins are drawn: for each lane block of x, each kz, each
  // ky, sixteen bins along x (0 past the box), so that each draw reads them in one run.
  gain_.assign(static_cast<std::size_t>(rowLanes_) * by * bz, 0.0f);
  for (int z = 0; z < bz; ++z)
    for (int y = 0; y < by; ++y)
      for (int x = 0; x < bx; ++x) {
        const std::size_t k = (static_cast<std::size_t>(z) * by + y) * bx + x;
        const std::size_t at =
            ((static_cast<std::size_t>(x / kLineLanes) * bz + z) * by + y) * kLineLanes +
            x % kLineLanes;
        gain_[at] = static_cast<float>(std::sqrt(std::max(row[k][0], 0.0) / total));
      }
  rowsPlane_ = oddLines(static_cast<std::size_t>(dimY) * kLaneBlockFloats);
  planeFloats_ = oddLines(static_cast<std::size_t>(dimY) * 2 * rowLanes_);
  slabFloats_ = oddLines(dimZ * planeFloats_);
  // A column of bins for each of two transforms, their rows arrays, the slabs of one
  // block of volumes, the lines of step 3 and the line transforms' scratch.
  layout_.bins = 0;
  layout_.rows = layout_.bins + 2 * oddLines(static_cast<std::size_t>(by) * kLaneBlockFloats);
  layout_.slabs = layout_.rows + 2 * bz * rowsPlane_;
  layout_.line = layout_.slabs + kTransformsAtOnce * slabFloats_;
  layout_.scratch = layout_.line + static_cast<std::size_t>(bx + dimX) * kLaneBlockFloats;
  layout_.total = layout_.scratch + 2 * static_cast<std::size_t>(std::max({bx, by, bz})) *
                                        kLaneBlockFloats;
}

MixedAcfFilter::~MixedAcfFilter() {
  for (float* arrays : idleWork_) ::operator delete[](arrays, kWorkAlignment);
}

// A thread's work arrays, kept by the filter between fills: fresh pages would cost a
// fault each, as much as a tenth of the field's time. They start at 0, so that the
// lanes that only pad a block hold numbers.
MixedAcfFilter::BorrowedWork::BorrowedWork(const MixedAcfFilter& filter) : filter_(filter) {
  {
    const std::lock_guard<std::mutex> guard(filter.workLock_);
    if (!filter.idleWork_.empty()) {
      arrays = filter.idleWork_.back();
      filter.idleWork_.pop_back();
      return;
    }
  }
  arrays = static_cast<float*>(
      ::operator new[](filter.layout_.total * sizeof(float), kWorkAlignment));
  std::fill(arrays, arrays + filter.layout_.total, 0.0f);
}

MixedAcfFilter::BorrowedWork::~BorrowedWork() {
  const std::lock_guard<std::mutex> guard(filter_.workLock_);
  filter_.idleWork_.push_back(arrays);
}

std::uint64_t MixedAcfFilter::workBytes(int /*timePoints*/) const {
  return layout_.total * sizeof(float);
}

void MixedAcfFilter::synthesise(const FieldKey& key, std::uint32_t timeBlock, float* work,
                                float* slabs, cpu::VectorPath path) const {
  const int bx = box_[0], by = box_[1], bz = box_[2];
  const int dimY = grid_[1], dimZ = grid_[2];
  const std::size_t binColumn = oddLines(static_cast<std::size_t>(by) * kLaneBlockFloats);
  float* const columns[2] = {work + layout_.bins, work + layout_.bins + binColumn};
  float* const rows[2] = {work + layout_.rows, work + layout_.rows + bz * rowsPlane_};
  float* const scratch = work + layout_.scratch;
  // One lane block of x at a time, so that its rows array stays in the cache from
  // step 1 to step 2.
  for (int lane = 0; lane < rowLanes_; lane += kLineLanes) {
    LaneStreams streams =
        laneStreamsOf(key, timeBlock, static_cast<std::uint32_t>(lane / kLineLanes));
    for (int kz = 0; kz < bz; ++kz) {
      const float* const gains =
          gain_.data() + (static_cast<std::size_t>(lane / kLineLanes) * bz + kz) * by * kLineLanes;
      scaledStreamPairs(streams, by, std::min(kLineLanes, bx - lane), gains, kLaneBlockFloats,
                        columns[0], columns[1]);
      for (int t = 0; t < 2; ++t)
        alongY_.run(columns[t], kLaneBlockFloats, rows[t] + kz * rowsPlane_, kLaneBlockFloats, dimY,
                    scratch, path);
    }
    for (int t = 0; t < 2; ++t)
      for (int y = 0; y < dimY; ++y)
        alongZ_.run(
            rows[t] + y * kLaneBlockFloats, rowsPlane_,
            slabs + t * slabFloats_ + y * 2 * static_cast<std::size_t>(rowLanes_) + 2 * lane,
            planeFloats_, dimZ, scratch, path);
  }
}

void MixedAcfFilter::fill(const VtcGrid& grid, const FieldKey& key, const Levels& levels,
                          const ParallelFor& parallel, cpu::VectorPath path) const {
  const std::int64_t nT = grid.timePoints;
  const FieldKey spectrumKey{key.seed, key.run, kSpectrumStream};
  const std::int64_t blocks = (nT + kVolumesAtOnce - 1) / kVolumesAtOnce;
  parallel(blocks, [&](std::int64_t begin, std::int64_t end) {
    const BorrowedWork work(*this);
    float* const slabs = work.arrays + layout_.slabs;
    for (std::int64_t block = begin; block < end; ++block) {
      const int t0 = static_cast<int>(block * kVolumesAtOnce);
      const int width = static_cast<int>(std::min<std::int64_t>(kVolumesAtOnce, nT - t0));
      for (int c = 0; c * kDeviatesPerCounter < width; ++c)
        synthesise(spectrumKey, static_cast<std::uint32_t>(t0 / kDeviatesPerCounter + c),
                   work.arrays, slabs + 2 * c * slabFloats_, path);
      onVectorPathInRegisters(path, [&](auto registerWidth) TOLVANE_VECTOR_BODY {
        writeCoursesBody<decltype(registerWidth)::value>(
            grid, slabs, slabFloats_, planeFloats_, rowLanes_, alongX_, work.arrays + layout_.line,
            work.arrays + layout_.scratch, levels, t0, width, path);
      });
    }
  });
}

}  // namespace tolvane::engine
