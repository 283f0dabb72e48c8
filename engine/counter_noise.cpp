// The counter-based noise field; conventions in counter_noise.h.
//
// The portable and AVX2 paths work in batches of kLanes counters, every step a loop
// over the lanes with no branches, so that the compiler can keep the lanes in vector
// registers. The AVX-512 path (counter_noise_avx512.cpp) is written with intrinsics.
#include "engine/counter_noise.h"

#include <Random123/philox.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>

#include "engine/counter_noise_avx512.h"
#include "engine/counter_noise_constants.h"

namespace tolvane::engine {
namespace {

using cpu::VectorPath;

namespace fc = field_constants;

constexpr int kLanes = 16;          // counters per batch
constexpr int kPairs = 2 * kLanes;  // Box-Muller pairs per batch
constexpr int kBatchDeviates = kLanes * kDeviatesPerCounter;

template <std::size_t N>
inline float horner(const float (&coefficients)[N], float x) {
  float p = coefficients[0];
  for (std::size_t i = 1; i < N; ++i) p = p * x + coefficients[i];
  return p;
}

// ln u for a normal, positive float u: u = m 2^e with m in [sqrt(1/2), sqrt(2)), taken
// apart exactly from the bits, then ln m = ln(1 + x) by a minimax polynomial in x.
inline float logarithm(float u) {
  // Written with masks rather than conditions, which the vectoriser takes as they are.
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(u);
  const std::uint32_t mantissa = (bits & 0x007fffffu) | 0x3f000000u;  // m in [1/2, 1)
  const std::uint32_t low = 0u - static_cast<std::uint32_t>(std::bit_cast<float>(mantissa) <
                                                            fc::kSqrtHalf);  // all ones if low
  // A low m is doubled (its exponent raised by one) and the exponent of u lowered.
  const float x = std::bit_cast<float>(mantissa + (low & 0x00800000u)) - 1.0f;  // exact
  const int exponent = static_cast<int>(bits >> 23) - 126 + static_cast<int>(low);
  const float z = x * x;
  const float e = static_cast<float>(exponent);
  float y = (horner(fc::kLogCoefficients, x) * x) * z;
  y = y + e * fc::kLn2Low;
  y = y - 0.5f * z;
  return (x + y) + e * fc::kLn2High;
}

// sin and cos of psi in [0, pi / 4] by minimax polynomials.
inline float sinePolynomial(float psi) {
  const float z = psi * psi;
  return (horner(fc::kSineCoefficients, z) * z) * psi + psi;
}

inline float cosinePolynomial(float psi) {
  const float z = psi * psi;
  return ((horner(fc::kCosineCoefficients, z) * z) * z - 0.5f * z) + 1.0f;
}

// (cos, sin) of 2 pi k / 2^24. The octant o = k / 2^21 is split off exactly: the angle
// is q pi / 2 + sigma psi with psi in [0, pi / 4], where an even octant gives
// q = o / 2, sigma = +1 and psi its remainder, and an odd one q = (o + 1) / 2,
// sigma = -1 and psi the remainder's distance to the octant's end.
inline void cosSin(std::uint32_t k, float& cosine, float& sine) {
  const std::uint32_t octant = k >> 21;
  const std::uint32_t within = k & (fc::kEighthTurn - 1);
  const bool odd = (octant & 1u) != 0;
  const std::uint32_t steps = odd ? fc::kEighthTurn - within : within;
  const std::uint32_t quadrant = ((octant + 1) >> 1) & 3u;
  const float psi = static_cast<float>(steps) * fc::kAngleStep;
  const float c = cosinePolynomial(psi);
  const float s = odd ? -sinePolynomial(psi) : sinePolynomial(psi);
  // cos and sin of q pi / 2 + phi from c = cos phi and s = sin phi.
  const bool swap = (quadrant & 1u) != 0;
  const float first = swap ? s : c;
  const float second = swap ? c : s;
  cosine = (quadrant == 1 || quadrant == 2) ? -first : first;
  sine = (quadrant >= 2) ? -second : second;
}

inline float uniformOf(std::uint32_t word) {
  return static_cast<float>(word >> 9) * fc::kTwoToMinus23 + fc::kTwoToMinus24;
}

// Philox4x32-10 (Random123's constants and round) on kLanes counters at once, in
// structure-of-arrays form. The tests hold the words to r123::Philox4x32's.
#if defined(__SSE2__)
// The 32 x 32 -> 64-bit products in vector registers (SSE2, which every x86-64 has):
// _mm_mul_epu32 multiplies lanes 0 and 2, so the odd lanes are shifted down for a
// second multiply and the halves are interleaved back. Integer arithmetic only, so
// the words are those of the scalar round.
void mulHiLo(__m128i value, __m128i multiplier, __m128i& high, __m128i& low) {
  const __m128i even = _mm_mul_epu32(value, multiplier);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(value, 32), multiplier);
  const __m128i lowMask = _mm_set_epi32(0, -1, 0, -1);
  low = _mm_or_si128(_mm_and_si128(even, lowMask), _mm_slli_epi64(odd, 32));
  high = _mm_or_si128(_mm_srli_epi64(even, 32), _mm_andnot_si128(lowMask, odd));
}

void philoxBatch(const FieldKey& key, std::uint32_t (&w0)[kLanes], std::uint32_t (&w1)[kLanes],
                 std::uint32_t (&w2)[kLanes], std::uint32_t (&w3)[kLanes]) {
  const __m128i multiplier0 = _mm_set1_epi32(static_cast<int>(PHILOX_M4x32_0));
  const __m128i multiplier1 = _mm_set1_epi32(static_cast<int>(PHILOX_M4x32_1));
  for (int lane = 0; lane < kLanes; lane += 4) {
    const auto at = [&](std::uint32_t(&words)[kLanes]) {
      return reinterpret_cast<__m128i*>(words + lane);
    };
    __m128i c0 = _mm_loadu_si128(at(w0)), c1 = _mm_loadu_si128(at(w1));
    __m128i c2 = _mm_loadu_si128(at(w2)), c3 = _mm_loadu_si128(at(w3));
    std::uint32_t k0 = key.seed, k1 = key.run;
    for (int round = 0; round < fc::kPhiloxRounds; ++round) {
      __m128i high0, low0, high1, low1;
      mulHiLo(c0, multiplier0, high0, low0);
      mulHiLo(c2, multiplier1, high1, low1);
      c0 = _mm_xor_si128(_mm_xor_si128(high1, c1), _mm_set1_epi32(static_cast<int>(k0)));
      c1 = low1;
      c2 = _mm_xor_si128(_mm_xor_si128(high0, c3), _mm_set1_epi32(static_cast<int>(k1)));
      c3 = low0;
      k0 += PHILOX_W32_0;
      k1 += PHILOX_W32_1;
    }
    _mm_storeu_si128(at(w0), c0);
    _mm_storeu_si128(at(w1), c1);
    _mm_storeu_si128(at(w2), c2);
    _mm_storeu_si128(at(w3), c3);
  }
}
#else
void philoxBatch(const FieldKey& key, std::uint32_t (&w0)[kLanes], std::uint32_t (&w1)[kLanes],
                 std::uint32_t (&w2)[kLanes], std::uint32_t (&w3)[kLanes]) {
  std::uint32_t k0 = key.seed, k1 = key.run;
  for (int round = 0; round < fc::kPhiloxRounds; ++round) {
    for (int lane = 0; lane < kLanes; ++lane) {
      const std::uint64_t product0 = static_cast<std::uint64_t>(w0[lane]) * PHILOX_M4x32_0;
      const std::uint64_t product1 = static_cast<std::uint64_t>(w2[lane]) * PHILOX_M4x32_1;
      const std::uint32_t next0 = static_cast<std::uint32_t>(product1 >> 32) ^ w1[lane] ^ k0;
      const std::uint32_t next2 = static_cast<std::uint32_t>(product0 >> 32) ^ w3[lane] ^ k1;
      w1[lane] = static_cast<std::uint32_t>(product1);
      w3[lane] = static_cast<std::uint32_t>(product0);
      w0[lane] = next0;
      w2[lane] = next2;
    }
    k0 += PHILOX_W32_0;
    k1 += PHILOX_W32_1;
  }
}
#endif

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
