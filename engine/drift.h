// Slow drift: each voxel gets a random combination of the discrete cosine functions
// whose period is longer than a cutoff, scaled so that its temporal standard deviation
// is exactly D.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/counter_noise.h"
#include "engine/parallel_for.h"
#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The discrete cosine functions phi_k(t) = cos(pi k (2t + 1) / (2N)), k = 1 ..
// K, of a run of N volumes: phi_k has a period of 2N TR / k seconds, and K is
// the largest k whose period is longer than the cutoff. Each value is the C
// library's cosine in double, rounded to float. `values` holds K rows of `stride`
// values: phi_k(0 .. N - 1), then zeros up to a multiple of 64 values, so that a row
// can be read in whole vectors.
struct DriftBasis {
  int functions = 0;
  int timePoints = 0;
  int stride = 0;
  std::vector<float> values;
};

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds);

// Adds d(t) = D * u(t) / sd(u) to every voxel, u(t) = sum over k of c_k phi_k(t) with
// the voxel's coefficients, sd the population standard deviation over the run (a drift
// made of cosines has mean 0 over the run, so it shifts no voxel's mean). A basis
// without functions adds nothing.
//
// Voxel i of `grid` is voxel firstVoxel + i * step of the run's grid, and its
// coefficients c_1 .. c_K are that voxel's time points 0 .. K - 1 of the counter field
// of `coefficientKey` (the run's kDriftStream).
//
// Each value is computed as the definition's loops do it, in single precision:
// u(t) = (...((0 + c_1 phi_1(t)) + c_2 phi_2(t)) ...) + c_K phi_K(t); the mean and the
// sum of squared deviations from it are summed in double in time order; the factor
// D / sd is evaluated in double and rounded to float; then value + (factor * u(t)).
// Every vector path gives the same values; `path` lets tests choose one the processor
// has. With `inside` (one value per voxel of the run's grid), only the voxels where it
// is non-zero get a drift; the others' coefficients are not drawn, which changes no
// other voxel's.
void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const FieldKey& coefficientKey, std::int64_t firstVoxel = 0, std::int64_t step = 1,
              const ParallelFor& parallel = runSerially,
              cpu::VectorPath path = cpu::preferredVectorPath(),
              const std::uint8_t* inside = nullptr);

}  // namespace tolvane::engine

#pragma GCC visibility pop
