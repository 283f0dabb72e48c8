// Gaussian smoothing; conventions in smoothing.h.
//
// The grid keeps each voxel's time course contiguous, so every pass combines whole runs
// of time points: a smoothing pass adds up neighbouring voxels time point by time point,
// the innermost loops running over time, contiguous in memory, where the compiler can use
// vector registers. The passes along x and y work on blocks of kTimeBlock time points of
// a whole slice, the pass along z on whole columns.
#include "engine/smoothing.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/counter_noise.h"
#include "engine/smoothing_passes.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
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

TOLVANE_VECTOR_BODY inline void convolveLineBody(const LinePass& pass,
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
// convolveLineBody: the same operations on each value, in the same order. In a run's
// last block (pass.width < kTimeBlock) the other values are computed but never stored
// back.
TOLVANE_VECTOR_BODY inline void convolveBlocksBody(const LinePass& pass,
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

void convolveLine(const LinePass& pass, const SmoothingKernel& kernel) {
  onWidestVectors([&]() TOLVANE_VECTOR_BODY { convolveLineBody(pass, kernel); });
}

void convolveBlocks(const LinePass& pass, const SmoothingKernel& kernel) {
  onWidestVectors([&]() TOLVANE_VECTOR_BODY { convolveBlocksBody(pass, kernel); });
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
void smoothSliceInPlane(const VtcGrid& grid, std::int64_t z, const SmoothingKernels& kernels,
                        const float* sliceScale, const SliceInput& input,
                        std::vector<float>& blockA, std::vector<float>& blockB) {
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

// A chunk of `count` voxels whose time courses lie one after another at `data`.
VtcGrid chunkGrid(float* data, std::int64_t count, int timePoints) {
  return {data, static_cast<int>(count), 1, 1, timePoints, 0, 0, 0, 1};
}

// The pass along z of column (x, y), which also rescales, then `shape` (when given)
// while the column is at hand.
void smoothColumnAndShape(const VtcGrid& grid, std::int64_t x, std::int64_t y,
                          const SmoothingKernel& kernel, const Rescaling& rescaling,
                          const ChunkShaper* shape, std::vector<float>& smoothed,
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
  if (shape != nullptr) (*shape)(chunkGrid(smoothed.data(), nZ, grid.timePoints), first, step);
  for (std::int64_t z = 0; z < nZ; ++z)
    std::memcpy(grid.data + (first + z * step) * nT, &smoothed[z * nT], nT * sizeof(float));
}

}  // namespace

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

std::uint64_t smoothingWorkBytes(int dimX, int dimY, int dimZ, int timePoints) {
  const auto x = static_cast<std::uint64_t>(dimX), y = static_cast<std::uint64_t>(dimY);
  const auto z = static_cast<std::uint64_t>(dimZ), t = static_cast<std::uint64_t>(timePoints);
  const std::uint64_t slice = 2 * x * y * kTimeBlock + x * y;  // two blocks, the factors
  const std::uint64_t column = z * t + z;                      // the values, the factors
  return std::max(slice, column) * sizeof(float);
}

bool smoothAndShapeColumns(const VtcGrid& grid, const FieldKey* key,
                           const SmoothingKernels& kernels, const ChunkShaper* shape,
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
  if (!alongZ) return false;
  parallel(sliceVoxels, [&](std::int64_t begin, std::int64_t end) {
    std::vector<float> smoothed, scale;
    for (std::int64_t index = begin; index < end; ++index)
      smoothColumnAndShape(grid, index % grid.dimX, index / grid.dimX, kernels[2], rescaling,
                           shape, smoothed, scale);
  });
  return true;
}

}  // namespace tolvane::engine
