// The AR(1) recursion and the scaling, and the ARMA recursion's transposes
// (autoregression.h), on the AVX-512 path. Call this
// only when cpu::avx512Available() says so.
#pragma once

#include <cstdint>

#include "engine/counter_noise.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// For the first 16 * floor(voxels / 16) of `voxels` consecutive time courses of
// `timePoints` values at `data`: e_0 = z_0, e_t = (rho e_(t-1)) + (innovation z_t), each
// stored as (s e_t) + b. Returns how many voxels it did; the rest are the caller's.
std::int64_t autoregressAndScaleAvx512(float* data, std::int64_t voxels, int timePoints, float rho,
                                       float innovation, const Levels& levels);

// Sixteen consecutive time courses of `timePoints` values at `courses` into lanes:
// tile[t * 16 + j] = voxel j's value at t.
void transposeIntoLanesAvx512(const float* courses, int timePoints, float* tile);

// The reverse, each value stored as (s v) + b.
void transposeOutOfLanesAvx512(const float* tile, int timePoints, const Levels& levels,
                               float* courses);

}  // namespace tolvane::engine

#pragma GCC visibility pop
