// The structured-noise steps one at a time, as their definitions state them
// (engine/noise_models.h), for the tests that check the fused pipeline against them.
#pragma once

#include "engine/noise_models.h"

namespace tolvane::engine {

// Smoothing of every volume with the separable kernel of each axis (x, y, z), then each
// voxel divided by sqrt(Sx(x) Sy(y) Sz(z)), S the sum of the squared weights of the taps
// inside the grid along that axis. One pass per axis:
//   out(x) = w0 in(x) + sum over k = 1..r of wk (in(x - k) + in(x + k)),
// the terms in that order, absent neighbours left out.
void smoothVolumes(const VtcGrid& grid, const SmoothingKernels& kernels,
                   const ParallelFor& parallel = runSerially);

// The AR(1) recursion along every voxel's time course, in place.
void applyAutoregression(const VtcGrid& grid, float rho, const ParallelFor& parallel = runSerially);

// value <- (s * value) + b for every value.
void scaleToLevels(const VtcGrid& grid, const Levels& levels,
                   const ParallelFor& parallel = runSerially);

// Steps 3 to 5 with per-voxel levels, voxel by voxel: value <- (f_v * value) + b_v, then
// + (p_v * q_v(t)) with q from PhysiologicalNoise::timeCourse where p_v is not 0, then
// + (s * w_v(t)) with w the run's thermal deviates where s is not 0.
void putOnVoxelLevels(const VtcGrid& grid, const VoxelLevels& levels,
                      const PhysiologicalNoise* physio, const FieldKey& key);

// The drift of each voxel as drift.h defines it, one voxel and one loop at a time.
void addDriftVoxelByVoxel(const VtcGrid& grid, const DriftBasis& basis, float sd,
                          const FieldKey& coefficientKey);

// value <- sqrt((value * value) + ((s * w') * (s * w'))), w' the imaginary channel's
// deviates, voxel by voxel.
void takeMagnitude(const VtcGrid& grid, float thermalSd, const FieldKey& key);

}  // namespace tolvane::engine
