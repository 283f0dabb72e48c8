// Slow drift: each voxel gets a random combination of the discrete cosine functions
// whose period is longer than a cutoff, scaled so that its temporal standard deviation
// is exactly D.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/counter_noise.h"
#include "engine/parallel_for.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The discrete cosine functions phi_k(t) = cos(pi k (2t + 1) / (2N)), k = 1 ..
// K, of a run of N volumes: phi_k has a period of 2N TR / k seconds, and K is
// the largest k whose period is longer than the cutoff. Each value is the C
// library's cosine in double, rounded to float. `values` holds K rows of N.
struct DriftBasis {
  int functions = 0;
  int timePoints = 0;
  std::vector<float> values;
};

DriftBasis driftBasis(int timePoints, double trSeconds, double cutoffSeconds);

// Writes a voxel's `count` standard normal coefficients.
using CoefficientSource = std::function<void(std::int64_t voxel, int count, float* out)>;

// Adds d(t) = D * u(t) / sd(u) to every voxel, u(t) = sum over k of c_k
// phi_k(t) with the voxel's coefficients, sd the population standard deviation
// over the run (a drift made of cosines has mean 0 over the run, so it shifts
// no voxel's mean). A basis without functions adds nothing.
void addDrift(const VtcGrid& grid, const DriftBasis& basis, float sd,
              const CoefficientSource& coefficients, const ParallelFor& parallel = runSerially);

}  // namespace tolvane::engine

#pragma GCC visibility pop
