// The counter field's steps on the portable and AVX2 paths, shared by the counter field
// (counter_noise.cpp) and its lane streams (lane_streams.cpp): Philox4x32-10 on a batch
// of counters in structure-of-arrays form, and the Box-Muller transform's logarithm,
// sine and cosine, each a loop over the lanes that the compiler keeps in vector
// registers. Conventions in counter_noise.h. For those two files only.
#pragma once

#include <Random123/philox.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstddef>
#include <cstdint>

#include "engine/counter_noise.h"
#include "engine/counter_noise_constants.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine::field_steps {

namespace fc = field_constants;

constexpr int kLanes = 16;  // counters per batch

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
inline void mulHiLo(__m128i value, __m128i multiplier, __m128i& high, __m128i& low) {
  const __m128i even = _mm_mul_epu32(value, multiplier);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(value, 32), multiplier);
  const __m128i lowMask = _mm_set_epi32(0, -1, 0, -1);
  low = _mm_or_si128(_mm_and_si128(even, lowMask), _mm_slli_epi64(odd, 32));
  high = _mm_or_si128(_mm_srli_epi64(even, 32), _mm_andnot_si128(lowMask, odd));
}

inline void philoxBatch(const FieldKey& key, std::uint32_t (&w0)[kLanes], std::uint32_t (&w1)[kLanes],
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
inline void philoxBatch(const FieldKey& key, std::uint32_t (&w0)[kLanes], std::uint32_t (&w1)[kLanes],
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

}  // namespace tolvane::engine::field_steps

#pragma GCC visibility pop
