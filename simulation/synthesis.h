// The passes that fill a VTC with simulated data.
//
// Layout: the value of grid voxel (x, y, z) at time point t is element
// ((z * dimY + y) * dimX + x) * nT + t of the host's float storage; each voxel's time
// course is contiguous, x varies fastest among the spatial indices. Indices are
// computed in 64 bits, so large grids with many time points cannot wrap around.
//
// Values, in single precision and in exactly this grouping:
//   noise:  (s * g) + b
//   signal: (e[t] + b) + (s * g)
// where b is the baseline, s the noise amplitude, g one fresh deviate per written
// value and e the effect time course in data units (for the plug-in: 3 * p[t], p the
// predictor). Deviates are gasdev's, drawn from an explicit generator state and seed
// variable, so that the caller decides which stream a pass continues. The order of
// draws decides which deviate lands where, so the loop orders below are part of the
// result: the noise pass runs time outermost and x innermost; the signal passes run
// voxel by voxel with time innermost (voxel lists), or time outermost over the
// sphere's offsets (sphere).
//
// The passes write only what they are given; they know nothing of a host. Whoever
// calls them owns the storage, the effect time courses and the voxel lists.
//
// Cluster voxels that fall outside the grid still take their draws, so every value
// inside receives the deviate it would receive if nothing had been skipped; they are
// counted and not written. Module-internal: nothing here is exported.
#pragma once

#include <cstdint>
#include <functional>

#include "numerics/random_state.h"
#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::simulation {

constexpr int kProgressInterval = 10;  // time points between progress reports

// The level of the simulated values and the spread of their noise.
struct Levels {
  float baseline;
  float noiseAmplitude;
};

// The stream a pass draws from: gasdev's generator state and the caller's seed
// variable (a value <= 0 restarts the sequence at the next draw).
struct DeviateStream {
  random::GeneratorState& state;
  int* seed;
};

// How the triples of a voxel list name anatomical (VMR) voxels: directly, or, in a
// flipped reference space, (X, Y, Z) = (origin - c1, origin - c2, origin - c0).
struct VoxelConvention {
  bool flipped = false;
  int flipOrigin = 0;
};

// The VTC's storage and geometry, as the run derived it from the host's header.
struct VtcGrid {
  float* data;
  int dimX, dimY, dimZ;
  int timePoints;
  int xStart, yStart, zStart;
  int resolution;

  std::int64_t voxelCount() const;
  // Offset of time point 0 of voxel (x, y, z) in data.
  std::int64_t timeCourseOffset(int x, int y, int z) const;
  bool contains(std::int64_t x, std::int64_t y, std::int64_t z) const;
};

// Grid index along one axis of a VMR voxel coordinate: (c - start) / resolution in
// single precision, then rounded half up in double (floor of f + 0.5). The coordinate
// is 64-bit because a flipped VOI voxel (128 - c) need not fit 32 bits.
std::int64_t gridIndex(std::int64_t coordinate, int start, int resolution);

// Told how far a pass has got: `done` of its `total` time points. The caller decides
// what to make of it (the plug-in's run logs a line); a pass calls it from the thread
// it runs on.
using Progress = std::function<void(int done, int total)>;

// Gives every value of every voxel noise around the baseline, reporting progress (when
// given) every kProgressInterval time points, before drawing that time point, and once
// at the end. Every vector path gives the same values; the choice is for tests and
// benchmarks.
void fillNoise(const VtcGrid& grid, const Levels& levels, const DeviateStream& stream,
               const Progress& progress = {}, cpu::VectorPath path = cpu::preferredVectorPath());

// Overwrites the listed voxels (voxelCount triples, VMR coordinates read by the
// convention) with signal plus noise, each voxel's time course in turn. Returns how
// many listed voxels lay outside the grid.
std::int64_t fillVoxelListSignal(const VtcGrid& grid, const std::int32_t* voxels,
                                 std::int64_t voxelCount, const VoxelConvention& convention,
                                 const float* effect, const Levels& levels,
                                 const DeviateStream& stream);

// Overwrites the sphere's voxels (run_log.h) around the centre (VMR coordinates) with
// signal plus noise. Returns how many of them lay outside the grid.
std::int64_t fillSphereSignal(const VtcGrid& grid, int centreX, int centreY, int centreZ,
                              const float* effect, const Levels& levels,
                              const DeviateStream& stream);

}  // namespace tolvane::simulation

#pragma GCC visibility pop
