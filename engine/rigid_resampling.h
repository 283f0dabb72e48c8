// Resampling volumes through a map from output voxels to input voxel coordinates: the
// pass that moves a head rigidly inside the scanner's fixed grid (rigid_motion.h makes
// the maps from a rigid motion in world coordinates).
//
// Conventions, stated once:
// - A volume is nx * ny * nz values, x fastest (index (z * ny + y) * nx + x), the layout of
//   one time point of the grid.
// - A sampling map S is an affine of voxel coordinates (formats/affine.h): output voxel
//   i = (x, y, z) takes the input's value at the continuous voxel coordinate c = S i,
//   computed in double as (S[.][1] y + S[.][2] z + S[.][3]) + S[.][0] x, the bracket once
//   per row.
// - Boundary rule: the input is extended past its faces by whole-sample symmetry about
//   the outermost voxel centres, along each axis f(-k) = f(k) and f(n - 1 + k) =
//   f(n - 1 - k) (period 2(n - 1); an axis of one voxel is constant). A head moved by a
//   few millimetres thus meets a continuation of the tissue at the grid's faces, not a
//   step to zero, and the B-spline below keeps its exact prefilter. This is the "mirror"
//   mode of the common resampling libraries.
// - Trilinear: the value at c is sum over the 8 voxels around c of
//   (1 - |dx|)(1 - |dy|)(1 - |dz|) f, the weights and the sum in double, along x, then y,
//   then z, rounded once to float.
// - Cubic B-spline: the volume's B-spline coefficients (the interpolating spline, by
//   the recursive prefilter of Unser, Aldroubi and Eden 1991, pole sqrt(3) - 2, gain 6,
//   along x, then y, then z, with the exact initial values of the mirror boundary), then
//   the value at c is the sum of the 64 coefficients around c times the cubic B-spline
//   weights, all in double, rounded once to float. The spline passes through every sample,
//   so at whole-voxel coordinates it gives the input within double rounding.
// Every output value depends only on the input volume and its own coordinate, so the
// result is the same for any split of the work between threads.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/parallel_for.h"
#include "formats/affine.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

enum class Interpolation { Trilinear, CubicBSpline };

struct VolumeShape {
  int nx, ny, nz;
  std::int64_t voxels() const { return std::int64_t{nx} * ny * nz; }
};

// k folded onto 0 .. n - 1 by the boundary rule above.
std::int64_t mirroredIndex(std::int64_t k, std::int64_t n);

// The cubic B-spline coefficients of `volume`, in place (double, as above).
void cubicSplineCoefficients(const VolumeShape& shape, double* volume);

// out[i] = the input's value at S i for every voxel i. With Trilinear, `input` is the
// volume; with CubicBSpline it is its coefficients (cubicSplineCoefficients).
void resampleTrilinear(const VolumeShape& shape, const float* volume,
                       const formats::Affine& sampling, float* out);
void resampleCubic(const VolumeShape& shape, const double* coefficients,
                   const formats::Affine& sampling, float* out);

// One volume from its values, by either interpolation; `work` holds the coefficients of
// the cubic one (grown as needed).
void resampleVolume(const VolumeShape& shape, const float* volume,
                    const formats::Affine& sampling, Interpolation interpolation, float* out,
                    std::vector<double>& work);

// The sampling of each time point of a run: a map per volume, or none where the volume
// stays as it is (a still head: its values are left untouched, bit for bit).
struct RunSampling {
  std::vector<formats::Affine> maps;  // one per time point
  std::vector<bool> moved;            // per time point: false leaves the volume alone
  Interpolation interpolation = Interpolation::Trilinear;
};

// Every moved time point of a run, in place. `data` is in the grid's layout (time
// fastest: voxel v's time course at data[v * timePoints]); the work is split over
// blocks of kTimeBlock time points, whose values are gathered into whole volumes,
// resampled and put back, so each voxel's time course passes through the cache once per
// block.
constexpr int kTimeBlock = 16;
// The work space each thread of resampleRun holds, in bytes: two blocks of volumes, and
// a volume's coefficients for the cubic B-spline.
std::uint64_t resamplingWorkBytes(const VolumeShape& shape, Interpolation interpolation);
void resampleRun(float* data, const VolumeShape& shape, int timePoints,
                 const RunSampling& sampling, const ParallelFor& parallel = runSerially);

}  // namespace tolvane::engine

#pragma GCC visibility pop
