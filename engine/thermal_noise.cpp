// Thermal noise and the magnitude pass; conventions in thermal_noise.h.
#include "engine/thermal_noise.h"

#include <cmath>
#include <vector>

namespace tolvane::engine {

void addThermalNoise(float* course, std::int64_t voxel, int timePoints, float thermalSd,
                     const FieldKey& key, float* work) {
  fieldDeviates({key.seed, key.run, kThermalStream}, voxel, 0, timePoints, work);
  for (int t = 0; t < timePoints; ++t) course[t] = course[t] + thermalSd * work[t];
}

void applyMagnitude(const VtcGrid& grid, float thermalSd, const FieldKey& key,
                    const ParallelFor& parallel) {
  const FieldKey imaginary{key.seed, key.run, kImaginaryStream};
  const int nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    std::vector<float> w(static_cast<std::size_t>(nT));
    for (std::int64_t v = begin; v < end; ++v) {
      fieldDeviates(imaginary, v, 0, nT, w.data());
      float* course = grid.data + v * nT;
      for (int t = 0; t < nT; ++t) {
        const float real = course[t], imag = thermalSd * w[t];
        course[t] = std::sqrt(real * real + imag * imag);
      }
    }
  });
}

}  // namespace tolvane::engine
