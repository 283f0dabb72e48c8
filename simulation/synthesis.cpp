// Noise and signal passes; conventions in synthesis.h.
#include "simulation/synthesis.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "numerics/random_state.h"

namespace tolvane::simulation {

std::int64_t VtcGrid::voxelCount() const { return static_cast<std::int64_t>(dimX) * dimY * dimZ; }

std::int64_t VtcGrid::timeCourseOffset(int x, int y, int z) const {
  return ((static_cast<std::int64_t>(z) * dimY + y) * dimX + x) * timePoints;
}

bool VtcGrid::contains(std::int64_t x, std::int64_t y, std::int64_t z) const {
  return x >= 0 && x < dimX && y >= 0 && y < dimY && z >= 0 && z < dimZ;
}

std::int64_t gridIndex(std::int64_t coordinate, int start, int resolution) {
  const float f =
      (static_cast<float>(coordinate) - static_cast<float>(start)) / static_cast<float>(resolution);
  return static_cast<std::int64_t>(std::floor(static_cast<double>(f) + 0.5));
}

namespace {

// Room for drawing ahead of the strided stores: small enough to stay in the caches.
constexpr std::int64_t kWorkAreaBytes = std::int64_t{1} << 20;
constexpr std::int64_t kPrefetchDistance = 64;  // voxels

inline float signalValue(float effect, const Levels& levels, float g) {
  return (effect + levels.baseline) + (levels.noiseAmplitude * g);
}

inline float nextDeviate(const DeviateStream& stream) {
  return random::nextDeviate(stream.state, stream.seed);
}

void logProgress(const LogLine& log, const std::string& done, int total) {
  const std::string line = "// Plugin>    " + done + " / " + std::to_string(total) + " ...";
  log(line.c_str());
}

// Writes one voxel's signal time course, or only draws it when the voxel lies outside
// the grid. Returns whether it was written.
bool writeSignalTimeCourse(const VtcGrid& grid, std::int64_t ix, std::int64_t iy, std::int64_t iz,
                           const float* effect, const Levels& levels, const DeviateStream& stream) {
  if (!grid.contains(ix, iy, iz)) {
    for (int t = 0; t < grid.timePoints; ++t) nextDeviate(stream);
    return false;
  }
  float* course = grid.data + grid.timeCourseOffset(static_cast<int>(ix), static_cast<int>(iy),
                                                    static_cast<int>(iz));
  for (int t = 0; t < grid.timePoints; ++t) {
    course[t] = signalValue(effect[t], levels, nextDeviate(stream));
  }
  return true;
}

// Stores the values of time points t and t + 1 of the first voxels, one voxel at a
// time.
void storeTimePointPair(const VtcGrid& grid, int t, const float* first, const float* second,
                        std::int64_t voxels) {
  const std::int64_t stride = grid.timePoints;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(grid.data + t);
  const std::uintptr_t prefetchAhead = kPrefetchDistance * stride * sizeof(float);
  for (std::int64_t v = 0; v < voxels; ++v) {
    // The line a few voxels ahead is requested now, so that its latency overlaps with
    // these stores (a prefetch never faults, even past the end).
    const std::uintptr_t address = start + static_cast<std::uintptr_t>(v * stride) * sizeof(float);
    __builtin_prefetch(reinterpret_cast<const void*>(address + prefetchAhead), 1);
    float* value = grid.data + v * stride + t;
    value[0] = first[v];
    value[1] = second[v];
  }
}

}  // namespace

void fillNoise(const VtcGrid& grid, const Levels& levels, const DeviateStream& stream,
               const LogLine& log, random::VectorPath path) {
  const std::int64_t stride = grid.timePoints;  // successive voxels lie nT values apart
  const std::int64_t voxels = grid.voxelCount();
  // Each time point's deviates go, in draw order, to the voxels' values at that time
  // point; written there directly, every value touches a cache line of its own. So
  // time points are drawn in pairs, the values of the first voxels of both are kept in
  // the small work area, and those voxels' two values are then stored side by side,
  // which halves the lines they touch. On grids too large for the work area, the
  // values of the remaining voxels are written directly.
  const std::int64_t held =
      std::min(voxels, kWorkAreaBytes / static_cast<std::int64_t>(2 * sizeof(float)));
  std::vector<float> workArea(static_cast<std::size_t>(2 * held));
  float* const first = workArea.data();
  float* const second = first + held;
  const auto draw = [&](int t, float* kept, std::int64_t keptCount) {
    if (t > 0 && t % kProgressInterval == 0) logProgress(log, std::to_string(t), grid.timePoints);
    random::fillScaledDeviates(stream.state, stream.seed, static_cast<std::size_t>(keptCount),
                               {kept, 1, levels.noiseAmplitude, levels.baseline}, path);
    random::fillScaledDeviates(
        stream.state, stream.seed, static_cast<std::size_t>(voxels - keptCount),
        {grid.data + keptCount * stride + t, stride, levels.noiseAmplitude, levels.baseline}, path);
  };
  int t = 0;
  for (; t + 1 < grid.timePoints; t += 2) {
    draw(t, first, held);
    draw(t + 1, second, held);
    storeTimePointPair(grid, t, first, second, held);
  }
  if (t < grid.timePoints) draw(t, first, 0);
  logProgress(log, std::to_string(grid.timePoints), grid.timePoints);
}

std::int64_t fillVoxelListSignal(const VtcGrid& grid, const std::int32_t* voxels,
                                 std::int64_t voxelCount, const VoxelConvention& convention,
                                 const float* effect, const Levels& levels,
                                 const DeviateStream& stream) {
  std::int64_t skipped = 0;
  for (std::int64_t v = 0; v < voxelCount; ++v) {
    const std::int64_t c0 = voxels[3 * v], c1 = voxels[3 * v + 1], c2 = voxels[3 * v + 2];
    std::int64_t x = c0, y = c1, z = c2;
    if (convention.flipped) {
      x = convention.flipOrigin - c1;
      y = convention.flipOrigin - c2;
      z = convention.flipOrigin - c0;
    }
    const bool written =
        writeSignalTimeCourse(grid, gridIndex(x, grid.xStart, grid.resolution),
                              gridIndex(y, grid.yStart, grid.resolution),
                              gridIndex(z, grid.zStart, grid.resolution), effect, levels, stream);
    if (!written) ++skipped;
  }
  return skipped;
}

std::int64_t fillSphereSignal(const VtcGrid& grid, int centreX, int centreY, int centreZ,
                              const float* effect, const Levels& levels,
                              const DeviateStream& stream) {
  std::int64_t skipped = 0;
  const std::int64_t cx = gridIndex(centreX, grid.xStart, grid.resolution);
  const std::int64_t cy = gridIndex(centreY, grid.yStart, grid.resolution);
  const std::int64_t cz = gridIndex(centreZ, grid.zStart, grid.resolution);
  for (int t = 0; t < grid.timePoints; ++t) {
    for (int dz = -kSphereReach; dz <= kSphereReach; ++dz)
      for (int dy = -kSphereReach; dy <= kSphereReach; ++dy)
        for (int dx = -kSphereReach; dx <= kSphereReach; ++dx) {
          const float distance = std::sqrt(static_cast<float>(dx * dx + dy * dy + dz * dz));
          if (distance > kSphereRadius) continue;
          const float g = nextDeviate(stream);
          const std::int64_t x = cx + dx, y = cy + dy, z = cz + dz;
          if (!grid.contains(x, y, z)) {
            if (t == 0) ++skipped;
            continue;
          }
          grid.data[grid.timeCourseOffset(static_cast<int>(x), static_cast<int>(y),
                                          static_cast<int>(z)) +
                    t] = signalValue(effect[t], levels, g);
        }
  }
  return skipped;
}

}  // namespace tolvane::simulation
