// Structured noise; conventions in noise_models.h.
//
// The grid keeps each voxel's time course contiguous, so a smoothing pass along
// one spatial axis gathers a line of voxels (each with all its time points)
// into a buffer and combines neighbours time point by time point: the innermost
// loops run over time, contiguous in memory, where the compiler can use vector
// registers.
#include "simulation/noise_models.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tolvane::simulation {
namespace {

// A line of `count` voxels, `step` values apart, starting at `first`.
struct Line {
  float* first;
  std::int64_t step;
  int count;
};

// One pass of the kernel along a line, through a buffer of count * timePoints
// values.
// `scale`, when given, holds a factor per voxel of the line that multiplies its
// smoothed values once they are complete (the last pass's rescaling, done while the
// line is at hand).
void smoothLine(const Line& line, int timePoints, const SmoothingKernel& kernel,
                std::vector<float>& buffer, const float* scale) {
  const std::size_t nT = static_cast<std::size_t>(timePoints);
  buffer.resize(static_cast<std::size_t>(line.count) * nT);
  for (int i = 0; i < line.count; ++i)
    std::memcpy(&buffer[i * nT], line.first + i * line.step, nT * sizeof(float));
  const int radius = kernel.radius();
  for (int i = 0; i < line.count; ++i) {
    float* out = line.first + i * line.step;
    const float* centre = &buffer[i * nT];
    const float w0 = kernel.weights[0];
    for (std::size_t t = 0; t < nT; ++t) out[t] = w0 * centre[t];
    for (int k = 1; k <= radius; ++k) {
      const float wk = kernel.weights[k];
      const bool hasBelow = i - k >= 0, hasAbove = i + k < line.count;
      if (hasBelow && hasAbove) {
        const float* below = &buffer[(i - k) * nT];
        const float* above = &buffer[(i + k) * nT];
        for (std::size_t t = 0; t < nT; ++t) out[t] = out[t] + wk * (below[t] + above[t]);
      } else if (hasBelow || hasAbove) {
        const float* side = &buffer[(hasBelow ? i - k : i + k) * nT];
        // An absent neighbour counts as 0: (x + 0) is x, so this is the same
        // formula.
        for (std::size_t t = 0; t < nT; ++t) out[t] = out[t] + wk * side[t];
      }
    }
    if (scale != nullptr) {
      for (std::size_t t = 0; t < nT; ++t) out[t] = out[t] * scale[i];
    }
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
  std::int64_t v = 0;
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

void smoothVolumes(const VtcGrid& grid, const std::array<SmoothingKernel, 3>& kernels,
                   const ParallelFor& parallel) {
  const std::int64_t nT = grid.timePoints;
  const std::int64_t dims[3] = {grid.dimX, grid.dimY, grid.dimZ};
  const std::int64_t steps[3] = {nT, grid.dimX * nT, std::int64_t{grid.dimX} * grid.dimY * nT};
  // Back to unit variance: the product of the three axes' sums is the variance. The
  // factors are applied by the last pass, as it finishes each line.
  const std::array<std::vector<double>, 3> sums = {inGridSquaredWeights(kernels[0], grid.dimX),
                                                   inGridSquaredWeights(kernels[1], grid.dimY),
                                                   inGridSquaredWeights(kernels[2], grid.dimZ)};
  int lastAxis = -1;
  for (int axis = 0; axis < 3; ++axis)
    if (kernels[axis].radius() > 0) lastAxis = axis;
  if (lastAxis < 0) return;  // single taps everywhere: nothing changes
  // One line along `axis`, at coordinates ia and ib on the two other axes (in the order
  // x, y, z), through the thread's buffers; the last pass rescales as it goes.
  const auto smoothAlong = [&](int axis, std::int64_t ia, std::int64_t ib,
                               std::vector<float>& buffer, std::vector<float>& scale) {
    const int a = axis == 0 ? 1 : 0, b = axis == 2 ? 1 : 2;
    const Line line{grid.data + ia * steps[a] + ib * steps[b], steps[axis],
                    static_cast<int>(dims[axis])};
    if (axis == lastAxis) {
      scale.resize(static_cast<std::size_t>(dims[axis]));
      std::int64_t at[3];
      at[a] = ia;
      at[b] = ib;
      for (std::int64_t i = 0; i < dims[axis]; ++i) {
        at[axis] = i;
        const double variance = sums[0][at[0]] * sums[1][at[1]] * sums[2][at[2]];
        scale[i] = static_cast<float>(1.0 / std::sqrt(variance));
      }
    }
    smoothLine(line, grid.timePoints, kernels[axis], buffer,
               axis == lastAxis ? scale.data() : nullptr);
  };
  // The passes along x and y work within one slice of constant z, so they run slice by
  // slice while the slice is in the cache; a single tap of weight 1 changes nothing, so
  // such an axis is skipped.
  const bool alongX = kernels[0].radius() > 0, alongY = kernels[1].radius() > 0;
  if (alongX || alongY) {
    parallel(dims[2], [&](std::int64_t begin, std::int64_t end) {
      std::vector<float> buffer, scale;
      for (std::int64_t z = begin; z < end; ++z) {
        if (alongX)
          for (std::int64_t y = 0; y < dims[1]; ++y) smoothAlong(0, y, z, buffer, scale);
        if (alongY)
          for (std::int64_t x = 0; x < dims[0]; ++x) smoothAlong(1, x, z, buffer, scale);
      }
    });
  }
  if (kernels[2].radius() > 0) {
    parallel(dims[0] * dims[1], [&](std::int64_t begin, std::int64_t end) {
      std::vector<float> buffer, scale;
      for (std::int64_t index = begin; index < end; ++index)
        smoothAlong(2, index % dims[0], index / dims[0], buffer, scale);
    });
  }
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
    std::vector<float> c(static_cast<std::size_t>(basis.functions));
    std::vector<float> drift(static_cast<std::size_t>(nT));
    for (std::int64_t v = begin; v < end; ++v) {
      coefficients(v, basis.functions, c.data());
      std::fill(drift.begin(), drift.end(), 0.0f);
      for (int k = 0; k < basis.functions; ++k) {
        const float* phi = &basis.values[static_cast<std::size_t>(k) * nT];
        for (int t = 0; t < nT; ++t) drift[t] = drift[t] + c[k] * phi[t];
      }
      double sum = 0.0, sumOfSquares = 0.0;
      for (int t = 0; t < nT; ++t) sum += drift[t];
      const double mean = sum / nT;
      for (int t = 0; t < nT; ++t) sumOfSquares += (drift[t] - mean) * (drift[t] - mean);
      const double spread = std::sqrt(sumOfSquares / nT);
      if (spread == 0.0) continue;  // all coefficients 0: nothing to scale
      const float factor = static_cast<float>(sd / spread);
      float* course = grid.data + v * nT;
      for (int t = 0; t < nT; ++t) course[t] = course[t] + factor * drift[t];
    }
  });
}

void shapeTimeCourses(const VtcGrid& grid, const TimeCourseModels& models,
                      const std::function<void(std::int64_t, std::int64_t)>& produce,
                      const ParallelFor& parallel) {
  // 64 voxels of 250 time points are 64 KB: their courses stay in the second-level cache
  // from the field's writing to the drift's.
  constexpr std::int64_t kVoxelsAtOnce = 64;
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t first = begin; first < end; first += kVoxelsAtOnce) {
      const std::int64_t last = std::min(end, first + kVoxelsAtOnce);
      produce(first, last);
      // The chunk as a grid of its own: every step here treats voxels one by one.
      const VtcGrid chunk{grid.data + first * nT,
                          static_cast<int>(last - first),
                          1,
                          1,
                          grid.timePoints,
                          0,
                          0,
                          0,
                          1};
      if (models.autoregressive) {
        autoregressAndScale(chunk, models.rho, models.levels);
      } else {
        scaleToLevels(chunk, models.levels);
      }
      if (models.drift != nullptr) {
        addDrift(chunk, *models.drift, models.driftSd,
                 [&](std::int64_t voxel, int count, float* out) {
                   models.coefficients(first + voxel, count, out);
                 });
      }
    }
  });
}

}  // namespace tolvane::simulation
