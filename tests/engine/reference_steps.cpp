// The structured-noise steps one at a time; see reference_steps.h. Written for clarity,
// whole volumes and whole time courses at a time: the engine's fused passes must give
// these values to the last bit.
#include "tests/engine/reference_steps.h"

#include <cmath>
#include <vector>

namespace tolvane::engine {
namespace {

// One pass of `kernel` along `axis` over every volume, from `in` into `out`.
void convolveAxis(const VtcGrid& grid, const SmoothingKernel& kernel, int axis,
                  const std::vector<float>& in, std::vector<float>& out) {
  const int dims[3] = {grid.dimX, grid.dimY, grid.dimZ};
  const std::int64_t strides[3] = {1, grid.dimX, std::int64_t{grid.dimX} * grid.dimY};
  const std::int64_t nT = grid.timePoints;
  for (int z = 0; z < grid.dimZ; ++z)
    for (int y = 0; y < grid.dimY; ++y)
      for (int x = 0; x < grid.dimX; ++x) {
        const int position[3] = {x, y, z};
        const std::int64_t voxel = (std::int64_t{z} * grid.dimY + y) * grid.dimX + x;
        for (std::int64_t t = 0; t < nT; ++t) {
          float sum = kernel.weights[0] * in[voxel * nT + t];
          for (int k = 1; k <= kernel.radius(); ++k) {
            const bool hasBelow = position[axis] - k >= 0;
            const bool hasAbove = position[axis] + k < dims[axis];
            const float below = hasBelow ? in[(voxel - k * strides[axis]) * nT + t] : 0.0f;
            const float above = hasAbove ? in[(voxel + k * strides[axis]) * nT + t] : 0.0f;
            if (hasBelow && hasAbove) {
              sum = sum + kernel.weights[k] * (below + above);
            } else if (hasBelow || hasAbove) {
              sum = sum + kernel.weights[k] * (hasBelow ? below : above);
            }
          }
          out[voxel * nT + t] = sum;
        }
      }
}

double inGridSquaredWeights(const SmoothingKernel& kernel, int position, int count) {
  double sum = static_cast<double>(kernel.weights[0]) * kernel.weights[0];
  for (int k = 1; k <= kernel.radius(); ++k) {
    const double w2 = static_cast<double>(kernel.weights[k]) * kernel.weights[k];
    if (position - k >= 0) sum += w2;
    if (position + k < count) sum += w2;
  }
  return sum;
}

}  // namespace

void smoothVolumes(const VtcGrid& grid, const SmoothingKernels& kernels,
                   const ParallelFor& /*parallel*/) {
  const std::int64_t values = grid.voxelCount() * grid.timePoints;
  std::vector<float> current(grid.data, grid.data + values), next(current.size());
  for (int axis = 0; axis < 3; ++axis) {
    if (kernels[axis].radius() == 0) continue;
    convolveAxis(grid, kernels[axis], axis, current, next);
    current.swap(next);
  }
  for (int z = 0; z < grid.dimZ; ++z)
    for (int y = 0; y < grid.dimY; ++y)
      for (int x = 0; x < grid.dimX; ++x) {
        const double variance = inGridSquaredWeights(kernels[0], x, grid.dimX) *
                                inGridSquaredWeights(kernels[1], y, grid.dimY) *
                                inGridSquaredWeights(kernels[2], z, grid.dimZ);
        const float factor = static_cast<float>(1.0 / std::sqrt(variance));
        const std::int64_t voxel = (std::int64_t{z} * grid.dimY + y) * grid.dimX + x;
        for (std::int64_t t = 0; t < grid.timePoints; ++t)
          grid.data[voxel * grid.timePoints + t] = current[voxel * grid.timePoints + t] * factor;
      }
}

void applyAutoregression(const VtcGrid& grid, float rho, const ParallelFor& parallel) {
  const float innovation =
      static_cast<float>(std::sqrt(1.0 - static_cast<double>(rho) * static_cast<double>(rho)));
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t v = begin; v < end; ++v) {
      float* course = grid.data + v * nT;
      for (std::int64_t t = 1; t < nT; ++t)
        course[t] = rho * course[t - 1] + innovation * course[t];
    }
  });
}

void scaleToLevels(const VtcGrid& grid, const Levels& levels, const ParallelFor& parallel) {
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t i = begin * nT; i < end * nT; ++i)
      grid.data[i] = levels.noiseAmplitude * grid.data[i] + levels.baseline;
  });
}

void putOnVoxelLevels(const VtcGrid& grid, const VoxelLevels& levels,
                      const PhysiologicalNoise* physio, const FieldKey& key) {
  const int nT = grid.timePoints;
  std::vector<float> q(nT), w(nT);
  for (std::int64_t v = 0; v < grid.voxelCount(); ++v) {
    float* course = grid.data + v * nT;
    for (int t = 0; t < nT; ++t) course[t] = levels.fluctuationSd[v] * course[t] + levels.baseline[v];
    if (physio != nullptr && levels.physiologicalSd != nullptr && levels.physiologicalSd[v] != 0.0f) {
      physio->timeCourse(v, q.data());
      for (int t = 0; t < nT; ++t) course[t] = course[t] + levels.physiologicalSd[v] * q[t];
    }
    if (levels.thermalSd != 0.0f) {
      voxelStreamDeviates({key.seed, key.run, kThermalStream}, v, nT, w.data());
      for (int t = 0; t < nT; ++t) course[t] = course[t] + levels.thermalSd * w[t];
    }
  }
}

void addDriftVoxelByVoxel(const VtcGrid& grid, const DriftBasis& basis, float sd,
                          const FieldKey& coefficientKey) {
  const int nT = grid.timePoints, functions = basis.functions;
  std::vector<float> c(functions), u(nT);
  for (std::int64_t v = 0; v < grid.voxelCount(); ++v) {
    fieldDeviates(coefficientKey, v, 0, functions, c.data());
    for (int t = 0; t < nT; ++t) {
      u[t] = 0.0f;
      for (int k = 0; k < functions; ++k)
        u[t] = u[t] + c[k] * basis.values[static_cast<std::size_t>(k) * basis.stride + t];
    }
    double mean = 0.0, sumOfSquares = 0.0;
    for (int t = 0; t < nT; ++t) mean += u[t];
    mean /= nT;
    for (int t = 0; t < nT; ++t) sumOfSquares += (u[t] - mean) * (u[t] - mean);
    const double spread = std::sqrt(sumOfSquares / nT);
    if (spread == 0.0) continue;
    const float factor = static_cast<float>(sd / spread);
    float* course = grid.data + v * nT;
    for (int t = 0; t < nT; ++t) course[t] = course[t] + factor * u[t];
  }
}

void takeMagnitude(const VtcGrid& grid, float thermalSd, const FieldKey& key) {
  const int nT = grid.timePoints;
  std::vector<float> w(nT);
  for (std::int64_t v = 0; v < grid.voxelCount(); ++v) {
    voxelStreamDeviates({key.seed, key.run, kImaginaryStream}, v, nT, w.data());
    float* course = grid.data + v * nT;
    for (int t = 0; t < nT; ++t) {
      const float imaginary = thermalSd * w[t];
      course[t] = std::sqrt(course[t] * course[t] + imaginary * imaginary);
    }
  }
}

}  // namespace tolvane::engine
