// The counter field on sixteen lanes of AVX-512: one counter per 32-bit lane through
// the Philox rounds, then one Box-Muller pair per lane for each half of the counter.
// Every floating-point step is the one of the portable path (counter_noise.cpp) in the
// same order, as a separate IEEE multiply, add, subtract, conversion or square root
// (never a fused multiply-add), and the sign and branch choices are bit operations and
// blends; so the floats are the same to the last bit. The lanes hold a voxel's
// counters in an order chosen so that a short shuffle leaves the deviates in time
// order, ready to be stored into the voxel's time course.
#include "engine/counter_noise_avx512.h"

#include <Random123/philox.h>

#include <algorithm>

#include "engine/counter_noise_constants.h"
#include "numerics/vector_path.h"

namespace tolvane::engine {
namespace {

namespace fc = field_constants;

constexpr int kLanes = 16;
constexpr int kBatchDeviates = kLanes * kDeviatesPerCounter;
// Batches computed together when a grid's values are filled or combined with the field.
constexpr int kBatchesPerStep = 2;
constexpr int kSignBit = static_cast<int>(0x80000000u);

// The round keys of Philox for one field key, broadcast to every lane.
struct RoundKeys {
  __m512i first[fc::kPhiloxRounds];
  __m512i second[fc::kPhiloxRounds];
};

TOLVANE_TARGET_AVX512 inline RoundKeys roundKeysOf(const FieldKey& key) {
  RoundKeys keys;
  std::uint32_t k0 = key.seed, k1 = key.run;
  for (int round = 0; round < fc::kPhiloxRounds; ++round) {
    keys.first[round] = _mm512_set1_epi32(static_cast<int>(k0));
    keys.second[round] = _mm512_set1_epi32(static_cast<int>(k1));
    k0 += PHILOX_W32_0;
    k1 += PHILOX_W32_1;
  }
  return keys;
}

// The high and low words of the 32 x 32 -> 64-bit products value * multiplier.
// _mm512_mul_epu32 multiplies the even lanes into 64-bit lanes, so the odd lanes are
// shifted down for a second multiply; each lane's word is then picked from the
// product that holds it (an even lane's high word sits one lane up).
TOLVANE_TARGET_AVX512 inline void multiply(__m512i value, __m512i multiplier, __m512i& high,
                                           __m512i& low) {
  const __m512i even = _mm512_mul_epu32(value, multiplier);
  const __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(value, 32), multiplier);
  high = _mm512_mask_shuffle_epi32(odd, 0x5555, even, _MM_PERM_CDAB);
  low = _mm512_mask_shuffle_epi32(even, 0xAAAA, odd, _MM_PERM_CDAB);
}

// Philox4x32-10 on n batches of sixteen counters (w0[l], w1[l], w2[l], w3[l]), in place.
// The batches' rounds are interleaved, so that each round's multiplies overlap the
// latency of the others.
template <int n>
TOLVANE_TARGET_AVX512 inline void philox(const RoundKeys& keys, __m512i (&w0)[n], __m512i (&w1)[n],
                                         __m512i (&w2)[n], __m512i (&w3)[n]) {
  const __m512i multiplier0 = _mm512_set1_epi32(static_cast<int>(PHILOX_M4x32_0));
  const __m512i multiplier1 = _mm512_set1_epi32(static_cast<int>(PHILOX_M4x32_1));
  constexpr int kXorOfThree = 0x96;
  for (int round = 0; round < fc::kPhiloxRounds; ++round) {
    for (int b = 0; b < n; ++b) {
      __m512i high0, low0, high1, low1;
      multiply(w0[b], multiplier0, high0, low0);
      multiply(w2[b], multiplier1, high1, low1);
      w0[b] = _mm512_ternarylogic_epi32(high1, w1[b], keys.first[round], kXorOfThree);
      w1[b] = low1;
      w2[b] = _mm512_ternarylogic_epi32(high0, w3[b], keys.second[round], kXorOfThree);
      w3[b] = low0;
    }
  }
}

TOLVANE_TARGET_AVX512 inline __m512 mul(__m512 a, __m512 b) { return _mm512_mul_ps(a, b); }
TOLVANE_TARGET_AVX512 inline __m512 add(__m512 a, __m512 b) { return _mm512_add_ps(a, b); }
TOLVANE_TARGET_AVX512 inline __m512 sub(__m512 a, __m512 b) { return _mm512_sub_ps(a, b); }
TOLVANE_TARGET_AVX512 inline __m512 broadcast(float value) { return _mm512_set1_ps(value); }

template <std::size_t N>
TOLVANE_TARGET_AVX512 inline __m512 horner(const float (&coefficients)[N], __m512 x) {
  __m512 p = broadcast(coefficients[0]);
  for (std::size_t i = 1; i < N; ++i) p = add(mul(p, x), broadcast(coefficients[i]));
  return p;
}

// sqrt(-2 ln u) for the uniform u of each lane's word.
TOLVANE_TARGET_AVX512 inline __m512 radiusOf(__m512i word) {
  const __m512 u =
      add(mul(_mm512_cvtepi32_ps(_mm512_srli_epi32(word, 9)), broadcast(fc::kTwoToMinus23)),
          broadcast(fc::kTwoToMinus24));
  const __m512i bits = _mm512_castps_si512(u);
  constexpr int kAndOr = 0xEA;  // (a & b) | c
  const __m512i mantissa = _mm512_ternarylogic_epi32(bits, _mm512_set1_epi32(0x007fffff),
                                                     _mm512_set1_epi32(0x3f000000), kAndOr);
  const __mmask16 low =
      _mm512_cmp_ps_mask(_mm512_castsi512_ps(mantissa), broadcast(fc::kSqrtHalf), _CMP_LT_OQ);
  const __m512i reduced =
      _mm512_mask_add_epi32(mantissa, low, mantissa, _mm512_set1_epi32(0x00800000));
  const __m512 x = sub(_mm512_castsi512_ps(reduced), broadcast(1.0f));
  // u and its reduced mantissa differ in the exponent field alone, by e.
  const __m512 e = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_sub_epi32(bits, reduced), 23));
  const __m512 z = mul(x, x);
  __m512 y = mul(mul(horner(fc::kLogCoefficients, x), x), z);
  y = add(y, mul(e, broadcast(fc::kLn2Low)));
  y = sub(y, mul(broadcast(0.5f), z));
  const __m512 logarithm = add(add(x, y), mul(e, broadcast(fc::kLn2High)));
  return _mm512_sqrt_ps(mul(broadcast(-2.0f), logarithm));
}

// (cos, sin) of 2 pi (w >> 8) / 2^24 for each lane's word w, by the octant reduction
// of the portable path. The octant's bits o2 o1 o0 are the word's top three, and the
// signs that path applies one after another combine into one flip each: with the sine
// polynomial taken unsigned, an odd quadrant (o1 ^ o0) swaps the two values, the
// cosine is negated when o2 ^ o1 and the sine when o2.
TOLVANE_TARGET_AVX512 inline void cosSinOf(__m512i word, __m512& cosine, __m512& sine) {
  const __m512i within =
      _mm512_and_si512(_mm512_srli_epi32(word, 8), _mm512_set1_epi32(fc::kEighthTurn - 1));
  const __mmask16 odd = _mm512_test_epi32_mask(word, _mm512_set1_epi32(1 << 29));
  const __m512i steps = _mm512_mask_sub_epi32(
      within, odd, _mm512_set1_epi32(static_cast<int>(fc::kEighthTurn)), within);
  const __m512 psi = mul(_mm512_cvtepi32_ps(steps), broadcast(fc::kAngleStep));
  const __m512 z = mul(psi, psi);
  const __m512 c =
      add(sub(mul(mul(horner(fc::kCosineCoefficients, z), z), z), mul(broadcast(0.5f), z)),
          broadcast(1.0f));
  const __m512 s = add(mul(mul(horner(fc::kSineCoefficients, z), z), psi), psi);
  // Bit 31 of adjacent is o2 ^ o1, bit 30 o1 ^ o0.
  const __m512i adjacent = _mm512_xor_si512(word, _mm512_slli_epi32(word, 1));
  const __mmask16 swap = _mm512_test_epi32_mask(adjacent, _mm512_set1_epi32(1 << 30));
  const __m512i signBit = _mm512_set1_epi32(kSignBit);
  constexpr int kXorMasked = 0x78;  // a ^ (b & c)
  cosine = _mm512_castsi512_ps(_mm512_ternarylogic_epi32(
      _mm512_castps_si512(_mm512_mask_blend_ps(swap, c, s)), adjacent, signBit, kXorMasked));
  sine = _mm512_castsi512_ps(_mm512_ternarylogic_epi32(
      _mm512_castps_si512(_mm512_mask_blend_ps(swap, s, c)), word, signBit, kXorMasked));
}

// The 64 deviates of one voxel's counters firstBlock .. firstBlock + 15, as four
// vectors of 16 successive time points. Lane 4i + j holds counter 4j + i: after the
// deviates of each lane are interleaved within 128-bit quarters, vector j then holds
// counters 4j .. 4j + 3 in order.
struct Deviates {
  __m512 v[kDeviatesPerCounter];
};

TOLVANE_TARGET_AVX512 inline Deviates timeOrdered(__m512 g0, __m512 g1, __m512 g2, __m512 g3) {
  const __m512d low01 = _mm512_castps_pd(_mm512_unpacklo_ps(g0, g1));
  const __m512d low23 = _mm512_castps_pd(_mm512_unpacklo_ps(g2, g3));
  const __m512d high01 = _mm512_castps_pd(_mm512_unpackhi_ps(g0, g1));
  const __m512d high23 = _mm512_castps_pd(_mm512_unpackhi_ps(g2, g3));
  return {{_mm512_castpd_ps(_mm512_unpacklo_pd(low01, low23)),
           _mm512_castpd_ps(_mm512_unpackhi_pd(low01, low23)),
           _mm512_castpd_ps(_mm512_unpacklo_pd(high01, high23)),
           _mm512_castpd_ps(_mm512_unpackhi_pd(high01, high23))}};
}

// The Box-Muller pairs of a batch of sixteen counters: (r0 cos a1, r0 sin a1) from words
// w0 and w1, (r2 cos a3, r2 sin a3) from w2 and w3, lane by lane.
struct Pairs {
  __m512 cosine1, sine1, cosine3, sine3;
};

// The pairs of n batches of counters (w0, w1, w2, stream), in place of the counters.
template <int n>
TOLVANE_TARGET_AVX512 inline void pairsOfCounters(const RoundKeys& keys, __m512i (&w0)[n],
                                                  __m512i (&w1)[n], __m512i (&w2)[n],
                                                  __m512i stream, Pairs (&out)[n]) {
  __m512i w3[n];
  for (int b = 0; b < n; ++b) w3[b] = stream;
  philox(keys, w0, w1, w2, w3);
  for (int b = 0; b < n; ++b) {
    __m512 cosine1, sine1, cosine3, sine3;
    cosSinOf(w1[b], cosine1, sine1);
    cosSinOf(w3[b], cosine3, sine3);
    const __m512 radius0 = radiusOf(w0[b]), radius2 = radiusOf(w2[b]);
    out[b] = {mul(radius0, cosine1), mul(radius0, sine1), mul(radius2, cosine3),
              mul(radius2, sine3)};
  }
}

// The deviates of n successive batches of one voxel from counter firstBlock on. Lane
// 4i + j takes counter 4j + i of a batch (see Deviates).
template <int n>
TOLVANE_TARGET_AVX512 inline void deviatesOf(const RoundKeys& keys, __m512i voxelLow,
                                             __m512i voxelHigh, __m512i stream,
                                             std::uint32_t firstBlock, Deviates (&out)[n]) {
  const __m512i laneCounter = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13,  //
                                                2, 6, 10, 14, 3, 7, 11, 15);
  __m512i w0[n], w1[n], w2[n];
  for (int b = 0; b < n; ++b) {
    const auto block = firstBlock + static_cast<std::uint32_t>(kLanes * b);
    w0[b] = _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(block)), laneCounter);
    w1[b] = voxelLow;
    w2[b] = voxelHigh;
  }
  Pairs pairs[n];
  pairsOfCounters(keys, w0, w1, w2, stream, pairs);
  for (int b = 0; b < n; ++b)
    out[b] = timeOrdered(pairs[b].cosine1, pairs[b].sine1, pairs[b].cosine3, pairs[b].sine3);
}

// Time block `block` of n batches of sixteen successive voxels, batch b's from
// firstVoxels[b] on, lane i holding voxel firstVoxels[b] + i; the voxel index's low word
// carries into its high word.
template <int n>
TOLVANE_TARGET_AVX512 inline void voxelPairsOf(const RoundKeys& keys,
                                               const std::int64_t (&firstVoxels)[n],
                                               __m512i stream, std::uint32_t block,
                                               Pairs (&out)[n]) {
  const __m512i laneVoxel = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m512i w0[n], w1[n], w2[n];
  for (int b = 0; b < n; ++b) {
    const auto first = static_cast<std::uint64_t>(firstVoxels[b]);
    const __m512i low = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(first)));
    const __m512i high = _mm512_set1_epi32(static_cast<int>(first >> 32));
    w1[b] = _mm512_add_epi32(low, laneVoxel);
    w2[b] = _mm512_mask_add_epi32(high, _mm512_cmplt_epu32_mask(w1[b], low), high,
                                  _mm512_set1_epi32(1));
    w0[b] = _mm512_set1_epi32(static_cast<int>(block));
  }
  pairsOfCounters(keys, w0, w1, w2, stream, out);
}

// Stores a pair's two parts times each lane's scale as one lane block: the sixteen real
// parts, then the sixteen imaginary ones; lanes outside `lanes` are set to 0.
TOLVANE_TARGET_AVX512 inline void storeScaledBlock(__m512 real, __m512 imaginary, __m512 scale,
                                                   __mmask16 lanes, float* out) {
  _mm512_storeu_ps(out, _mm512_maskz_mul_ps(lanes, real, scale));
  _mm512_storeu_ps(out + kLanes, _mm512_maskz_mul_ps(lanes, imaginary, scale));
}

TOLVANE_TARGET_AVX512 inline __m512i voxelWord(std::int64_t voxel, int shift) {
  return _mm512_set1_epi32(static_cast<int>(static_cast<std::uint64_t>(voxel) >> shift));
}

// What a voxel's deviates g do to its time course's values x, lane by lane, in the
// portable path's order: fill it (x = (s g) + b), add them (x + (s g)), or take the
// magnitude (sqrt((x x) + ((s g) (s g)))). Only a fill leaves the values unread.
struct Fill {
  static constexpr bool kReadsCourse = false;
  __m512 amplitude, baseline;
  TOLVANE_TARGET_AVX512 __m512 operator()(__m512, __m512 g) const {
    return add(mul(amplitude, g), baseline);
  }
};
struct Add {
  static constexpr bool kReadsCourse = true;
  __m512 scale;
  TOLVANE_TARGET_AVX512 __m512 operator()(__m512 x, __m512 g) const {
    return add(x, mul(scale, g));
  }
};
struct Magnitude {
  static constexpr bool kReadsCourse = true;
  __m512 scale;
  TOLVANE_TARGET_AVX512 __m512 operator()(__m512 x, __m512 g) const {
    const __m512 imaginary = mul(scale, g);
    return _mm512_sqrt_ps(add(mul(x, x), mul(imaginary, imaginary)));
  }
};

// course[t] <- combine(course[t], g(t)) for t = 0 .. timePoints - 1 of one voxel's field,
// two batches of counters at a time (enough independent work to hide the latency of the
// Philox multiplies and of the polynomials' chains); the last step reads and writes only
// the time points the course has.
template <typename Combine>
TOLVANE_TARGET_AVX512 inline void combineWithCourse(const RoundKeys& keys, const FieldKey& key,
                                                    std::int64_t voxel, float* course,
                                                    int timePoints, const Combine& combine) {
  const __m512i stream = _mm512_set1_epi32(static_cast<int>(key.stream));
  const __m512i voxelLow = voxelWord(voxel, 0), voxelHigh = voxelWord(voxel, 32);
  for (int t = 0; t < timePoints; t += kBatchesPerStep * kBatchDeviates) {
    Deviates batches[kBatchesPerStep];
    deviatesOf(keys, voxelLow, voxelHigh, stream,
               static_cast<std::uint32_t>(t / kDeviatesPerCounter), batches);
    int left = timePoints - t;
    for (int i = 0; i < kBatchesPerStep * kDeviatesPerCounter && left > 0; ++i) {
      const auto mask = static_cast<__mmask16>(left >= kLanes ? 0xffffu : (1u << left) - 1u);
      float* const at = course + t + kLanes * i;
      const __m512 x = Combine::kReadsCourse ? _mm512_maskz_loadu_ps(mask, at) : broadcast(0.0f);
      const __m512 value = combine(x, batches[i / kDeviatesPerCounter].v[i % kDeviatesPerCounter]);
      _mm512_mask_storeu_ps(at, mask, value);
      left -= kLanes;
    }
  }
}

// Leaves the deviates themselves.
struct Store {
  static constexpr bool kReadsCourse = false;
  TOLVANE_TARGET_AVX512 __m512 operator()(__m512, __m512 g) const { return g; }
};

// One step of the sixteen xoshiro128+ streams (counter_noise.h): the words, then the
// next state.
struct StreamState {
  __m512i s0, s1, s2, s3;
};

TOLVANE_TARGET_AVX512 inline __m512i nextWords(StreamState& s) {
  const __m512i word = _mm512_add_epi32(s.s0, s.s3);
  const __m512i t = _mm512_slli_epi32(s.s1, 9);
  s.s2 = _mm512_xor_si512(s.s2, s.s0);
  s.s3 = _mm512_xor_si512(s.s3, s.s1);
  s.s1 = _mm512_xor_si512(s.s1, s.s2);
  s.s0 = _mm512_xor_si512(s.s0, s.s3);
  s.s2 = _mm512_xor_si512(s.s2, t);
  s.s3 = _mm512_rol_epi32(s.s3, 11);
  return word;
}

// The streams of one voxel: seeded by its counters (l, voxel low, voxel high, stream).
TOLVANE_TARGET_AVX512 inline StreamState voxelStreamsOf(const RoundKeys& keys, const FieldKey& key,
                                                        std::int64_t voxel) {
  __m512i w0[1] = {_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)};
  __m512i w1[1] = {voxelWord(voxel, 0)}, w2[1] = {voxelWord(voxel, 32)};
  __m512i w3[1] = {_mm512_set1_epi32(static_cast<int>(key.stream))};
  philox(keys, w0, w1, w2, w3);
  constexpr int kOrOfThree = 0xFE;
  const __mmask16 zero = _mm512_testn_epi32_mask(
      _mm512_or_si512(_mm512_ternarylogic_epi32(w0[0], w1[0], w2[0], kOrOfThree), w3[0]),
      _mm512_set1_epi32(-1));
  return {_mm512_mask_mov_epi32(w0[0], zero, _mm512_set1_epi32(1)), w1[0], w2[0], w3[0]};
}

// course[t] <- combine(course[t], g(t)) for every time point of one voxel's stream
// deviates g, 32 at a time (the cosines of one step, then its sines); the last step reads
// and writes only the time points the course has.
template <typename Combine>
TOLVANE_TARGET_AVX512 inline void combineWithStreams(const RoundKeys& keys, const FieldKey& key,
                                                     std::int64_t voxel, float* course,
                                                     int timePoints, const Combine& combine) {
  StreamState streams = voxelStreamsOf(keys, key, voxel);
  for (int t = 0; t < timePoints; t += 2 * kLanes) {
    const __m512i radiusWord = nextWords(streams);
    const __m512i angleWord = nextWords(streams);
    __m512 cosine, sine;
    cosSinOf(angleWord, cosine, sine);
    const __m512 radius = radiusOf(radiusWord);
    const __m512 deviates[2] = {mul(radius, cosine), mul(radius, sine)};
    int left = timePoints - t;
    for (int half = 0; half < 2 && left > 0; ++half, left -= kLanes) {
      const auto mask = static_cast<__mmask16>(left >= kLanes ? 0xffffu : (1u << left) - 1u);
      float* const at = course + t + kLanes * half;
      const __m512 x = Combine::kReadsCourse ? _mm512_maskz_loadu_ps(mask, at) : broadcast(0.0f);
      _mm512_mask_storeu_ps(at, mask, combine(x, deviates[half]));
    }
  }
}

}  // namespace

TOLVANE_TARGET_AVX512
void batchDeviatesAvx512(const FieldKey& key, std::int64_t voxel, std::uint32_t firstBlock,
                         float* deviates) {
  Deviates batch[1];
  deviatesOf(roundKeysOf(key), voxelWord(voxel, 0), voxelWord(voxel, 32),
             _mm512_set1_epi32(static_cast<int>(key.stream)), firstBlock, batch);
  for (int j = 0; j < kDeviatesPerCounter; ++j) {
    _mm512_storeu_ps(deviates + kLanes * j, batch[0].v[j]);
  }
}

TOLVANE_TARGET_AVX512
void fillCounterNoiseAvx512(const VtcGrid& grid, const Levels& levels, const FieldKey& key,
                            std::int64_t firstVoxel, std::int64_t endVoxel) {
  const Fill fill{broadcast(levels.noiseAmplitude), broadcast(levels.baseline)};
  const RoundKeys keys = roundKeysOf(key);
  for (std::int64_t voxel = firstVoxel; voxel < endVoxel; ++voxel)
    combineWithCourse(keys, key, voxel, grid.data + voxel * grid.timePoints, grid.timePoints, fill);
}

TOLVANE_TARGET_AVX512
void voxelStreamDeviatesAvx512(const FieldKey& key, std::int64_t voxel, int timePoints,
                               float* deviates) {
  combineWithStreams(roundKeysOf(key), key, voxel, deviates, timePoints, Store{});
}

TOLVANE_TARGET_AVX512
void addStreamNoiseAvx512(float* course, std::int64_t voxel, int timePoints, float scale,
                          const FieldKey& key) {
  combineWithStreams(roundKeysOf(key), key, voxel, course, timePoints, Add{broadcast(scale)});
}

TOLVANE_TARGET_AVX512
void magnitudeWithStreamNoiseAvx512(float* course, std::int64_t voxel, int timePoints,
                                    float scale, const FieldKey& key) {
  combineWithStreams(roundKeysOf(key), key, voxel, course, timePoints,
                     Magnitude{broadcast(scale)});
}

TOLVANE_TARGET_AVX512
void voxelDeviatesByLaneAvx512(const FieldKey& key, std::int64_t firstVoxel, int count,
                               std::uint32_t timeBlock, float* deviates) {
  const std::int64_t firstVoxels[kBatchesPerStep] = {firstVoxel, firstVoxel + kLanes};
  Pairs pairs[kBatchesPerStep];
  voxelPairsOf(roundKeysOf(key), firstVoxels, _mm512_set1_epi32(static_cast<int>(key.stream)),
               timeBlock, pairs);
  static_assert(kBatchesPerStep * kLanes == kVoxelsByLane);
  for (int b = 0; b < kBatchesPerStep; ++b) {
    const int lanes = std::clamp(count - b * kLanes, 0, kLanes);
    const auto mask = static_cast<__mmask16>((1u << lanes) - 1u);
    const __m512 values[kDeviatesPerCounter] = {pairs[b].cosine1, pairs[b].sine1, pairs[b].cosine3,
                                                pairs[b].sine3};
    for (int i = 0; i < kDeviatesPerCounter; ++i)
      _mm512_storeu_ps(deviates + i * kVoxelsByLane + b * kLanes,
                       _mm512_maskz_mov_ps(mask, values[i]));
  }
}

TOLVANE_TARGET_AVX512
void scaledStreamPairsAvx512(LaneStreams& streams, int rows, int lanes, const float* scale,
                             std::size_t pitch, float* first, float* second) {
  StreamState s{_mm512_load_si512(streams.state[0]), _mm512_load_si512(streams.state[1]),
                _mm512_load_si512(streams.state[2]), _mm512_load_si512(streams.state[3])};
  const auto mask = static_cast<__mmask16>(lanes >= kLanes ? 0xffffu : (1u << lanes) - 1u);
  for (int r = 0; r < rows; ++r) {
    __m512i words[kDeviatesPerCounter];
    for (__m512i& word : words) word = nextWords(s);
    __m512 cosine1, sine1, cosine3, sine3;
    cosSinOf(words[1], cosine1, sine1);
    cosSinOf(words[3], cosine3, sine3);
    const __m512 radius0 = radiusOf(words[0]), radius2 = radiusOf(words[2]);
    const __m512 factors = _mm512_maskz_loadu_ps(mask, scale + r * kLanes);
    storeScaledBlock(mul(radius0, cosine1), mul(radius0, sine1), factors, mask, first + r * pitch);
    storeScaledBlock(mul(radius2, cosine3), mul(radius2, sine3), factors, mask, second + r * pitch);
  }
  _mm512_store_si512(streams.state[0], s.s0);
  _mm512_store_si512(streams.state[1], s.s1);
  _mm512_store_si512(streams.state[2], s.s2);
  _mm512_store_si512(streams.state[3], s.s3);
}

}  // namespace tolvane::engine
