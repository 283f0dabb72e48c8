// The noise pass written plainly: one gasdev call per value, in the plug-in's loop
// order (time points outermost, then z, y, x), each value 5 * deviate + 100. The
// baseline that the module's pass and hvhost's whole run are measured against.
#pragma once

#include <cstdint>

#include "numerics/random.h"

namespace tolvane::bench {

inline void plainNoisePass(float* data, int dimX, int dimY, int dimZ, int nT, int* seed) {
  for (int t = 0; t < nT; ++t)
    for (int z = 0; z < dimZ; ++z)
      for (int y = 0; y < dimY; ++y)
        for (int x = 0; x < dimX; ++x) {
          const std::int64_t index =
              ((static_cast<std::int64_t>(z) * dimY + y) * dimX + x) * nT + t;
          data[index] = 5.0f * gasdev(seed) + 100.0f;
        }
}

}  // namespace tolvane::bench
