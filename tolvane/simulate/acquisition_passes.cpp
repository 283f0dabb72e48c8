// Slice-timed effects and the moving head; see acquisition_passes.h.
#include "tolvane/simulate/acquisition_passes.h"

#include "engine/drift.h"
#include "engine/rigid_motion.h"
#include "engine/rigid_resampling.h"
#include "engine/thermal_noise.h"
#include "formats/affine.h"
#include "tolvane/study/head_motion.h"
#include "tolvane/study/slice_timing.h"

namespace tolvane::simulate {

namespace {

// The effects of each voxel from the predictors at its slice's acquisition time.
void addEffectsAtSliceTimes(const study::Study& study, const Truth& truth, int place,
                            const simulation::VtcGrid& grid) {
  const std::vector<std::vector<std::vector<float>>> bySlice = study::slicePredictors(study, place);
  std::vector<engine::Predictors> slicePointers;
  for (const std::vector<std::vector<float>>& slice : bySlice) {
    engine::Predictors pointers;
    for (const std::vector<float>& values : slice) pointers.push_back(values.data());
    slicePointers.push_back(std::move(pointers));
  }
  const std::size_t conditions = study.protocol.conditions.size();
  const std::int64_t sliceVoxels = std::int64_t{grid.dimX} * grid.dimY;
  for (std::size_t i = 0; i < truth.effects.voxels.size(); ++i) {
    const std::int64_t voxel = truth.effects.voxels[i];
    const std::vector<float> effect = engine::effectTimeCourse(
        truth.effects.amplitudes.data() + i * conditions,
        slicePointers[static_cast<std::size_t>(voxel / sliceVoxels)], grid.timePoints);
    float* course = grid.data + voxel * grid.timePoints;
    for (int t = 0; t < grid.timePoints; ++t) course[t] = course[t] + effect[t];
  }
}

}  // namespace

void addRunEffects(const study::Study& study, const Truth& truth, int place,
                   const simulation::VtcGrid& grid, const engine::PredictorSets& predictors) {
  if (!study.sliceTiming) {
    engine::addEffects(grid, truth.effects, predictors);
  } else {
    addEffectsAtSliceTimes(study, truth, place, grid);
  }
  if (!study.networks.empty()) {
    addNetworkFluctuations(study, truth.networks, truth.regionOffsets, grid);
  }
}

void moveHeadInScanner(const study::Study& study, const Truth& truth, int place,
                       const simulation::VtcGrid& grid, const engine::PredictorSets& predictors,
                       const engine::FieldKey& key, const engine::ParallelFor& parallel) {
  addRunEffects(study, truth, place, grid, predictors);

  const formats::Affine gridToWorld =
      formats::compose(study.frame.voxelToWorld, study.grid.gridToVmr());
  engine::RunSampling sampling;
  sampling.interpolation = study.motion->interpolation;
  for (const engine::RigidMotion& motion : study::runTrajectory(study, place)) {
    sampling.moved.push_back(!motion.still());
    sampling.maps.push_back(motion.still() ? formats::Affine::identity()
                                           : engine::samplingMap(gridToWorld, motion));
  }
  engine::resampleRun(grid.data, {grid.dimX, grid.dimY, grid.dimZ}, grid.timePoints, sampling,
                      parallel);

  const float thermalSd = study.voxelLevels ? study.voxelLevels->thermalSd : 0.0f;
  if (thermalSd != 0.0f) {
    parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
      for (std::int64_t v = begin; v < end; ++v) {
        engine::addThermalNoise(grid.data + v * grid.timePoints, v, grid.timePoints, thermalSd,
                                key);
      }
    });
  }
  if (study.noise.driftSd > 0.0f) {
    const engine::DriftBasis basis = engine::driftBasis(
        grid.timePoints, study.grid.trMilliseconds / 1000.0, study.noise.driftCutoffSeconds);
    engine::addDrift(grid, basis, study.noise.driftSd, {key.seed, key.run, engine::kDriftStream},
                     0, 1, parallel);
  }
  if (study.voxelLevels && study.voxelLevels->magnitude) {
    engine::applyMagnitude(grid, thermalSd, key, parallel);
  }
}

}  // namespace tolvane::simulate
