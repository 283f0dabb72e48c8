// Passes that put known effects into a filled grid, voxel by voxel.
//
// An effect is a sum over the design's conditions: voxel v with amplitudes a[v][c]
// (data units) receives at time point t
//   e[t] = a[0] * p0[t] + a[1] * p1[t] + ...
// in single precision, summed from 0 in the order of the conditions, p_c being the
// condition's predictor. For one condition of amplitude A this is exactly A * p[t].
// Grid voxels are named by their index ((z * dimY + y) * dimX + x) in the grid
// layout of synthesis.h. Regions whose haemodynamic responses differ have predictors of
// their own: each row of amplitudes then names its set of predictors, and a voxel that
// several such regions share has a row for each, added in the rows' order. Part of the study engine; nothing here is exported from the module.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/counter_noise.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The design's predictors: one time course of the grid's time points per condition.
using Predictors = std::vector<const float*>;
// Sets of predictors, for rows that name theirs (VoxelEffects::predictorSets).
using PredictorSets = std::vector<Predictors>;

// Rows of a voxel and the amplitude of each condition in it.
struct VoxelEffects {
  std::vector<std::int64_t> voxels;
  std::vector<float> amplitudes;  // voxels.size() rows of one value per condition
  // Per row, the index of its predictors in the sets; empty: every row uses set 0.
  std::vector<std::uint32_t> predictorSets;
};

// e[t] for one voxel's amplitudes (one per predictor).
std::vector<float> effectTimeCourse(const float* amplitudes, const Predictors& predictors,
                                    int timePoints);

// value <- value + e[t]: effects added to the noise already in place.
void addEffects(const VtcGrid& grid, const VoxelEffects& effects, const PredictorSets& sets);

// value <- (e[t] + b) + (s * g), g the voxel's deviate of the counter field: the
// plug-in's signal grouping, with the voxel's own deviates rather than fresh ones.
// Each voxel has one row.
void replaceWithEffects(const VtcGrid& grid, const VoxelEffects& effects,
                        const PredictorSets& sets, const Levels& levels, const FieldKey& key);

}  // namespace tolvane::engine

#pragma GCC visibility pop
