// Structured noise; conventions in noise_models.h.
//
// The grid keeps each voxel's time course contiguous, so every pass combines whole runs
// of time points: a smoothing pass adds up neighbouring voxels time point by time point,
// the innermost loops running over time, contiguous in memory, where the compiler can use
// vector registers. The passes along x and y work on blocks of kTimeBlock time points of
// a whole slice, the pass along z on whole columns. The loops that carry most of the
// work are compiled twice, for AVX-512 and for the baseline instruction set, and chosen
// once at start-up; both do the same IEEE operations in the same order.
#include "engine/noise_models.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "numerics/vector_path.h"
#include "engine/autoregression_avx512.h"
#include "engine/counter_noise.h"

namespace tolvane::engine {

void scaleToLevels(const VtcGrid& grid, const Levels& levels, const ParallelFor& parallel = runSerially);

namespace {

// One pass of a kernel along a line of `count` voxels of `width` values each: voxel i
// of the input starts at in + i * inStep, of the output at out + i * outStep, and the
// two do not overlap. Every value is
//   out_i = w0 in_i + sum over k = 1..r of wk (in_(i-k) + in_(i+k)),
// the terms in that order, absent neighbours left out (x + 0 is x), then multiplied by
// scale[i * scaleStep] when `scale` is given (the last pass's rescaling). The loops over
// the width are plain element-wise IEEE arithmetic, so every instruction set that the
// compiler vectorises them for gives the same bits.
struct LinePass {
  const float* in;
  std::ptrdiff_t inStep;
  float* out;
  std::ptrdiff_t outStep;
  int count;
  int width;
  const float* scale = nullptr;
  std::ptrdiff_t scaleStep = 1;
};

__attribute__((always_inline)) inline void convolveLineBody(const LinePass& pass,
                                                            const SmoothingKernel& kernel) {
  const int radius = kernel.radius();
  const float w0 = kernel.weights[0];
  const int width = pass.width;
  for (int i = 0; i < pass.count; ++i) {
    float* __restrict out = pass.out + i * pass.outStep;
    const float* __restrict centre = pass.in + i * pass.inStep;
    for (int t = 0; t < width; ++t) out[t] = w0 * centre[t];
    for (int k = 1; k <= radius; ++k) {
      const float wk = kernel.weights[k];
      const bool hasBelow = i - k >= 0, hasAbove = i + k < pass.count;
      if (hasBelow && hasAbove) {
        const float* __restrict below = pass.in + (i - k) * pass.inStep;
        const float* __restrict above = pass.in + (i + k) * pass.inStep;
        for (int t = 0; t < width; ++t) out[t] = out[t] + wk * (below[t] + above[t]);
      } else if (hasBelow || hasAbove) {
        const float* __restrict side = pass.in + (hasBelow ? i - k : i + k) * pass.inStep;
        for (int t = 0; t < width; ++t) out[t] = out[t] + wk * side[t];
      }
    }
    if (pass.scale != nullptr) {
      const float factor = pass.scale[i * pass.scaleStep];
      for (int t = 0; t < width; ++t) out[t] = out[t] * factor;
    }
  }
}

// Time points taken at once by the in-plane passes: a slice's block of them (a few
// hundred KB on common grids) stays in the cache through the passes along x and y.
constexpr int kTimeBlock = 64;

// convolveLineBody for lines of kTimeBlock values a voxel, laid out kTimeBlock apart:
// each voxel's sums are kept in registers across the taps, where a loop over a short
// width would wait on its own stores from tap to tap. The values are those of
// convolveLineBody: the same operations on each value, in the same order.
__attribute__((always_inline)) inline void convolveBlocksBody(const LinePass& pass,
                                                              const SmoothingKernel& kernel) {
  const int radius = kernel.radius();
  const float w0 = kernel.weights[0];
  for (int i = 0; i < pass.count; ++i) {
    const float* centre = pass.in + i * pass.inStep;
    float sum[kTimeBlock];
    for (int t = 0; t < kTimeBlock; ++t) sum[t] = w0 * centre[t];
    for (int k = 1; k <= radius; ++k) {
      const float wk = kernel.weights[k];
      const bool hasBelow = i - k >= 0, hasAbove = i + k < pass.count;
      if (hasBelow && hasAbove) {
        const float* below = pass.in + (i - k) * pass.inStep;
        const float* above = pass.in + (i + k) * pass.inStep;
        for (int t = 0; t < kTimeBlock; ++t) sum[t] = sum[t] + wk * (below[t] + above[t]);
      } else if (hasBelow || hasAbove) {
        const float* side = pass.in + (hasBelow ? i - k : i + k) * pass.inStep;
        for (int t = 0; t < kTimeBlock; ++t) sum[t] = sum[t] + wk * side[t];
      }
    }
    if (pass.scale != nullptr) {
      const float factor = pass.scale[i * pass.scaleStep];
      for (int t = 0; t < kTimeBlock; ++t) sum[t] = sum[t] * factor;
    }
    float* out = pass.out + i * pass.outStep;
    for (int t = 0; t < kTimeBlock; ++t) out[t] = sum[t];
  }
}

TOLVANE_TARGET_AVX512 void convolveLineAvx512(const LinePass& pass, const SmoothingKernel& kernel) {
  convolveLineBody(pass, kernel);
}

TOLVANE_TARGET_AVX512 void convolveBlocksAvx512(const LinePass& pass,
                                                const SmoothingKernel& kernel) {
  convolveBlocksBody(pass, kernel);
}

void convolveLinePortable(const LinePass& pass, const SmoothingKernel& kernel) {
  convolveLineBody(pass, kernel);
}

void convolveBlocksPortable(const LinePass& pass, const SmoothingKernel& kernel) {
  convolveBlocksBody(pass, kernel);
}

const bool kAvx512 = random::avx512Available();

void convolveLine(const LinePass& pass, const SmoothingKernel& kernel) {
  if (kAvx512) {
    convolveLineAvx512(pass, kernel);
  } else {
    convolveLinePortable(pass, kernel);
  }
}

// A pass along lines of time blocks (pass.width is kTimeBlock, or less in a run's last
// block, whose other values are computed but never stored back).
void convolveBlocks(const LinePass& pass, const SmoothingKernel& kernel) {
  if (kAvx512) {
    convolveBlocksAvx512(pass, kernel);
  } else {
    convolveBlocksPortable(pass, kernel);
  }
}

// Sum of the squared weights of the taps that lie inside a line of `count`
// voxels, for each position on it.
std::vector<double> inGridSquaredWeights(const SmoothingKernel& kernel, int count) {
  std::vector<double> sums(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    double sum = static_cast<double>(kernel.weights[0]) * kernel.weights[0];
    for (int k = 1; k <= kernel.radius(); ++k) {
      const double w2 = static_cast<double>(kernel.weights[k]) * kernel.weights[k];
      if (i - k >= 0) sum += w2;
      if (i + k < count) sum += w2;
    }
    sums[i] = sum;
  }
  return sums;
}

// sqrt(1 - rho^2), evaluated in double and rounded to float.
float innovationScale(float rho) {
  return static_cast<float>(std::sqrt(1.0 - static_cast<double>(rho) * static_cast<double>(rho)));
}

// The AR(1) recursion and the scaling in one sweep over a few voxels: each e_t is kept
// for the next step and stored scaled, (s * e_t) + b, the values of the two passes.
void autoregressAndScale(const VtcGrid& grid, float rho, const Levels& levels) {
  const float innovation = innovationScale(rho);
  const std::int64_t nT = grid.timePoints;
  constexpr int kInterleaved = 8;  // independent recursions that overlap in the processor
  const auto scaled = [&](float e) { return levels.noiseAmplitude * e + levels.baseline; };
  // Sixteen voxels at a time on vector lanes where the processor has them; the rest here.
  std::int64_t v = kAvx512 ? autoregressAndScaleAvx512(grid.data, grid.voxelCount(),
                                                       grid.timePoints, rho, innovation, levels)
                           : 0;
  for (; v + kInterleaved <= grid.voxelCount(); v += kInterleaved) {
    float* courses[kInterleaved];
    float previous[kInterleaved];
    for (int j = 0; j < kInterleaved; ++j) {
      courses[j] = grid.data + (v + j) * nT;
      previous[j] = courses[j][0];
      courses[j][0] = scaled(previous[j]);
    }
    for (std::int64_t t = 1; t < nT; ++t)
      for (int j = 0; j < kInterleaved; ++j) {
        previous[j] = rho * previous[j] + innovation * courses[j][t];
        courses[j][t] = scaled(previous[j]);
      }
  }
  for (; v < grid.voxelCount(); ++v) {
    float* course = grid.data + v * nT;
    float previous = course[0];
    course[0] = scaled(previous);
    for (std::int64_t t = 1; t < nT; ++t) {
      previous = rho * previous + innovation * course[t];
      course[t] = scaled(previous);
    }
  }
}

// The factor that brings voxel (x, y, z) of the smoothed white field back to variance 1:
// the product of the three axes' sums of in-grid squared weights is its variance.
struct Rescaling {
  std::array<std::vector<double>, 3> sums;
  float factor(std::int64_t x, std::int64_t y, std::int64_t z) const {
    const double variance = sums[0][x] * sums[1][y] * sums[2][z];
    return static_cast<float>(1.0 / std::sqrt(variance));
  }
};

// Copies `width` values of each of `count` voxels, from voxel v at from + v * fromStep
// to to + v * toStep; a whole block is copied with a size the compiler knows.
void copyBlocks(const float* from, std::int64_t fromStep, float* to, std::int64_t toStep,
                std::int64_t count, int width) {
  if (width == kTimeBlock) {
    for (std::int64_t v = 0; v < count; ++v)
      std::memcpy(to + v * toStep, from + v * fromStep, kTimeBlock * sizeof(float));
  } else {
    for (std::int64_t v = 0; v < count; ++v)
      std::memcpy(to + v * toStep, from + v * fromStep, width * sizeof(float));
  }
}

// Where the in-plane passes take their input from: the counter field of `key`, computed
// block by block (so that it never has to be stored and read back), or, without a key,
// the values already in the grid.
struct SliceInput {
  const VtcGrid& grid;
  const FieldKey* key;
  // Values t0 .. t0 + width - 1 of voxels first .. first + count - 1 into `to`, voxel i at
  // to + i * kTimeBlock.
  void read(std::int64_t first, std::int64_t count, std::int64_t t0, int width, float* to) const {
    if (key == nullptr) {
      copyBlocks(grid.data + first * grid.timePoints + t0, grid.timePoints, to, kTimeBlock, count,
                 width);
      return;
    }
    for (std::int64_t i = 0; i < count; ++i)
      fieldDeviates(*key, first + i, static_cast<int>(t0), width, to + i * kTimeBlock);
  }
};

// The passes along x and y of slice z, from `input` into the grid. `sliceScale`, when
// given, holds the rescaling factor of each voxel of the slice (y * dimX + x), applied
// by the slice's last pass; it is given when no pass along z follows.
void smoothSliceInPlane(const VtcGrid& grid, std::int64_t z,
                        const std::array<SmoothingKernel, 3>& kernels, const float* sliceScale,
                        const SliceInput& input, std::vector<float>& blockA,
                        std::vector<float>& blockB) {
  const std::int64_t nX = grid.dimX, nY = grid.dimY, nT = grid.timePoints;
  const std::int64_t sliceVoxels = nX * nY;
  float* const slice = grid.data + z * sliceVoxels * nT;
  const bool alongX = kernels[0].radius() > 0, alongY = kernels[1].radius() > 0;
  blockA.resize(static_cast<std::size_t>(sliceVoxels * kTimeBlock));
  blockB.resize(blockA.size());
  for (std::int64_t t0 = 0; t0 < nT; t0 += kTimeBlock) {
    const int width = static_cast<int>(std::min<std::int64_t>(kTimeBlock, nT - t0));
    input.read(z * sliceVoxels, sliceVoxels, t0, width, blockA.data());
    float* from = blockA.data();
    float* to = blockB.data();
    if (alongX) {
      for (std::int64_t y = 0; y < nY; ++y) {
        const std::int64_t row = y * nX * kTimeBlock;
        convolveBlocks({from + row, kTimeBlock, to + row, kTimeBlock, static_cast<int>(nX), width,
                        alongY || sliceScale == nullptr ? nullptr : sliceScale + y * nX, 1},
                       kernels[0]);
      }
      std::swap(from, to);
    }
    if (alongY) {
      for (std::int64_t x = 0; x < nX; ++x) {
        const std::int64_t column = x * kTimeBlock;
        convolveBlocks(
            {from + column, nX * kTimeBlock, to + column, nX * kTimeBlock, static_cast<int>(nY),
             width, sliceScale == nullptr ? nullptr : sliceScale + x, nX},
            kernels[1]);
      }
      std::swap(from, to);
    }
    copyBlocks(from, kTimeBlock, slice + t0, nT, sliceVoxels, width);
  }
}

// The steps that act on each voxel's time course alone, on a chunk of voxels laid out
// as a grid of their own; voxelOf(i) is the grid index of the chunk's voxel i, which
// picks its drift coefficients.
template <typename VoxelOf>
void shapeChunk(const VtcGrid& chunk, const TimeCourseModels& models, const VoxelOf& voxelOf) {
  if (models.autoregressive) {
    autoregressAndScale(chunk, models.rho, models.levels);
  } else {
    scaleToLevels(chunk, models.levels);
  }
  if (models.drift != nullptr) {
    addDrift(chunk, *models.drift, models.driftSd, [&](std::int64_t voxel, int count, float* out) {
      models.coefficients(voxelOf(voxel), count, out);
    });
  }
}

// A chunk of `count` voxels whose time courses lie one after another at `data`.
VtcGrid chunkGrid(float* data, std::int64_t count, int timePoints) {
  return {data, static_cast<int>(count), 1, 1, timePoints, 0, 0, 0, 1};
}

// The pass along z of column (x, y), which also rescales, then the time-course models
// (when given) while the column is at hand.
void smoothColumnAndShape(const VtcGrid& grid, std::int64_t x, std::int64_t y,
                          const SmoothingKernel& kernel, const Rescaling& rescaling,
                          const TimeCourseModels* models, std::vector<float>& smoothed,
                          std::vector<float>& scale) {
  const std::int64_t nX = grid.dimX, nY = grid.dimY, nZ = grid.dimZ, nT = grid.timePoints;
  const std::int64_t first = y * nX + x, step = nX * nY;
  smoothed.resize(static_cast<std::size_t>(nZ * nT));
  scale.resize(static_cast<std::size_t>(nZ));
  for (std::int64_t z = 0; z < nZ; ++z) scale[z] = rescaling.factor(x, y, z);
  // Straight from the grid: the column's few dozen KB stay in the cache through the taps.
  convolveLine({grid.data + first * nT, step * nT, smoothed.data(), nT, static_cast<int>(nZ),
                static_cast<int>(nT), scale.data(), 1},
               kernel);
  if (models != nullptr) {
    shapeChunk(chunkGrid(smoothed.data(), nZ, grid.timePoints), *models,
               [&](std::int64_t z) { return first + z * step; });
  }
  for (std::int64_t z = 0; z < nZ; ++z)
    std::memcpy(grid.data + (first + z * step) * nT, &smoothed[z * nT], nT * sizeof(float));
}

void shapeTimeCourses(const VtcGrid& grid, const TimeCourseModels& models, const FieldKey* key,
                      const ParallelFor& parallel) {
  // 64 voxels of 250 time points are 64 KB: their courses stay in the second-level cache
  // from the field's writing to the drift's.
  constexpr std::int64_t kVoxelsAtOnce = 64;
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t first = begin; first < end; first += kVoxelsAtOnce) {
      const std::int64_t last = std::min(end, first + kVoxelsAtOnce);
      if (key != nullptr) fillCounterNoise(grid, kStandardNormal, *key, first, last);
      shapeChunk(chunkGrid(grid.data + first * nT, last - first, grid.timePoints), models,
                 [&](std::int64_t voxel) { return first + voxel; });
    }
  });
}

// Smoothing of the field of `key` (or, without a key, of the values in the grid), then
// the time-course models when given. Slice by slice, blocks of time points are smoothed
// along x and y while they are in the cache; then, column by column, the pass along z
// and the models run on the column while it is at hand. Without a pass along z the
// models run on runs of neighbouring voxels instead.
void smoothAndShape(const VtcGrid& grid, const FieldKey* key,
                    const std::array<SmoothingKernel, 3>& kernels, const TimeCourseModels* models,
                    const ParallelFor& parallel) {
  const Rescaling rescaling{{inGridSquaredWeights(kernels[0], grid.dimX),
                             inGridSquaredWeights(kernels[1], grid.dimY),
                             inGridSquaredWeights(kernels[2], grid.dimZ)}};
  const bool inPlane = kernels[0].radius() > 0 || kernels[1].radius() > 0;
  const bool alongZ = kernels[2].radius() > 0;
  const std::int64_t sliceVoxels = std::int64_t{grid.dimX} * grid.dimY;
  if (key != nullptr || inPlane) {
    parallel(grid.dimZ, [&](std::int64_t begin, std::int64_t end) {
      std::vector<float> blockA, blockB, sliceScale;
      for (std::int64_t z = begin; z < end; ++z) {
        if (!inPlane) {
          fillCounterNoise(grid, kStandardNormal, *key, z * sliceVoxels, (z + 1) * sliceVoxels);
          continue;
        }
        if (!alongZ) {
          sliceScale.resize(static_cast<std::size_t>(sliceVoxels));
          for (std::int64_t y = 0; y < grid.dimY; ++y)
            for (std::int64_t x = 0; x < grid.dimX; ++x)
              sliceScale[y * grid.dimX + x] = rescaling.factor(x, y, z);
        }
        smoothSliceInPlane(grid, z, kernels, alongZ ? nullptr : sliceScale.data(), {grid, key},
                           blockA, blockB);
      }
    });
  }
  if (alongZ) {
    parallel(sliceVoxels, [&](std::int64_t begin, std::int64_t end) {
      std::vector<float> smoothed, scale;
      for (std::int64_t index = begin; index < end; ++index)
        smoothColumnAndShape(grid, index % grid.dimX, index / grid.dimX, kernels[2], rescaling,
                             models, smoothed, scale);
    });
  } else if (models != nullptr) {
    shapeTimeCourses(grid, *models, nullptr, parallel);
  }
}

// The drifts of up to kDriftGroup neighbouring voxels, added to their time courses: the
// drifts are built voxel by voxel, then their means and spreads summed over time (in
// double, each in time order) with the voxels side by side in `drifts`, time point by
// time point, so that the voxels' sums run as independent chains on vector lanes
// instead of waiting on one another. The values are those of the definition's loops.
constexpr int kDriftGroup = 8;

struct DriftGroup {
  const DriftBasis& basis;
  float sd;
  const float* coefficients;  // the voxels' coefficients, basis.functions each
  float* courses;             // the first voxel's time course; the others follow
  int voxels;
  float* drifts;  // work space: kDriftGroup * timePoints values
  float* row;     // work space: timePoints values
};

__attribute__((always_inline)) inline void addDriftToGroupBody(const DriftGroup& group) {
  const int nT = group.basis.timePoints, functions = group.basis.functions;
  float* const drift = group.row;
  for (int j = 0; j < group.voxels; ++j) {
    std::fill(drift, drift + nT, 0.0f);
    const float* c = group.coefficients + static_cast<std::ptrdiff_t>(j) * functions;
    for (int k = 0; k < functions; ++k) {
      const float* phi = &group.basis.values[static_cast<std::size_t>(k) * nT];
      for (int t = 0; t < nT; ++t) drift[t] = drift[t] + c[k] * phi[t];
    }
    for (int t = 0; t < nT; ++t) group.drifts[t * kDriftGroup + j] = drift[t];
  }
  for (int j = group.voxels; j < kDriftGroup; ++j)
    for (int t = 0; t < nT; ++t) group.drifts[t * kDriftGroup + j] = 0.0f;
  double mean[kDriftGroup] = {}, sumOfSquares[kDriftGroup] = {};
  for (int t = 0; t < nT; ++t)
    for (int j = 0; j < kDriftGroup; ++j) mean[j] += group.drifts[t * kDriftGroup + j];
  for (int j = 0; j < kDriftGroup; ++j) mean[j] /= nT;
  for (int t = 0; t < nT; ++t)
    for (int j = 0; j < kDriftGroup; ++j) {
      const double deviation = group.drifts[t * kDriftGroup + j] - mean[j];
      sumOfSquares[j] += deviation * deviation;
    }
  for (int j = 0; j < group.voxels; ++j) {
    const double spread = std::sqrt(sumOfSquares[j] / nT);
    if (spread == 0.0) continue;  // all coefficients 0: nothing to scale
    const float factor = static_cast<float>(group.sd / spread);
    float* course = group.courses + static_cast<std::ptrdiff_t>(j) * nT;
    for (int t = 0; t < nT; ++t) course[t] = course[t] + factor * group.drifts[t * kDriftGroup + j];
  }
}

TOLVANE_TARGET_AVX512 void addDriftToGroupAvx512(const DriftGroup& group) {
  addDriftToGroupBody(group);
}

void addDriftToGroupPortable(const DriftGroup& group) { addDriftToGroupBody(group); }

void addDriftToGroup(const DriftGroup& group) {
  if (kAvx512) {
    addDriftToGroupAvx512(group);
  } else {
    addDriftToGroupPortable(group);
  }
}
}  // namespace

void runSerially(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body) {
  if (count > 0) body(0, count);
}

SmoothingKernel gaussianKernel(double fwhmMm, double voxelMm) {
  const double sigma = fwhmMm / std::sqrt(8.0 * std::log(2.0)) / voxelMm;
  SmoothingKernel kernel;
  if (!(sigma > 0.0)) {  // no smoothing: the single tap
    kernel.weights = {1.0f};
    return kernel;
  }
  const int radius = static_cast<int>(std::ceil(kKernelReachSigmas * sigma));
  kernel.weights.resize(static_cast<std::size_t>(radius) + 1);
  for (int k = 0; k <= radius; ++k)
    kernel.weights[k] = static_cast<float>(std::exp(-0.5 * (k / sigma) * (k / sigma)));
  return kernel;
}

void applyAutoregression(const VtcGrid& grid, float rho, const ParallelFor& parallel) {
  const float innovation = innovationScale(rho);
  const std::int64_t nT = grid.timePoints;
  // Eight voxels at a time, so that eight independent recursions overlap in the
  // processor instead of waiting on one another.
  constexpr int kInterleaved = 8;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    std::int64_t v = begin;
    for (; v + kInterleaved <= end; v += kInterleaved) {
      float* courses[kInterleaved];
      for (int j = 0; j < kInterleaved; ++j) courses[j] = grid.data + (v + j) * nT;
      for (std::int64_t t = 1; t < nT; ++t)
        for (int j = 0; j < kInterleaved; ++j)
          courses[j][t] = rho * courses[j][t - 1] + innovation * courses[j][t];
    }
    for (; v < end; ++v) {
      float* course = grid.data + v * nT;
      for (std::int64_t t = 1; t < nT; ++t)
        course[t] = rho * course[t - 1] + innovation * course[t];
    }
  });
}

void scaleToLevels(const VtcGrid& grid, const Levels& levels, const ParallelFor& parallel) {
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    float* const first = grid.data + begin * nT;
    const std::int64_t count = (end - begin) * nT;
    for (std::int64_t i = 0; i < count; ++i)
      first[i] = levels.noiseAmplitude * first[i] + levels.baseline;
  });
}

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds) {
  DriftBasis basis;
  basis.timePoints = timePoints;
  // Period 2 N TR / k > cutoff  <=>  k < 2 N TR / cutoff.
  const double limit = 2.0 * timePoints * trSeconds / cutoffSeconds;
  basis.functions = std::max(0, static_cast<int>(std::ceil(limit)) - 1);
  basis.functions = std::min(basis.functions, std::max(0, timePoints - 1));
  basis.values.resize(static_cast<std::size_t>(basis.functions) * timePoints);
  const double pi = std::acos(-1.0);
  for (int k = 1; k <= basis.functions; ++k)
    for (int t = 0; t < timePoints; ++t)
      basis.values[static_cast<std::size_t>(k - 1) * timePoints + t] =
          static_cast<float>(std::cos(pi * k * (2.0 * t + 1.0) / (2.0 * timePoints)));
  return basis;
}

void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const CoefficientSource& coefficients, const ParallelFor& parallel) {
  if (basis.functions == 0 || sd == 0.0f) return;
  const int nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    std::vector<float> c(static_cast<std::size_t>(kDriftGroup) * basis.functions);
    std::vector<float> drifts(static_cast<std::size_t>(kDriftGroup) * nT), row(nT);
    for (std::int64_t first = begin; first < end; first += kDriftGroup) {
      const int voxels = static_cast<int>(std::min<std::int64_t>(kDriftGroup, end - first));
      for (int j = 0; j < voxels; ++j)
        coefficients(first + j, basis.functions, &c[static_cast<std::size_t>(j) * basis.functions]);
      addDriftToGroup(
          {basis, sd, c.data(), grid.data + first * nT, voxels, drifts.data(), row.data()});
    }
  });
}

void smoothVolumes(const VtcGrid& grid, const std::array<SmoothingKernel, 3>& kernels,
                   const ParallelFor& parallel) {
  smoothAndShape(grid, nullptr, kernels, nullptr, parallel);
}

std::uint64_t smoothingWorkBytes(int dimX, int dimY, int dimZ, int timePoints) {
  const auto x = static_cast<std::uint64_t>(dimX), y = static_cast<std::uint64_t>(dimY);
  const auto z = static_cast<std::uint64_t>(dimZ), t = static_cast<std::uint64_t>(timePoints);
  const std::uint64_t slice = 2 * x * y * kTimeBlock + x * y;  // two blocks, the factors
  const std::uint64_t column = z * t + z;                      // the values, the factors
  return std::max(slice, column) * sizeof(float);
}

void makeStructuredNoise(const VtcGrid& grid, const FieldKey& key, const SpatialModel& space,
                         const TimeCourseModels& models, const ParallelFor& parallel) {
  const SmoothingKernels& kernels = space.kernels;
  const bool smooth =
      std::any_of(kernels.begin(), kernels.end(),
                  [](const SmoothingKernel& kernel) { return kernel.radius() > 0; });
  if (smooth) {
    smoothAndShape(grid, &key, kernels, &models, parallel);
  } else {
    shapeTimeCourses(grid, models, &key, parallel);
  }
}

}  // namespace tolvane::engine
