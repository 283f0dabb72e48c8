// The counter-based noise field; conventions in counter_noise.h.
//
// The work is done in batches of kLanes counters, every step a loop over the lanes
// with no branches, so that the compiler can keep the lanes in vector registers.
#include "simulation/counter_noise.h"

#include <Random123/philox.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cmath>

namespace tolvane::simulation {
namespace {

constexpr int kLanes = 16;                       // counters per batch
constexpr int kPairs = 2 * kLanes;               // Box-Muller pairs per batch
constexpr int kBatchDeviates = kLanes * kDeviatesPerCounter;
constexpr int kPhiloxRounds = 10;

constexpr float kTwoToMinus23 = 0x1p-23f;
constexpr float kTwoToMinus24 = 0x1p-24f;
constexpr float kSqrtHalf = 0.70710678118654752f;
// ln 2 split so that e * kLn2High is exact for every exponent that occurs.
constexpr float kLn2High = 0.693359375f;
constexpr float kLn2Low = -2.12194440e-4f;
// One step of angle: (pi / 4) / 2^21, the eighth of a turn divided into 2^21 parts.
constexpr float kAngleStep = 0.78539816339744831f * 0x1p-21f;
constexpr std::uint32_t kEighthTurn = 1u << 21;

// ln u for a normal, positive float u: u = m 2^e with m in [sqrt(1/2), sqrt(2)), taken
// apart exactly from the bits, then ln m = ln(1 + x) by a minimax polynomial in x.
inline float logarithm(float u) {
  // Written with masks rather than conditions, which the vectoriser takes as they are.
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(u);
  const std::uint32_t mantissa = (bits & 0x007fffffu) | 0x3f000000u;  // m in [1/2, 1)
  const std::uint32_t low = 0u - static_cast<std::uint32_t>(std::bit_cast<float>(mantissa) <
                                                            kSqrtHalf);  // all ones if low
  // A low m is doubled (its exponent raised by one) and the exponent of u lowered.
  const float x = std::bit_cast<float>(mantissa + (low & 0x00800000u)) - 1.0f;  // exact
  const int exponent = static_cast<int>(bits >> 23) - 126 + static_cast<int>(low);
  const float z = x * x;
  float p = 7.0376836292e-2f;
  p = p * x - 1.1514610310e-1f;
  p = p * x + 1.1676998740e-1f;
  p = p * x - 1.2420140846e-1f;
  p = p * x + 1.4249322787e-1f;
  p = p * x - 1.6668057665e-1f;
  p = p * x + 2.0000714765e-1f;
  p = p * x - 2.4999993993e-1f;
  p = p * x + 3.3333331174e-1f;
  const float e = static_cast<float>(exponent);
  float y = (p * x) * z;
  y = y + e * kLn2Low;
  y = y - 0.5f * z;
  return (x + y) + e * kLn2High;
}

// sin and cos of psi in [0, pi / 4] by minimax polynomials.
inline float sinePolynomial(float psi) {
  const float z = psi * psi;
  float p = -1.9515295891e-4f;
  p = p * z + 8.3321608736e-3f;
  p = p * z - 1.6666654611e-1f;
  return (p * z) * psi + psi;
}

inline float cosinePolynomial(float psi) {
  const float z = psi * psi;
  float p = 2.443315711809948e-5f;
  p = p * z - 1.388731625493765e-3f;
  p = p * z + 4.166664568298827e-2f;
  return ((p * z) * z - 0.5f * z) + 1.0f;
}

// (cos, sin) of 2 pi k / 2^24. The octant o = k / 2^21 is split off exactly: the angle
// is q pi / 2 + sigma psi with psi in [0, pi / 4], where an even octant gives
// q = o / 2, sigma = +1 and psi its remainder, and an odd one q = (o + 1) / 2,
// sigma = -1 and psi the remainder's distance to the octant's end.
inline void cosSin(std::uint32_t k, float& cosine, float& sine) {
  const std::uint32_t octant = k >> 21;
  const std::uint32_t within = k & (kEighthTurn - 1);
  const bool odd = (octant & 1u) != 0;
  const std::uint32_t steps = odd ? kEighthTurn - within : within;
  const std::uint32_t quadrant = ((octant + 1) >> 1) & 3u;
  const float psi = static_cast<float>(steps) * kAngleStep;
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
  return static_cast<float>(word >> 9) * kTwoToMinus23 + kTwoToMinus24;
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
    const auto at = [&](std::uint32_t (&words)[kLanes]) {
      return reinterpret_cast<__m128i*>(words + lane);
    };
    __m128i c0 = _mm_loadu_si128(at(w0)), c1 = _mm_loadu_si128(at(w1));
    __m128i c2 = _mm_loadu_si128(at(w2)), c3 = _mm_loadu_si128(at(w3));
    std::uint32_t k0 = key.seed, k1 = key.run;
    for (int round = 0; round < kPhiloxRounds; ++round) {
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
  for (int round = 0; round < kPhiloxRounds; ++round) {
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

// The deviates of kLanes successive counters of one voxel, starting at time block
// firstBlock, in time order. A second version for processors with AVX2 is chosen at
// run time, with the lanes in wider registers; it has no fused multiply-add (AVX2
// does not bring it), so both give the same bits.
__attribute__((target_clones("avx2", "default")))
void batchDeviates(const FieldKey& key, std::int64_t voxel, std::uint32_t firstBlock,
                   float* deviates) {
  const auto voxelBits = static_cast<std::uint64_t>(voxel);
  std::uint32_t w0[kLanes], w1[kLanes], w2[kLanes], w3[kLanes];
  for (int lane = 0; lane < kLanes; ++lane) {
    w0[lane] = firstBlock + static_cast<std::uint32_t>(lane);
    w1[lane] = static_cast<std::uint32_t>(voxelBits);
    w2[lane] = static_cast<std::uint32_t>(voxelBits >> 32);
    w3[lane] = key.stream;
  }
  philoxBatch(key, w0, w1, w2, w3);
  // Counter lane l gives the pairs 2l (w0, w1) and 2l + 1 (w2, w3), whose deviates are
  // time points 4l .. 4l + 3.
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

}  // namespace

float fieldLog(float u) { return logarithm(u); }

void fieldCosSin(std::uint32_t k, float* cosine, float* sine) { cosSin(k, *cosine, *sine); }

void fieldDeviates(const FieldKey& key, std::int64_t voxel, int firstTime, int count,
                   float* deviates) {
  float batch[kBatchDeviates];
  int t = firstTime - firstTime % kDeviatesPerCounter;
  const int end = firstTime + count;
  while (t < end) {
    batchDeviates(key, voxel, static_cast<std::uint32_t>(t / kDeviatesPerCounter), batch);
    const int from = std::max(t, firstTime);
    const int to = std::min(t + kBatchDeviates, end);
    std::copy(batch + (from - t), batch + (to - t), deviates + (from - firstTime));
    t += kBatchDeviates;
  }
}

void fillCounterNoise(const VtcGrid& grid, const Levels& levels, const FieldKey& key,
                      std::int64_t firstVoxel, std::int64_t endVoxel) {
  float batch[kBatchDeviates];
  const std::int64_t timePoints = grid.timePoints;
  for (std::int64_t voxel = firstVoxel; voxel < endVoxel; ++voxel) {
    float* course = grid.data + voxel * timePoints;
    for (std::int64_t t = 0; t < timePoints; t += kBatchDeviates) {
      batchDeviates(key, voxel, static_cast<std::uint32_t>(t / kDeviatesPerCounter), batch);
      const std::int64_t count = std::min<std::int64_t>(kBatchDeviates, timePoints - t);
      for (std::int64_t i = 0; i < count; ++i) {
        course[t + i] = levels.noiseAmplitude * batch[i] + levels.baseline;
      }
    }
  }
}

}  // namespace tolvane::simulation
