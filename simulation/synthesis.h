// The passes that fill a VTC with simulated data.
//
// Layout: the value of grid voxel (x, y, z) at time point t is element
// ((z * dimY + y) * dimX + x) * nT + t of the host's float storage; each voxel's time
// course is contiguous, x varies fastest among the spatial indices. Indices are
// computed in 64 bits, so large grids with many time points cannot wrap around.
//
// Values, in single precision and in exactly this grouping:
//   noise:  (5 * g) + 100
//   signal: ((3 * p[t]) + 100) + (5 * g)
// where g is one fresh gasdev draw per written value and p the predictor's time
// course. The order of draws decides which deviate lands where, so the loop orders
// below are part of the result: the noise pass runs time outermost and x innermost;
// the signal passes run voxel by voxel with time innermost (VOIs), or time outermost
// over the sphere's offsets (sphere).
//
// Cluster voxels that fall outside the grid still take their draws, so every value
// inside receives the deviate it would receive if nothing had been skipped; they are
// counted and not written. Module-internal: nothing here is exported.
#pragma once

#include <cstdint>
#include <functional>

#include "numerics/vector_path.h"
#include "plugin/host_interface.h"

#pragma GCC visibility push(hidden)

namespace tolvane::simulation {

constexpr float kBaseline = 100.0f;
constexpr float kNoiseAmplitude = 5.0f;
constexpr float kSignalAmplitude = 3.0f;
constexpr float kSphereRadius = 2.0f;  // in grid voxels
constexpr int kSphereReach = 2;        // the sphere lies within offsets -2 .. 2
constexpr int kFlippedReferenceSpace = 3;
constexpr int kFlipOrigin = 128;
constexpr int kProgressInterval = 10;  // time points between progress lines

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

using LogLine = std::function<void(const char* line)>;

// Gives every value of every voxel noise around the baseline, logging
// "// Plugin>    t / nT ..." every kProgressInterval time points and once at the end.
// Every vector path gives the same values; the choice is for tests and benchmarks.
void fillNoise(const VtcGrid& grid, int* seed, const LogLine& log,
               random::VectorPath path = random::preferredVectorPath());

enum class SignalOutcome { kDone, kPredictorMissing, kVoxelListMissing };

struct SignalResult {
  SignalOutcome outcome = SignalOutcome::kDone;
  std::int64_t skippedVoxels = 0;  // cluster voxels outside the grid
};

// Overwrites the voxels of each VOI with signal plus noise, VOI i driven by predictor
// predictorOfVoi[i]; logs "// Plugin>    VOI i / nv ..." before each VOI. Stops at
// the first predictor or voxel list the host cannot give.
SignalResult fillVoiSignal(const VtcGrid& grid, const VOIsInfo& vois, const int* predictorOfVoi,
                           int voiCount, int* seed, const LogLine& log);

// Overwrites the 33 voxels within kSphereRadius grid voxels of the centre (VMR
// coordinates) with signal plus noise driven by the given predictor.
SignalResult fillSphereSignal(const VtcGrid& grid, int centreX, int centreY, int centreZ,
                              int predictorIndex, int* seed);

}  // namespace tolvane::simulation

#pragma GCC visibility pop
