// Passes that put known effects into a filled grid, voxel by voxel.
//
// An effect is a sum over the design's conditions: voxel v with amplitudes a[v][c]
// (data units) receives at time point t
//   e[t] = a[0] * p0[t] + a[1] * p1[t] + ...
// in single precision, summed from 0 in the order of the conditions, p_c being the
// condition's predictor. For one condition of amplitude A this is exactly A * p[t].
// Grid voxels are named by their index ((z * dimY + y) * dimX + x) in the grid
// layout of synthesis.h. Part of the study engine; nothing here is exported from the module.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/counter_noise.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The design's predictors: one time course of the grid's time points per condition.
using Predictors = std::vector<const float*>;

// Voxels and the amplitude of each condition in each of them.
struct VoxelEffects {
  std::vector<std::int64_t> voxels;
  std::vector<float> amplitudes;  // voxels.size() rows of one value per condition
};

// e[t] for one voxel's amplitudes (one per predictor).
std::vector<float> effectTimeCourse(const float* amplitudes, const Predictors& predictors,
                                    int timePoints);

// value <- value + e[t]: effects added to the noise already in place.
void addEffects(const VtcGrid& grid, const VoxelEffects& effects, const Predictors& predictors);

// value <- (e[t] + b) + (s * g), g the voxel's deviate of the counter field: the
// plug-in's signal grouping, with the voxel's own deviates rather than fresh ones.
void replaceWithEffects(const VtcGrid& grid, const VoxelEffects& effects,
                        const Predictors& predictors, const Levels& levels, const FieldKey& key);

}  // namespace tolvane::engine

#pragma GCC visibility pop
