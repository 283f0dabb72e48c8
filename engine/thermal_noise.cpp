// Thermal noise and the magnitude pass; conventions in thermal_noise.h.
#include "engine/thermal_noise.h"

namespace tolvane::engine {

void addThermalNoise(float* course, std::int64_t voxel, int timePoints, float thermalSd,
                     const FieldKey& key) {
  addStreamNoise(course, voxel, timePoints, thermalSd, {key.seed, key.run, kThermalStream});
}

void applyMagnitude(const VtcGrid& grid, float thermalSd, const FieldKey& key,
                    const ParallelFor& parallel) {
  const FieldKey imaginary{key.seed, key.run, kImaginaryStream};
  const int nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t v = begin; v < end; ++v)
      magnitudeWithStreamNoise(grid.data + v * nT, v, nT, thermalSd, imaginary);
  });
}

}  // namespace tolvane::engine
