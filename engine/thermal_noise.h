// Thermal (system) noise: white in space and time, standard normal, from streams of its
// own, and the magnitude of a complex signal.
//
// The real channel's thermal deviate of voxel v at time t is deviate t of v's voxel
// streams (counter_noise.h) in the run's kThermalStream, the imaginary channel's that of
// kImaginaryStream; both are independent of the noise field (stream 0), of the drift
// (stream 1) and of each other.
// With sd s, a value x of the real channel becomes, in magnitude,
//   |x + i s w'| = sqrt((x * x) + ((s * w') * (s * w'))),
// single precision, so that a background of x = s w is Rayleigh-distributed (mean
// s sqrt(pi / 2)) and a voxel whose x is near its baseline follows a Rice distribution.
#pragma once

#include <cstdint>

#include "engine/counter_noise.h"
#include "engine/parallel_for.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// course[t] <- course[t] + (s * w_v(t)) for t = 0 .. timePoints - 1 of grid voxel `voxel`,
// w the real channel's deviates of key's seed and run (its stream is ignored).
void addThermalNoise(float* course, std::int64_t voxel, int timePoints, float thermalSd,
                     const FieldKey& key);

// value <- sqrt(value^2 + (s w')^2) for every value of the grid, w' the imaginary
// channel's deviates of key's seed and run (its stream is ignored).
void applyMagnitude(const VtcGrid& grid, float thermalSd, const FieldKey& key,
                    const ParallelFor& parallel = runSerially);

}  // namespace tolvane::engine

#pragma GCC visibility pop
