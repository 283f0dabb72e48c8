// The counter field on the AVX-512 path; conventions in counter_noise.h. Call these
// only when cpu::avx512Available() says so.
#pragma once

#include <cstdint>

#include "engine/counter_noise.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The 64 deviates of the 16 counters of one voxel from time block firstBlock on, in
// time order.
void batchDeviatesAvx512(const FieldKey& key, std::int64_t voxel, std::uint32_t firstBlock,
                         float* deviates);

// voxelDeviatesByLane on this path.
void voxelDeviatesByLaneAvx512(const FieldKey& key, std::int64_t firstVoxel, int count,
                               std::uint32_t timeBlock, float* deviates);

// scaledStreamPairs on this path.
void scaledStreamPairsAvx512(LaneStreams& streams, int rows, int lanes, const float* scale,
                             std::size_t pitch, float* first, float* second);

// fillCounterNoise on this path.
void fillCounterNoiseAvx512(const VtcGrid& grid, const Levels& levels, const FieldKey& key,
                            std::int64_t firstVoxel, std::int64_t endVoxel);

// voxelStreamDeviates on this path.
void voxelStreamDeviatesAvx512(const FieldKey& key, std::int64_t voxel, int timePoints,
                               float* deviates);

// addStreamNoise on this path.
void addStreamNoiseAvx512(float* course, std::int64_t voxel, int timePoints, float scale,
                          const FieldKey& key);

// magnitudeWithStreamNoise on this path.
void magnitudeWithStreamNoiseAvx512(float* course, std::int64_t voxel, int timePoints,
                                    float scale, const FieldKey& key);

}  // namespace tolvane::engine

#pragma GCC visibility pop
