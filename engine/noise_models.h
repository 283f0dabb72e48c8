// A run's structured noise: the white counter field shaped in space and time, put on
// the voxels' levels, with physiological and thermal noise and slow drift added.
//
//   value_v(t) = b_v + f_v e_v(t) + p_v q_v(t) + s w_v(t) + drift_v(t)
//
// e is the noise field of the run's key (counter_noise.h), unit variance at every voxel
// and time point, made in this order, each step optional:
//   1. spatial correlation (smoothing.h): Gaussian smoothing, or the mixed
//      Gaussian-plus-exponential autocorrelation (which draws its field from its own
//      spectrum's stream instead);
//   2. temporal correlation (autoregression.h): AR(1), or ARMA(p <= 4, q <= 1); or any
//      stationary spectrum (spectral_filter.h);
// then each voxel's time course is put on its levels:
//   3. f_v e + b_v, with one level pair for the whole grid (Levels: s e + b, today's
//      runs) or one per voxel (VoxelLevels);
//   4. physiological noise (physiological_noise.h): + (p_v * q_v(t));
//   5. thermal noise (thermal_noise.h): + (s * w_v(t)), w the run's kThermalStream;
//   6. drift (drift.h): + d_v(t), its coefficients from the run's kDriftStream; with
//      per-voxel levels only inside their brain mask.
// Each step adds to the previous one's single-precision value in that order. A magnitude
// image takes one more pass after the effects are added (applyMagnitude in
// thermal_noise.h). Every step is single precision (or says it is done in double) in a
// fixed order, so the result does not depend on how the work is split between threads.
// Nothing here is exported from the module.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "engine/autoregression.h"
#include "engine/counter_noise.h"
#include "engine/drift.h"
#include "engine/parallel_for.h"
#include "engine/physiological_noise.h"
#include "engine/smoothing.h"
#include "engine/spectral_filter.h"
#include "engine/thermal_noise.h"
#include "simulation/synthesis.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// One value per grid voxel (grid order, x fastest) for each per-voxel level; the arrays
// outlive the call. 0 outside a brain mask makes the part vanish there.
struct VoxelLevels {
  const float* baseline = nullptr;         // b_v
  const float* fluctuationSd = nullptr;    // f_v
  const float* physiologicalSd = nullptr;  // p_v; null: no physiological noise
  float thermalSd = 0.0f;                  // s; 0: no thermal noise
  const std::uint8_t* inside = nullptr;    // the brain mask; null: every voxel. Drift
                                           // only inside it (step 6).
};

// The steps that act on each voxel's time course alone (2 to 6 above).
struct TimeCourseModels {
  // Temporal correlation: AR(1) with rho, or (when arma.p > 0 and not AR(1)) the ARMA
  // model's coefficients; armaCoefficients() makes them.
  bool autoregressive = false;
  float rho = 0.0f;
  const ArmaCoefficients* arma = nullptr;
  // Or a spectrum, which then takes the place of both.
  const SpectralFilter* spectrum = nullptr;
  // The levels: one pair for the grid, or, when voxelLevels is given, one per voxel
  // (and `levels` is not read).
  Levels levels{};
  const VoxelLevels* voxelLevels = nullptr;
  // Physiological noise, used when voxelLevels->physiologicalSd is given.
  const PhysiologicalNoise* physio = nullptr;
  const DriftBasis* drift = nullptr;  // none, or a basis (with no functions: no drift)
  float driftSd = 0.0f;
};

// The spatial correlation: Gaussian kernels (the single tap on every axis: none), or a
// mixed autocorrelation filter, which then replaces the kernels.
struct SpatialModel {
  SmoothingKernels kernels{SmoothingKernel{{1.0f}}, SmoothingKernel{{1.0f}},
                           SmoothingKernel{{1.0f}}};
  const MixedAcfFilter* mixed = nullptr;
  SpatialModel() = default;
  SpatialModel(const SmoothingKernels& gaussian) : kernels(gaussian) {}  // NOLINT: implicit
  SpatialModel(const MixedAcfFilter& filter) : mixed(&filter) {}         // NOLINT: implicit
};

// A run's structured noise, the whole sequence above, into `grid`: the counter field of
// `key` (counter_noise.h) as the white field, the spatial model, then the time-course
// models. The work is ordered so that each voxel's values pass through the cache as few
// times as possible: a slice's field is computed a block of time points at a time and
// smoothed along x and y at once, a column's time courses are shaped right after its
// pass along z, and without smoothing the field of a few voxels is shaped right after it
// is written. The values are those of the separate steps in order, for any split of the
// work.
void makeStructuredNoise(const VtcGrid& grid, const FieldKey& key, const SpatialModel& space,
                         const TimeCourseModels& models, const ParallelFor& parallel = runSerially);

}  // namespace tolvane::engine

#pragma GCC visibility pop
