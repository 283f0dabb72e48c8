// Resampling volumes; conventions in rigid_resampling.h.
#include "engine/rigid_resampling.h"

#include <algorithm>
#include <cmath>

namespace tolvane::engine {
namespace {

// The cubic B-spline's prefilter pole and gain (1 - z)(1 - 1/z).
const double kPole = std::sqrt(3.0) - 2.0;
constexpr double kGain = 6.0;

// floor(c) as an integer, for |c| < 2^62: the truncation toward zero (one instruction),
// stepped down for negative fractions. The baseline instruction set has no rounding
// instruction for doubles, so std::floor would be a library call per axis and voxel.
inline std::int64_t floorIndex(double c) {
  const auto truncated = static_cast<std::int64_t>(c);
  return c < static_cast<double>(truncated) ? truncated - 1 : truncated;
}

// The fold of a tap outside the grid, kept out of line: inlined, the compiler computes
// its division for every tap and then picks, which costs more than the interpolation.
[[gnu::noinline]] std::int64_t foldedTap(std::int64_t k, std::int64_t n) {
  return mirroredIndex(k, n);
}

// A tap's index along an axis of n voxels: itself when inside, folded otherwise.
inline std::int64_t tap(std::int64_t k, std::int64_t n) {
  if (__builtin_expect(k >= 0 && k < n, 1)) return k;
  return foldedTap(k, n);
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

// The prefilter along every line of one axis: lines of `n` values `stride` apart,
// starting at every voxel whose coordinate on that axis is 0.
void prefilterAxis(double* volume, const VolumeShape& shape, int axis, std::vector<double>& line) {
  const std::int64_t dims[3] = {shape.nx, shape.ny, shape.nz};
  const std::int64_t strides[3] = {1, dims[0], dims[0] * dims[1]};
  const std::int64_t n = dims[axis], stride = strides[axis];
  if (n < 2) return;
  line.resize(static_cast<std::size_t>(n));
  // Starts: every index below `stride` (the axes before this one), in every block of
  // stride * n (the axes after it).
  for (std::int64_t block = 0; block < shape.voxels(); block += stride * n) {
    for (std::int64_t start = block; start < block + stride; ++start) {
      for (std::int64_t i = 0; i < n; ++i) line[static_cast<std::size_t>(i)] = volume[start + i * stride];
      prefilterLine(line.data(), n);
      for (std::int64_t i = 0; i < n; ++i) volume[start + i * stride] = line[static_cast<std::size_t>(i)];
    }
  }
}

// The voxel coordinate of a row's first voxel (0, y, z) under map S: voxel x of the row
// is at `at` + S[.][0] x, in double.
struct RowStart {
  double at[3];
};
inline RowStart rowStart(const formats::Affine& sampling, std::int64_t y, std::int64_t z) {
  RowStart row{};
  for (int axis = 0; axis < 3; ++axis) {
    row.at[axis] = sampling.m[axis][1] * static_cast<double>(y) +
                   sampling.m[axis][2] * static_cast<double>(z) + sampling.m[axis][3];
  }
  return row;
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
  const std::int64_t plane = nx * ny;
  for (std::int64_t z = 0; z < nz; ++z) {
    for (std::int64_t y = 0; y < ny; ++y) {
      const RowStart row = rowStart(sampling, y, z);
      float* outRow = out + (z * ny + y) * nx;
      for (std::int64_t x = 0; x < nx; ++x) {
        double c[3];
        for (int axis = 0; axis < 3; ++axis) c[axis] = row.at[axis] + sampling.m[axis][0] * x;
        const std::int64_t ix = floorIndex(c[0]), iy = floorIndex(c[1]), iz = floorIndex(c[2]);
        const double dx = c[0] - static_cast<double>(ix), dy = c[1] - static_cast<double>(iy),
                     dz = c[2] - static_cast<double>(iz);
        std::int64_t xs[2], rows[4];
        if (ix >= 0 && ix + 1 < nx && iy >= 0 && iy + 1 < ny && iz >= 0 && iz + 1 < nz) {
          xs[0] = ix;
          xs[1] = ix + 1;
          rows[0] = iz * plane + iy * nx;
          rows[1] = rows[0] + nx;
          rows[2] = rows[0] + plane;
          rows[3] = rows[2] + nx;
        } else {
          xs[0] = tap(ix, nx);
          xs[1] = tap(ix + 1, nx);
          for (int k = 0; k < 2; ++k) {
            for (int j = 0; j < 2; ++j) rows[2 * k + j] = tap(iz + k, nz) * plane + tap(iy + j, ny) * nx;
          }
        }
        double lines[4];
        for (int r = 0; r < 4; ++r) {
          lines[r] = (1.0 - dx) * volume[rows[r] + xs[0]] + dx * volume[rows[r] + xs[1]];
        }
        const double near = (1.0 - dy) * lines[0] + dy * lines[1];
        const double far = (1.0 - dy) * lines[2] + dy * lines[3];
        outRow[x] = static_cast<float>((1.0 - dz) * near + dz * far);
      }
    }
  }
}

void resampleCubic(const VolumeShape& shape, const double* coefficients,
                   const formats::Affine& sampling, float* out) {
  const std::int64_t nx = shape.nx, ny = shape.ny, nz = shape.nz;
  for (std::int64_t z = 0; z < nz; ++z) {
    for (std::int64_t y = 0; y < ny; ++y) {
      const RowStart row = rowStart(sampling, y, z);
      for (std::int64_t x = 0; x < nx; ++x) {
        double c[3];
        for (int axis = 0; axis < 3; ++axis) c[axis] = row.at[axis] + sampling.m[axis][0] * x;
        double w[3][4];
        std::int64_t taps[3][4];
        const std::int64_t dims[3] = {nx, ny, nz};
        for (int axis = 0; axis < 3; ++axis) {
          const std::int64_t base = floorIndex(c[axis]);
          cubicWeights(c[axis] - static_cast<double>(base), w[axis]);
          for (int k = 0; k < 4; ++k) taps[axis][k] = tap(base - 1 + k, dims[axis]);
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

std::uint64_t resamplingWorkBytes(const VolumeShape& shape, Interpolation interpolation) {
  const auto voxels = static_cast<std::uint64_t>(shape.voxels());
  return 2 * kTimeBlock * voxels * sizeof(float) +
         (interpolation == Interpolation::CubicBSpline ? voxels * sizeof(double) : 0);
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
