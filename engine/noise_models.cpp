// The fused structured-noise pipeline; conventions in noise_models.h.
//
// Each model lives in its own file; this one decides the order in which the grid's
// values pass through them, so that each voxel's values pass through the cache as few
// times as possible.
#include "engine/noise_models.h"

#include <algorithm>
#include <vector>

#include "engine/smoothing_passes.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

void scaleToLevels(const VtcGrid& chunk, const Levels& levels) {
  const std::int64_t count = chunk.voxelCount() * chunk.timePoints;
  for (std::int64_t i = 0; i < count; ++i)
    chunk.data[i] = levels.noiseAmplitude * chunk.data[i] + levels.baseline;
}

// Steps 3 to 5 with per-voxel levels, on a chunk of time courses of unit variance (chunk
// voxel i is grid voxel first + i * step): each step over the whole chunk in turn, which
// leaves every value's operations in their order.
void putOnVoxelLevels(const VtcGrid& chunk, const TimeCourseModels& models, const FieldKey& key,
                      std::int64_t first, std::int64_t step) {
  const VoxelLevels& levels = *models.voxelLevels;
  const int nT = chunk.timePoints;
  const std::int64_t voxels = chunk.voxelCount();
  onWidestVectors([&]() TOLVANE_VECTOR_BODY {
    for (std::int64_t i = 0; i < voxels; ++i) {
      const float b = levels.baseline[first + i * step], f = levels.fluctuationSd[first + i * step];
      float* course = chunk.data + i * nT;
      for (int t = 0; t < nT; ++t) course[t] = f * course[t] + b;
    }
  });
  if (levels.physiologicalSd != nullptr && models.physio != nullptr)
    models.physio->addToCourses(chunk.data, voxels, first, step, levels.physiologicalSd);
  // A level of 0 adds nothing, so it is skipped.
  if (levels.thermalSd != 0.0f)
    for (std::int64_t i = 0; i < voxels; ++i)
      addThermalNoise(chunk.data + i * nT, first + i * step, nT, levels.thermalSd, key);
}

// The steps that act on each voxel's time course alone (2 to 6), on a chunk of voxels
// laid out as a grid of their own; the chunk's voxel i is grid voxel first + i * step,
// which picks its levels and its streams' values.
void shapeChunk(const VtcGrid& chunk, const TimeCourseModels& models, const FieldKey& key,
                std::int64_t first, std::int64_t step) {
  const int nT = chunk.timePoints;
  const std::int64_t voxels = chunk.voxelCount();
  const bool perVoxel = models.voxelLevels != nullptr;
  if (models.spectrum != nullptr) {
    models.spectrum->apply(chunk.data, voxels, perVoxel ? kStandardNormal : models.levels);
  } else if (models.arma != nullptr) {
    std::vector<float> starts;
    if (models.arma->q > 0) {
      starts.resize(static_cast<std::size_t>(voxels));
      for (std::int64_t i = 0; i < voxels; ++i)
        fieldDeviates({key.seed, key.run, kArmaStartStream}, first + i * step, 0, 1, &starts[i]);
    }
    applyArma(*models.arma, chunk.data, voxels, nT, starts.data(),
              perVoxel ? kStandardNormal : models.levels);
  } else if (models.autoregressive) {
    autoregressAndScale(chunk, models.rho, perVoxel ? kStandardNormal : models.levels);
  } else if (!perVoxel) {
    scaleToLevels(chunk, models.levels);
  }
  if (perVoxel) putOnVoxelLevels(chunk, models, key, first, step);
  if (models.drift != nullptr) {
    // With per-voxel levels the drift is the head's, like the physiological noise: the
    // air outside a brain mask holds thermal noise only.
    addDrift(chunk, *models.drift, models.driftSd, {key.seed, key.run, kDriftStream}, first, step,
             runSerially, cpu::preferredVectorPath(),
             perVoxel ? models.voxelLevels->inside : nullptr);
  }
}

// A chunk of `count` voxels whose time courses lie one after another at `data`.
VtcGrid chunkGrid(float* data, std::int64_t count, int timePoints) {
  return {data, static_cast<int>(count), 1, 1, timePoints, 0, 0, 0, 1};
}

// Asks for `count` floats from `values` on to be brought into the cache. A field made
// beforehand (the mixed one) has left the grid in memory: while one chunk is shaped,
// the next chunk's courses are on their way, instead of each read waiting on memory.
void prefetchForWriting(const float* values, std::int64_t count) {
  constexpr std::int64_t kFloatsPerLine = 64 / sizeof(float);
  for (std::int64_t i = 0; i < count; i += kFloatsPerLine) __builtin_prefetch(values + i, 1, 3);
}

// The time-course steps over the whole grid, a few neighbouring voxels at a time; with
// `white`, their counter field is written first, right before they are shaped.
void shapeTimeCourses(const VtcGrid& grid, const TimeCourseModels& models, const FieldKey& key,
                      bool white, const ParallelFor& parallel) {
  // 64 voxels of 250 time points are 64 KB: their courses stay in the second-level cache
  // from the field's writing to the drift's.
  constexpr std::int64_t kVoxelsAtOnce = 64;
  const std::int64_t nT = grid.timePoints;
  parallel(grid.voxelCount(), [&](std::int64_t begin, std::int64_t end) {
    for (std::int64_t first = begin; first < end; first += kVoxelsAtOnce) {
      const std::int64_t last = std::min(end, first + kVoxelsAtOnce);
      if (white) {
        fillCounterNoise(grid, kStandardNormal, key, first, last);
      } else {
        prefetchForWriting(grid.data + last * nT, (std::min(end, last + kVoxelsAtOnce) - last) * nT);
      }
      shapeChunk(chunkGrid(grid.data + first * nT, last - first, grid.timePoints), models, key,
                 first, 1);
    }
  });
}

}  // namespace

void runSerially(std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body) {
  if (count > 0) body(0, count);
}

void makeStructuredNoise(const VtcGrid& grid, const FieldKey& key, const SpatialModel& space,
                         const TimeCourseModels& models, const ParallelFor& parallel) {
  if (space.mixed != nullptr) {
    // Levels alone are put on as the field is written, saving a pass over the run.
    const bool levelsOnly = !models.autoregressive && models.arma == nullptr &&
                            models.spectrum == nullptr && models.voxelLevels == nullptr &&
                            models.drift == nullptr;
    space.mixed->fill(grid, key, levelsOnly ? models.levels : kStandardNormal, parallel);
    if (!levelsOnly) shapeTimeCourses(grid, models, key, false, parallel);
    return;
  }
  const bool smooth =
      std::any_of(space.kernels.begin(), space.kernels.end(),
                  [](const SmoothingKernel& kernel) { return kernel.radius() > 0; });
  if (!smooth) {
    shapeTimeCourses(grid, models, key, true, parallel);
    return;
  }
  const ChunkShaper shape = [&](const VtcGrid& chunk, std::int64_t first, std::int64_t step) {
    shapeChunk(chunk, models, key, first, step);
  };
  if (!smoothAndShapeColumns(grid, &key, space.kernels, &shape, parallel))
    shapeTimeCourses(grid, models, key, false, parallel);
}

}  // namespace tolvane::engine
