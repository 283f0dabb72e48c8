// The Gaussian smoothing passes as the fused pipeline (noise_models.cpp) drives them;
// conventions in smoothing.h.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/smoothing.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// Shapes the time courses of a chunk of voxels laid out as a grid of their own; the
// chunk's voxel i is grid voxel first + i * step.
using ChunkShaper =
    std::function<void(const VtcGrid& chunk, std::int64_t first, std::int64_t step)>;

// Smooths the field of `key` (or, without a key, the values in the grid) with the
// kernels, at least one of which has more than one tap. Slice by slice, blocks of time
// points are smoothed along x and y while they are in the cache; then, when there is a
// pass along z, column by column, the pass along z and `shape` (when given) run on the
// column while it is at hand. Returns whether the columns were shaped: without a pass
// along z they are not, and the caller shapes the smoothed grid.
bool smoothAndShapeColumns(const VtcGrid& grid, const FieldKey* key,
                           const SmoothingKernels& kernels, const ChunkShaper* shape,
                           const ParallelFor& parallel);

}  // namespace tolvane::engine

#pragma GCC visibility pop
