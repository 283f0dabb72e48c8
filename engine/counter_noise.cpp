// The counter-based noise field; conventions in counter_noise.h.
//
// The portable and AVX2 paths work in batches of kLanes counters, every step a loop
// over the lanes with no branches (counter_noise_steps.h), so that the compiler can keep
// the lanes in vector registers. The AVX-512 path (counter_noise_avx512.cpp) is written
// with intrinsics. The lane streams are in lane_streams.cpp.
#include "engine/counter_noise.h"

#include <algorithm>
#include <cmath>

#include "engine/counter_noise_avx512.h"
#include "engine/counter_noise_steps.h"

namespace tolvane::engine {
namespace {

using cpu::VectorPath;
using namespace field_steps;

constexpr int kPairs = 2 * kLanes;  // Box-Muller pairs per batch
constexpr int kBatchDeviates = kLanes * kDeviatesPerCounter;

// The deviates of kLanes counters, lane l's being (firstBlock + l * blockStep,
// voxel + l * voxelStep): successive time blocks of one voxel (steps 1, 0), or one time
// block of successive voxels (steps 0, 1). Compiled twice below: as it is, and for AVX2
// with the lanes in wider registers; AVX2 brings no fused multiply-add, so both give the
// same bits.
[[gnu::always_inline]] inline void batchDeviates(const FieldKey& key, std::int64_t voxel,
                                                 std::uint32_t firstBlock, std::uint32_t blockStep,
                                                 std::uint32_t voxelStep, float* deviates) {
  std::uint32_t w0[kLanes], w1[kLanes], w2[kLanes], w3[kLanes];
  for (int lane = 0; lane < kLanes; ++lane) {
    const auto lanes = static_cast<std::uint32_t>(lane);
    const auto voxelBits = static_cast<std::uint64_t>(voxel) + lanes * voxelStep;
    w0[lane] = firstBlock + lanes * blockStep;
    w1[lane] = static_cast<std::uint32_t>(voxelBits);
    w2[lane] = static_cast<std::uint32_t>(voxelBits >> 32);
    w3[lane] = key.stream;
  }
  philoxBatch(key, w0, w1, w2, w3);
  // Counter lane l gives the pairs 2l (w0, w1) and 2l + 1 (w2, w3), whose deviates are
  // deviates 4l .. 4l + 3: time points of one voxel, or the four of voxel l.
  std::uint32_t radiusWord[kPairs], angleWord[kPairs];
  for (int lane = 0; lane < kLanes; ++lane) {
    radiusWord[2 * lane] = w0[lane];
    radiusWord[2 * lane + 1] = w2[lane];
    angleWord[2 * lane] = w1[lane];
    angleWord[2 * lane + 1] = w3[lane];
  }
  float radius[kPairs];
  for (int p = 0; p < kPairs; ++p) {
    radius[p] = std::sqrt(-2.0f * logarithm(uniformOf(radiusWord[p])));
  }
  for (int p = 0; p < kPairs; ++p) {
    float cosine, sine;
    cosSin(angleWord[p] >> 8, cosine, sine);
    deviates[2 * p] = radius[p] * cosine;
    deviates[2 * p + 1] = radius[p] * sine;
  }
}

void batchDeviatesPortable(const FieldKey& key, std::int64_t voxel, std::uint32_t firstBlock,
                           float* deviates) {
  batchDeviates(key, voxel, firstBlock, 1, 0, deviates);
}

TOLVANE_TARGET_AVX2
void batchDeviatesAvx2(const FieldKey& key, std::int64_t voxel, std::uint32_t firstBlock,
                       float* deviates) {
  batchDeviates(key, voxel, firstBlock, 1, 0, deviates);
}

void voxelsBatchPortable(const FieldKey& key, std::int64_t firstVoxel, std::uint32_t timeBlock,
                         float* deviates) {
  batchDeviates(key, firstVoxel, timeBlock, 0, 1, deviates);
}

TOLVANE_TARGET_AVX2
void voxelsBatchAvx2(const FieldKey& key, std::int64_t firstVoxel, std::uint32_t timeBlock,
                     float* deviates) {
  batchDeviates(key, firstVoxel, timeBlock, 0, 1, deviates);
}

using BatchDeviates = void (*)(const FieldKey&, std::int64_t, std::uint32_t, float*);

BatchDeviates batchDeviatesOn(VectorPath path) {
  switch (path) {
    case VectorPath::kAvx512:
      return batchDeviatesAvx512;
    case VectorPath::kAvx2:
      return batchDeviatesAvx2;
    case VectorPath::kPortable:
      break;
  }
  return batchDeviatesPortable;
}

}  // namespace

float fieldLog(float u) { return logarithm(u); }

void fieldCosSin(std::uint32_t k, float* cosine, float* sine) { cosSin(k, *cosine, *sine); }

void fieldDeviates(const FieldKey& key, std::int64_t voxel, int firstTime, int count,
                   float* deviates, VectorPath path) {
  const BatchDeviates batchDeviatesHere = batchDeviatesOn(path);
  float batch[kBatchDeviates];
  int t = firstTime - firstTime % kDeviatesPerCounter;
  const int end = firstTime + count;
  while (t < end) {
    batchDeviatesHere(key, voxel, static_cast<std::uint32_t>(t / kDeviatesPerCounter), batch);
    const int from = std::max(t, firstTime);
    const int to = std::min(t + kBatchDeviates, end);
    std::copy(batch + (from - t), batch + (to - t), deviates + (from - firstTime));
    t += kBatchDeviates;
  }
}

void voxelDeviatesByLane(const FieldKey& key, std::int64_t firstVoxel, int count,
                         std::uint32_t timeBlock, float* deviates, VectorPath path) {
  if (path == VectorPath::kAvx512) {
    voxelDeviatesByLaneAvx512(key, firstVoxel, count, timeBlock, deviates);
    return;
  }
  const BatchDeviates voxelsBatch =
      path == VectorPath::kAvx2 ? voxelsBatchAvx2 : voxelsBatchPortable;
  float batch[kBatchDeviates];
  for (int done = 0; done < kVoxelsByLane; done += kLanes) {
    voxelsBatch(key, firstVoxel + done, timeBlock, batch);
    for (int j = 0; j < kLanes; ++j)
      for (int i = 0; i < kDeviatesPerCounter; ++i)
        deviates[i * kVoxelsByLane + done + j] =
            done + j < count ? batch[kDeviatesPerCounter * j + i] : 0.0f;
  }
}

void fillCounterNoise(const VtcGrid& grid, const Levels& levels, const FieldKey& key,
                      std::int64_t firstVoxel, std::int64_t endVoxel, VectorPath path) {
  if (path == VectorPath::kAvx512) {
    fillCounterNoiseAvx512(grid, levels, key, firstVoxel, endVoxel);
    return;
  }
  const BatchDeviates batchDeviatesHere = batchDeviatesOn(path);
  float batch[kBatchDeviates];
  const std::int64_t timePoints = grid.timePoints;
  for (std::int64_t voxel = firstVoxel; voxel < endVoxel; ++voxel) {
    float* course = grid.data + voxel * timePoints;
    for (std::int64_t t = 0; t < timePoints; t += kBatchDeviates) {
      batchDeviatesHere(key, voxel, static_cast<std::uint32_t>(t / kDeviatesPerCounter), batch);
      const std::int64_t count = std::min<std::int64_t>(kBatchDeviates, timePoints - t);
      for (std::int64_t i = 0; i < count; ++i) {
        course[t + i] = levels.noiseAmplitude * batch[i] + levels.baseline;
      }
    }
  }
}

}  // namespace tolvane::engine
