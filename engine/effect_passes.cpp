// Effect passes; conventions in effect_passes.h.
#include "engine/effect_passes.h"

namespace tolvane::engine {

std::vector<float> effectTimeCourse(const float* amplitudes, const Predictors& predictors,
                                    int timePoints) {
  std::vector<float> effect(static_cast<std::size_t>(timePoints), 0.0f);
  for (std::size_t c = 0; c < predictors.size(); ++c) {
    const float amplitude = amplitudes[c];
    if (amplitude == 0.0f) continue;  // adds +0 or -0 * p: leaves every sum unchanged
    for (int t = 0; t < timePoints; ++t) effect[t] = effect[t] + amplitude * predictors[c][t];
  }
  return effect;
}

namespace {

const Predictors& predictorsOfRow(const VoxelEffects& effects, const PredictorSets& sets,
                                  std::size_t row) {
  return sets[effects.predictorSets.empty() ? 0 : effects.predictorSets[row]];
}

}  // namespace

void addEffects(const VtcGrid& grid, const VoxelEffects& effects, const PredictorSets& sets) {
  const std::size_t conditions = sets.front().size();
  for (std::size_t i = 0; i < effects.voxels.size(); ++i) {
    const std::vector<float> effect =
        effectTimeCourse(effects.amplitudes.data() + i * conditions,
                         predictorsOfRow(effects, sets, i), grid.timePoints);
    float* course = grid.data + effects.voxels[i] * grid.timePoints;
    for (int t = 0; t < grid.timePoints; ++t) course[t] = course[t] + effect[t];
  }
}

void replaceWithEffects(const VtcGrid& grid, const VoxelEffects& effects,
                        const PredictorSets& sets, const Levels& levels, const FieldKey& key) {
  const std::size_t conditions = sets.front().size();
  std::vector<float> deviates(static_cast<std::size_t>(grid.timePoints));
  for (std::size_t i = 0; i < effects.voxels.size(); ++i) {
    const std::vector<float> effect =
        effectTimeCourse(effects.amplitudes.data() + i * conditions,
                         predictorsOfRow(effects, sets, i), grid.timePoints);
    fieldDeviates(key, effects.voxels[i], 0, grid.timePoints, deviates.data());
    float* course = grid.data + effects.voxels[i] * grid.timePoints;
    for (int t = 0; t < grid.timePoints; ++t) {
      course[t] = (effect[t] + levels.baseline) + (levels.noiseAmplitude * deviates[t]);
    }
  }
}

}  // namespace tolvane::engine
