// The lane and voxel streams of the counter field (counter_noise.h), on the portable and
// AVX2 paths; the AVX-512 path is in counter_noise_avx512.cpp.
#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/counter_noise.h"
#include "engine/counter_noise_avx512.h"
#include "engine/counter_noise_steps.h"

namespace tolvane::engine {

using cpu::VectorPath;
using namespace field_steps;

namespace {

// Streams seeded by the counters (c0[l], c1[l], c2[l], key.stream) of each lane l.
LaneStreams streamsOfCounters(const FieldKey& key, const std::uint32_t (&c0)[kLanes],
                              const std::uint32_t (&c1)[kLanes],
                              const std::uint32_t (&c2)[kLanes]) {
  LaneStreams streams;
  std::uint32_t(&s)[4][kLanes] = streams.state;
  for (int lane = 0; lane < kLanes; ++lane) {
    s[0][lane] = c0[lane];
    s[1][lane] = c1[lane];
    s[2][lane] = c2[lane];
    s[3][lane] = key.stream;
  }
  philoxBatch(key, s[0], s[1], s[2], s[3]);
  for (int lane = 0; lane < kLanes; ++lane)
    s[0][lane] |= static_cast<std::uint32_t>((s[0][lane] | s[1][lane] | s[2][lane] | s[3][lane]) == 0);
  return streams;
}

// One step of the sixteen xoshiro128+ streams, lane by lane.
[[gnu::always_inline]] inline void nextWords(std::uint32_t (&s0)[kLanes], std::uint32_t (&s1)[kLanes],
                                             std::uint32_t (&s2)[kLanes], std::uint32_t (&s3)[kLanes],
                                             std::uint32_t (&word)[kLanes]) {
  for (int lane = 0; lane < kLanes; ++lane) {
    word[lane] = s0[lane] + s3[lane];
    const std::uint32_t t = s1[lane] << 9;
    s2[lane] ^= s0[lane];
    s3[lane] ^= s1[lane];
    s1[lane] ^= s2[lane];
    s0[lane] ^= s3[lane];
    s2[lane] ^= t;
    s3[lane] = std::rotl(s3[lane], 11);
  }
}

// The Box-Muller pair of each lane's words: cosine parts into out[0 .. 15], sine parts
// into out[16 .. 31].
[[gnu::always_inline]] inline void pairsOfWords(const std::uint32_t (&radiusWord)[kLanes],
                                                const std::uint32_t (&angleWord)[kLanes],
                                                float (&out)[2 * kLanes]) {
  for (int lane = 0; lane < kLanes; ++lane) {
    const float radius = std::sqrt(-2.0f * logarithm(uniformOf(radiusWord[lane])));
    float cosine, sine;
    cosSin(angleWord[lane] >> 8, cosine, sine);
    out[lane] = radius * cosine;
    out[kLanes + lane] = radius * sine;
  }
}

LaneStreams voxelStreamsOf(const FieldKey& key, std::int64_t voxel) {
  std::uint32_t lanes[kLanes], low[kLanes], high[kLanes];
  const auto bits = static_cast<std::uint64_t>(voxel);
  for (int lane = 0; lane < kLanes; ++lane) {
    lanes[lane] = static_cast<std::uint32_t>(lane);
    low[lane] = static_cast<std::uint32_t>(bits);
    high[lane] = static_cast<std::uint32_t>(bits >> 32);
  }
  return streamsOfCounters(key, lanes, low, high);
}

// consume(t, g, count) for each 32 time points t .. t + count - 1 of the voxel's stream
// deviates g, on the portable and AVX2 paths.
template <typename Consume>
[[gnu::always_inline]] inline void voxelStreams(const FieldKey& key, std::int64_t voxel,
                                                int timePoints, const Consume& consume) {
  LaneStreams streams = voxelStreamsOf(key, voxel);
  std::uint32_t(&s)[4][kLanes] = streams.state;
  for (int t = 0; t < timePoints; t += 2 * kLanes) {
    std::uint32_t radiusWord[kLanes], angleWord[kLanes];
    nextWords(s[0], s[1], s[2], s[3], radiusWord);
    nextWords(s[0], s[1], s[2], s[3], angleWord);
    float deviates[2 * kLanes];
    pairsOfWords(radiusWord, angleWord, deviates);
    consume(t, deviates, std::min(2 * kLanes, timePoints - t));
  }
}

}  // namespace

LaneStreams laneStreamsOf(const FieldKey& key, std::uint32_t timeBlock, std::uint32_t laneBlock) {
  std::uint32_t blocks[kLanes], columns[kLanes], lanes[kLanes];
  for (int lane = 0; lane < kLanes; ++lane) {
    blocks[lane] = timeBlock;
    columns[lane] = laneBlock;
    lanes[lane] = static_cast<std::uint32_t>(lane);
  }
  return streamsOfCounters(key, blocks, columns, lanes);
}

namespace {

// scaledStreamPairs on the portable and AVX2 paths: each step a loop over the lanes.
[[gnu::always_inline]] inline void streamPairs(LaneStreams& streams, int rows, int lanes,
                                               const float* scale, std::size_t pitch,
                                               float* first, float* second) {
  std::uint32_t s0[kLanes], s1[kLanes], s2[kLanes], s3[kLanes];
  for (int lane = 0; lane < kLanes; ++lane) {
    s0[lane] = streams.state[0][lane];
    s1[lane] = streams.state[1][lane];
    s2[lane] = streams.state[2][lane];
    s3[lane] = streams.state[3][lane];
  }
  for (int r = 0; r < rows; ++r) {
    std::uint32_t words[kDeviatesPerCounter][kLanes];
    for (auto& word : words) nextWords(s0, s1, s2, s3, word);
    float* const out[2] = {first + r * pitch, second + r * pitch};
    for (int half = 0; half < 2; ++half) {
      float pairs[2 * kLanes];
      pairsOfWords(words[2 * half], words[2 * half + 1], pairs);
      for (int lane = 0; lane < kLanes; ++lane) {
        const float s = lane < lanes ? scale[r * kLanes + lane] : 0.0f;
        out[half][lane] = lane < lanes ? pairs[lane] * s : 0.0f;
        out[half][kLanes + lane] = lane < lanes ? pairs[kLanes + lane] * s : 0.0f;
      }
    }
  }
  for (int lane = 0; lane < kLanes; ++lane) {
    streams.state[0][lane] = s0[lane];
    streams.state[1][lane] = s1[lane];
    streams.state[2][lane] = s2[lane];
    streams.state[3][lane] = s3[lane];
  }
}

void streamPairsPortable(LaneStreams& streams, int rows, int lanes, const float* scale,
                         std::size_t pitch, float* first, float* second) {
  streamPairs(streams, rows, lanes, scale, pitch, first, second);
}

TOLVANE_TARGET_AVX2
void streamPairsAvx2(LaneStreams& streams, int rows, int lanes, const float* scale,
                     std::size_t pitch, float* first, float* second) {
  streamPairs(streams, rows, lanes, scale, pitch, first, second);
}

}  // namespace

void scaledStreamPairs(LaneStreams& streams, int rows, int lanes, const float* scale,
                       std::size_t pitch, float* first, float* second, VectorPath path) {
  switch (path) {
    case VectorPath::kAvx512:
      scaledStreamPairsAvx512(streams, rows, lanes, scale, pitch, first, second);
      return;
    case VectorPath::kAvx2:
      streamPairsAvx2(streams, rows, lanes, scale, pitch, first, second);
      return;
    case VectorPath::kPortable:
      break;
  }
  streamPairsPortable(streams, rows, lanes, scale, pitch, first, second);
}

namespace {

void voxelStreamDeviatesPortable(const FieldKey& key, std::int64_t voxel, int timePoints,
                                 float* deviates) {
  voxelStreams(key, voxel, timePoints, [deviates](int t, const float* g, int count) {
    std::copy(g, g + count, deviates + t);
  });
}

TOLVANE_TARGET_AVX2
void voxelStreamDeviatesAvx2(const FieldKey& key, std::int64_t voxel, int timePoints,
                             float* deviates) {
  voxelStreams(key, voxel, timePoints, [deviates](int t, const float* g, int count) {
    std::copy(g, g + count, deviates + t);
  });
}

// What the thermal channels do to a course's value x with deviate g and sd `scale`.
struct AddScaled {
  float scale;
  float operator()(float x, float g) const { return x + scale * g; }
};
struct MagnitudeWithScaled {
  float scale;
  float operator()(float x, float g) const {
    const float imaginary = scale * g;
    return std::sqrt(x * x + imaginary * imaginary);
  }
};

// course[t] <- combine(course[t], g(t)) for every time point, 32 at a time; compiled below
// as it is and for AVX2.
template <typename Combine>
[[gnu::always_inline]] inline void combineWithStreams(float* course, std::int64_t voxel,
                                                      int timePoints, const FieldKey& key,
                                                      const Combine& combine) {
  voxelStreams(key, voxel, timePoints, [&](int t, const float* g, int count) {
    for (int i = 0; i < count; ++i) course[t + i] = combine(course[t + i], g[i]);
  });
}

template <typename Combine>
void combineWithStreamsPortable(float* course, std::int64_t voxel, int timePoints,
                                const FieldKey& key, const Combine& combine) {
  combineWithStreams(course, voxel, timePoints, key, combine);
}

template <typename Combine>
TOLVANE_TARGET_AVX2 void combineWithStreamsAvx2(float* course, std::int64_t voxel,
                                                int timePoints, const FieldKey& key,
                                                const Combine& combine) {
  combineWithStreams(course, voxel, timePoints, key, combine);
}

}  // namespace

void voxelStreamDeviates(const FieldKey& key, std::int64_t voxel, int timePoints,
                         float* deviates, VectorPath path) {
  switch (path) {
    case VectorPath::kAvx512:
      voxelStreamDeviatesAvx512(key, voxel, timePoints, deviates);
      return;
    case VectorPath::kAvx2:
      voxelStreamDeviatesAvx2(key, voxel, timePoints, deviates);
      return;
    case VectorPath::kPortable:
      break;
  }
  voxelStreamDeviatesPortable(key, voxel, timePoints, deviates);
}

void addStreamNoise(float* course, std::int64_t voxel, int timePoints, float scale,
                    const FieldKey& key, VectorPath path) {
  if (path == VectorPath::kAvx512) {
    addStreamNoiseAvx512(course, voxel, timePoints, scale, key);
    return;
  }
  if (path == VectorPath::kAvx2) {
    combineWithStreamsAvx2(course, voxel, timePoints, key, AddScaled{scale});
    return;
  }
  combineWithStreamsPortable(course, voxel, timePoints, key, AddScaled{scale});
}

void magnitudeWithStreamNoise(float* course, std::int64_t voxel, int timePoints, float scale,
                              const FieldKey& key, VectorPath path) {
  if (path == VectorPath::kAvx512) {
    magnitudeWithStreamNoiseAvx512(course, voxel, timePoints, scale, key);
    return;
  }
  if (path == VectorPath::kAvx2) {
    combineWithStreamsAvx2(course, voxel, timePoints, key, MagnitudeWithScaled{scale});
    return;
  }
  combineWithStreamsPortable(course, voxel, timePoints, key, MagnitudeWithScaled{scale});
}

}  // namespace tolvane::engine
