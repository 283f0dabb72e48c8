// Noise and signal passes; conventions in synthesis.h.
#include "simulation/synthesis.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "numerics/random_state.h"
#include "simulation/line_ring.h"
#include "simulation/run_log.h"

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

// The noise pass draws time point by time point, and stores the values voxel by voxel,
// so that each voxel receives many values side by side. Where the work area allows and
// the processor has AVX2 to transpose with, the deviates go to a ring of time rows
// that writes whole cache lines (line_ring.h); the portable path, collecting a voxel's
// values one by one from the rows of an earlier ring, measured a seventh slower than
// through blocks. Otherwise time points are drawn a block at a time into the work area
// and then stored voxel by voxel: a line of the VTC is then fetched and written about
// once per block instead of once per time point. Blocks of 8 time points measured best
// among 2, 8, 16, 32 and 64 on the default grid. The work area may take
// kWorkAreaFloorBytes + (VTC size) / kWorkAreaShareOfVtc, which keeps a run within
// 1.125 x the VTC plus a fixed amount. The ring takes about 68 bytes a voxel (16 rows
// and a staging row), an eighth of a course of 136 time points; the fixed amount makes
// room for it, and for the blocks, on grids of shorter courses. On grids too large for
// even the blocks, they shrink, and when even a pair does not fit, as many voxels as
// fit are blocked and the values of the rest are written directly. Without the memory
// for its work area, the pass writes every value directly.
constexpr int kBlockTimePoints = 8;
constexpr std::int64_t kWorkAreaFloorBytes = std::int64_t{32} << 20;
constexpr std::int64_t kWorkAreaShareOfVtc = 8;
constexpr std::int64_t kPrefetchDistance = 64;  // voxels

inline float signalValue(float effect, const Levels& levels, float g) {
  return (effect + levels.baseline) + (levels.noiseAmplitude * g);
}

inline float nextDeviate(const DeviateStream& stream) {
  return random::nextDeviate(stream.state, stream.seed);
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

// Stores block rows [0, depth) of the first `voxels` voxels at time points t0, t0 + 1,
// ...: row k holds time point t0 + k of every blocked voxel, voxel v at row[k][v].
void storeTimePointBlock(const VtcGrid& grid, int t0, int depth, const float* rows,
                         std::int64_t rowLength, std::int64_t voxels) {
  const std::int64_t stride = grid.timePoints;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(grid.data + t0);
  const std::uintptr_t prefetchAhead = kPrefetchDistance * stride * sizeof(float);
  for (std::int64_t v = 0; v < voxels; ++v) {
    // The line a few voxels ahead is requested now, so that its latency overlaps with
    // these stores (a prefetch never faults, even past the end).
    const std::uintptr_t address = start + static_cast<std::uintptr_t>(v * stride) * sizeof(float);
    __builtin_prefetch(reinterpret_cast<const void*>(address + prefetchAhead), 1);
    float* course = grid.data + v * stride + t0;
    for (int k = 0; k < depth; ++k) course[k] = rows[k * rowLength + v];
  }
}

// The block depth and the number of blocked voxels for a grid (see kBlockTimePoints).
struct BlockPlan {
  int depth;
  std::int64_t voxels;
};

std::int64_t workAreaBudget(const VtcGrid& grid) {
  const std::int64_t vtcBytes =
      grid.voxelCount() * grid.timePoints * static_cast<std::int64_t>(sizeof(float));
  return kWorkAreaFloorBytes + vtcBytes / kWorkAreaShareOfVtc;
}

BlockPlan planBlocks(const VtcGrid& grid) {
  const std::int64_t voxels = grid.voxelCount();
  const std::int64_t budget = workAreaBudget(grid);
  const std::int64_t rowBytes = voxels * static_cast<std::int64_t>(sizeof(float));
  int depth = std::min(kBlockTimePoints, grid.timePoints);
  while (depth > 2 && depth * rowBytes > budget) depth = std::max(2, depth / 2);
  const std::int64_t fitting = budget / (depth * static_cast<std::int64_t>(sizeof(float)));
  return {depth, std::min(voxels, fitting)};
}

// Fills the VTC through a line ring, when the work area may take one and its memory
// can be had. Returns whether it did.
template <typename Draw>
bool fillThroughLineRing(const VtcGrid& grid, const Draw& draw) {
  const std::int64_t voxels = grid.voxelCount();
  if (LineRing::bytesFor(voxels, grid.timePoints) > workAreaBudget(grid)) return false;
  const LineRing ring(grid.data, voxels, grid.timePoints);
  if (!ring) return false;
  for (int t = 0; t < grid.timePoints; ++t) {
    draw(t, ring.drawRow(t), voxels);
    ring.storeTimePoint(t);
  }
  return true;
}

// Fills the VTC block by block (see kBlockTimePoints).
template <typename Draw>
void fillInBlocks(const VtcGrid& grid, const Draw& draw) {
  BlockPlan plan = planBlocks(grid);
  // Left uninitialised: every element is drawn before it is stored.
  const std::unique_ptr<float[]> workArea(
      new (std::nothrow) float[static_cast<std::size_t>(plan.depth * plan.voxels)]);
  if (!workArea) plan.voxels = 0;
  for (int t0 = 0; t0 < grid.timePoints; t0 += plan.depth) {
    const int depth = std::min(plan.depth, grid.timePoints - t0);
    for (int k = 0; k < depth; ++k) draw(t0 + k, workArea.get() + k * plan.voxels, plan.voxels);
    storeTimePointBlock(grid, t0, depth, workArea.get(), plan.voxels, plan.voxels);
  }
}

}  // namespace

void fillNoise(const VtcGrid& grid, const Levels& levels, const DeviateStream& stream,
               const Progress& progress, cpu::VectorPath path) {
  const std::int64_t stride = grid.timePoints;  // successive voxels lie nT values apart
  const std::int64_t voxels = grid.voxelCount();
  // Each time point's deviates go, in draw order, to the voxels' values at that time
  // point: those of the first rowCount voxels to a row of the work area, the rest
  // straight into the VTC.
  const auto draw = [&](int t, float* row, std::int64_t rowCount) {
    if (progress && t > 0 && t % kProgressInterval == 0) progress(t, grid.timePoints);
    random::fillScaledDeviates(stream.state, stream.seed, static_cast<std::size_t>(rowCount),
                               {row, 1, levels.noiseAmplitude, levels.baseline}, path);
    random::fillScaledDeviates(
        stream.state, stream.seed, static_cast<std::size_t>(voxels - rowCount),
        {grid.data + rowCount * stride + t, stride, levels.noiseAmplitude, levels.baseline}, path);
  };
  if (path == cpu::VectorPath::kPortable || !fillThroughLineRing(grid, draw))
    fillInBlocks(grid, draw);
  if (progress) progress(grid.timePoints, grid.timePoints);
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
    for (int dz = -kSphereRadiusVoxels; dz <= kSphereRadiusVoxels; ++dz)
      for (int dy = -kSphereRadiusVoxels; dy <= kSphereRadiusVoxels; ++dy)
        for (int dx = -kSphereRadiusVoxels; dx <= kSphereRadiusVoxels; ++dx) {
          if (!inSphere(dx, dy, dz)) continue;
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
