// Resampling volumes; conventions in rigid_resampling.h.
#include "engine/rigid_resampling.h"

#include <algorithm>
#include <cmath>

namespace tolvane::engine {
namespace {

// The cubic B-spline's prefilter pole and gain (1 - z)(1 - 1/z).
const double kPole = std::sqrt(3.0) - 2.0;
constexpr double kGain = 6.0;

// A tap's index along an axis of n voxels: itself when inside, folded otherwise.
inline std::int64_t tap(std::int64_t k, std::int64_t n) {
  return (k >= 0 && k < n) ? k : mirroredIndex(k, n);
}

// The prefilter along one line of n values, in place. The causal filter starts from the
// sum that the mirror-extended line gives it, exactly (the mirror extension is periodic,
// so the infinite sum closes in a geometric series); the anticausal one from its closed
// form for a mirror boundary.
void prefilterLine(double* c, std::int64_t n) {
  if (n < 2) return;
  const double z = kPole;
  for (std::int64_t i = 0; i < n; ++i) c[i] = c[i] * kGain;
  const double zLast = std::pow(z, static_cast<double>(n - 1));
  double first = c[0] + zLast * c[n - 1];
  double zi = z;
  for (std::int64_t i = 1; i < n - 1; ++i) {
    first += zi * (c[i] + zLast * c[n - 1 - i]);
    zi *= z;
  }
  c[0] = first / (1.0 - zLast * zLast);
  for (std::int64_t i = 1; i < n; ++i) c[i] = c[i] + z * c[i - 1];
  c[n - 1] = (z * c[n - 2] + c[n - 1]) * z / (z * z - 1.0);
  for (std::int64_t i = n - 2; i >= 0; --i) c[i] = z * (c[i + 1] - c[i]);
}

// The prefilter along every line of one axis: lines of `n` values `stride` apart, the
// line starts being every index whose coordinate on that axis is 0.
void prefilterAxis(double* volume, const VolumeShape& shape, int axis, std::vector<double>& line) {
  const std::int64_t dims[3] = {shape.nx, shape.ny, shape.nz};
  const std::int64_t strides[3] = {1, dims[0], dims[0] * dims[1]};
  const std::int64_t n = dims[axis], stride = strides[axis];
  if (n < 2) return;
  line.resize(static_cast<std::size_t>(n));
  for (std::int64_t start = 0; start < shape.voxels(); ++start) {
    if ((start / stride) % n != 0) continue;
    for (std::int64_t i = 0; i < n; ++i) line[static_cast<std::size_t>(i)] = volume[start + i * stride];
    prefilterLine(line.data(), n);
    for (std::int64_t i = 0; i < n; ++i) volume[start + i * stride] = line[static_cast<std::size_t>(i)];
  }
}

// The four cubic B-spline weights of the taps floor(c) - 1 .. floor(c) + 2 for t = c -
// floor(c).
inline void cubicWeights(double t, double w[4]) {
  const double s = 1.0 - t;
  const double t2 = t * t, t3 = t2 * t;
  w[0] = s * s * s / 6.0;
  w[1] = (4.0 - 6.0 * t2 + 3.0 * t3) / 6.0;
  w[2] = (1.0 + 3.0 * t + 3.0 * t2 - 3.0 * t3) / 6.0;
  w[3] = t3 / 6.0;
}

}  // namespace

std::int64_t mirroredIndex(std::int64_t k, std::int64_t n) {
  if (n <= 1) return 0;
  const std::int64_t period = 2 * (n - 1);
  k %= period;
  if (k < 0) k += period;
  return k < n ? k : period - k;
}

void cubicSplineCoefficients(const VolumeShape& shape, double* volume) {
  std::vector<double> line;
  for (int axis = 0; axis < 3; ++axis) prefilterAxis(volume, shape, axis, line);
}

void resampleTrilinear(const VolumeShape& shape, const float* volume,
                       const formats::Affine& sampling, float* out) {
  const std::int64_t nx = shape.nx, ny = shape.ny, nz = shape.nz;
  for (std::int64_t z = 0; z < nz; ++z) {
    for (std::int64_t y = 0; y < ny; ++y) {
      for (std::int64_t x = 0; x < nx; ++x) {
        const formats::Point3 c = formats::transformPoint(
            sampling, {static_cast<double>(x), static_cast<double>(y), static_cast<double>(z)});
        const double fx = std::floor(c[0]), fy = std::floor(c[1]), fz = std::floor(c[2]);
        const double dx = c[0] - fx, dy = c[1] - fy, dz = c[2] - fz;
        const auto ix = static_cast<std::int64_t>(fx), iy = static_cast<std::int64_t>(fy),
                   iz = static_cast<std::int64_t>(fz);
        const std::int64_t xs[2] = {tap(ix, nx), tap(ix + 1, nx)};
        double planes[2];
        for (int k = 0; k < 2; ++k) {
          const std::int64_t zOffset = tap(iz + k, nz) * ny;
          double rows[2];
          for (int j = 0; j < 2; ++j) {
            const float* row = volume + (zOffset + tap(iy + j, ny)) * nx;
            rows[j] = (1.0 - dx) * row[xs[0]] + dx * row[xs[1]];
          }
          planes[k] = (1.0 - dy) * rows[0] + dy * rows[1];
        }
        out[(z * ny + y) * nx + x] = static_cast<float>((1.0 - dz) * planes[0] + dz * planes[1]);
      }
    }
  }
}

void resampleCubic(const VolumeShape& shape, const double* coefficients,
                   const formats::Affine& sampling, float* out) {
  const std::int64_t nx = shape.nx, ny = shape.ny, nz = shape.nz;
  for (std::int64_t z = 0; z < nz; ++z) {
    for (std::int64_t y = 0; y < ny; ++y) {
      for (std::int64_t x = 0; x < nx; ++x) {
        const formats::Point3 c = formats::transformPoint(
            sampling, {static_cast<double>(x), static_cast<double>(y), static_cast<double>(z)});
        double w[3][4];
        std::int64_t taps[3][4];
        const std::int64_t dims[3] = {nx, ny, nz};
        for (int axis = 0; axis < 3; ++axis) {
          const double base = std::floor(c[axis]);
          cubicWeights(c[axis] - base, w[axis]);
          for (int k = 0; k < 4; ++k) {
            taps[axis][k] = tap(static_cast<std::int64_t>(base) - 1 + k, dims[axis]);
          }
        }
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
          double plane = 0.0;
          for (int j = 0; j < 4; ++j) {
            const double* row = coefficients + (taps[2][k] * ny + taps[1][j]) * nx;
            const double line = w[0][0] * row[taps[0][0]] + w[0][1] * row[taps[0][1]] +
                                w[0][2] * row[taps[0][2]] + w[0][3] * row[taps[0][3]];
            plane += w[1][j] * line;
          }
          sum += w[2][k] * plane;
        }
        out[(z * ny + y) * nx + x] = static_cast<float>(sum);
      }
    }
  }
}

void resampleVolume(const VolumeShape& shape, const float* volume,
                    const formats::Affine& sampling, Interpolation interpolation, float* out,
                    std::vector<double>& work) {
  if (interpolation == Interpolation::Trilinear) {
    resampleTrilinear(shape, volume, sampling, out);
    return;
  }
  work.assign(volume, volume + shape.voxels());
  cubicSplineCoefficients(shape, work.data());
  resampleCubic(shape, work.data(), sampling, out);
}

void resampleRun(float* data, const VolumeShape& shape, int timePoints,
                 const RunSampling& sampling, const ParallelFor& parallel) {
  const std::int64_t voxels = shape.voxels();
  const std::int64_t blocks = (timePoints + kTimeBlock - 1) / kTimeBlock;
  parallel(blocks, [&](std::int64_t firstBlock, std::int64_t endBlock) {
    std::vector<float> volumes(static_cast<std::size_t>(voxels) * kTimeBlock);
    std::vector<float> resampled(volumes.size());
    std::vector<double> work;
    for (std::int64_t block = firstBlock; block < endBlock; ++block) {
      const int first = static_cast<int>(block * kTimeBlock);
      const int count = std::min(kTimeBlock, timePoints - first);
      const auto moved = [&](int k) { return sampling.moved[static_cast<std::size_t>(first + k)]; };
      bool any = false;
      for (int k = 0; k < count; ++k) any = any || moved(k);
      if (!any) continue;
      for (std::int64_t v = 0; v < voxels; ++v) {
        const float* course = data + v * timePoints + first;
        for (int k = 0; k < count; ++k) volumes[static_cast<std::size_t>(k * voxels + v)] = course[k];
      }
      for (int k = 0; k < count; ++k) {
        if (!moved(k)) continue;
        resampleVolume(shape, volumes.data() + k * voxels,
                       sampling.maps[static_cast<std::size_t>(first + k)], sampling.interpolation,
                       resampled.data() + k * voxels, work);
      }
      for (std::int64_t v = 0; v < voxels; ++v) {
        float* course = data + v * timePoints + first;
        for (int k = 0; k < count; ++k) {
          if (moved(k)) course[k] = resampled[static_cast<std::size_t>(k * voxels + v)];
        }
      }
    }
  });
}

}  // namespace tolvane::engine
