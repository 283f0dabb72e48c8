// The passes written plainly, straight from their formulas, one gasdev call per
// value: the expectation that the module's passes must match to the last bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "numerics/random.h"

namespace reference {

struct Grid {
  int dimX, dimY, dimZ, nT;
  int xStart, yStart, zStart, resolution;

  std::int64_t index(std::int64_t x, std::int64_t y, std::int64_t z, int t) const {
    return ((z * dimY + y) * dimX + x) * nT + t;
  }
  bool inside(std::int64_t x, std::int64_t y, std::int64_t z) const {
    return x >= 0 && y >= 0 && z >= 0 && x < dimX && y < dimY && z < dimZ;
  }
};

inline std::int64_t toGrid(int c, int start, int resolution) {
  const float f =
      (static_cast<float>(c) - static_cast<float>(start)) / static_cast<float>(resolution);
  return static_cast<std::int64_t>(std::floor(static_cast<double>(f) + 0.5));
}

inline void noise(const Grid& g, std::vector<float>& v, int* seed) {
  for (int t = 0; t < g.nT; ++t)
    for (int z = 0; z < g.dimZ; ++z)
      for (int y = 0; y < g.dimY; ++y)
        for (int x = 0; x < g.dimX; ++x) v[g.index(x, y, z, t)] = 5.0f * gasdev(seed) + 100.0f;
}

inline void voxelSignal(const Grid& g, std::vector<float>& v, int X, int Y, int Z,
                        const std::vector<float>& p, int* seed) {
  const auto ix = toGrid(X, g.xStart, g.resolution), iy = toGrid(Y, g.yStart, g.resolution),
             iz = toGrid(Z, g.zStart, g.resolution);
  for (int t = 0; t < g.nT; ++t) {
    const float value = (3.0f * p[t] + 100.0f) + 5.0f * gasdev(seed);
    if (g.inside(ix, iy, iz)) v[g.index(ix, iy, iz, t)] = value;
  }
}

inline void sphereSignal(const Grid& g, std::vector<float>& v, int X, int Y, int Z,
                         const std::vector<float>& p, int* seed) {
  const auto cx = toGrid(X, g.xStart, g.resolution), cy = toGrid(Y, g.yStart, g.resolution),
             cz = toGrid(Z, g.zStart, g.resolution);
  for (int t = 0; t < g.nT; ++t)
    for (int dz = -2; dz <= 2; ++dz)
      for (int dy = -2; dy <= 2; ++dy)
        for (int dx = -2; dx <= 2; ++dx) {
          if (dx * dx + dy * dy + dz * dz > 4) continue;
          const float value = (3.0f * p[t] + 100.0f) + 5.0f * gasdev(seed);
          if (g.inside(cx + dx, cy + dy, cz + dz)) v[g.index(cx + dx, cy + dy, cz + dz, t)] = value;
        }
}

}  // namespace reference
