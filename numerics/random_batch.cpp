// Batched Gaussian deviates: the gasdev sequence, value for value, for the noise pass
// that draws tens of millions of them.
//
// One gasdev call per value spends its time on a long serial dependency (each step of
// the congruential generator divides, and each shuffle output picks the slot of the
// next), on a mispredicted branch for every rejected pair, and on calls. Here the
// work is split by what depends on what:
//  * the serial chain only steps the generator and the shuffle table, with a
//    division-free modular reduction, and stores the raw shuffle outputs;
//  * while it runs, the same loop takes the logarithms of the previous chunk's
//    accepted pairs, which do not depend on it, so the processor overlaps the two;
//  * the shuffle outputs become uniforms, points and squared radii two at a time in
//    vector registers, and the accepted pairs are kept without branches;
//  * square roots, divisions and the strided stores follow in loops of their own.
// Every operation rounds exactly as in ran1 and gasdev (the vector instructions are
// the same IEEE operations), so the values and the state left behind are identical.
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "numerics/random_state.h"

namespace tolvane::random {

namespace {

constexpr std::size_t kPairsPerChunk = 2048;

// The shuffled generator, held in locals while a batch runs.
struct ShuffledGenerator {
  int value;                // the caller's seed variable
  std::uint32_t previous;   // positive here, so the slot is a plain shift
  int* table;

  std::uint32_t next() {
    value = foldedCongruentialStep(value);
    const std::uint32_t slot = previous / kTableDivisor;
    previous = static_cast<std::uint32_t>(table[slot]);
    table[slot] = value;
    return previous;
  }
};

// Pairs inside the unit circle, in draw order, on their way to becoming deviates.
struct PolarPairs {
  float x[kPairsPerChunk];
  float y[kPairsPerChunk];
  float r[kPairsPerChunk];
  double logR[kPairsPerChunk];  // ln r, from the mathematics library
  float scale[kPairsPerChunk];  // sqrt(-2 ln r / r)
  std::size_t count = 0;
};

// 0 < r < 1. r is a sum of squares, never negative or NaN, so its bit pattern orders
// like its value.
inline bool insideUnitCircle(float r) {
  std::uint32_t bits;
  std::memcpy(&bits, &r, sizeof bits);
  return bits - 1u < 0x3F7FFFFFu;
}

// Appends the point of one pair of uniforms, and counts it when it is accepted.
inline void keepPair(float u1, float u2, PolarPairs& pairs) {
  const float x = static_cast<float>(2.0 * static_cast<double>(u1) - 1.0);
  const float y = static_cast<float>(2.0 * static_cast<double>(u2) - 1.0);
  const float r = x * x + y * y;
  pairs.x[pairs.count] = x;
  pairs.y[pairs.count] = y;
  pairs.r[pairs.count] = r;
  pairs.count += static_cast<std::size_t>(insideUnitCircle(r));
}

// keepPair for pairCount pairs of raw shuffle outputs, the uniforms and points made
// two lanes at a time.
void keepAcceptedPairs(const std::uint32_t* shuffled, std::size_t pairCount, PolarPairs& pairs) {
  const __m128d scale = _mm_set1_pd(kScale);
  const __m128d limit = _mm_set1_pd(kUpperLimit);
  const __m128d largest = _mm_set1_pd(static_cast<double>(kLargestUniform));
  const __m128d one = _mm_set1_pd(1.0);
  pairs.count = 0;
  for (std::size_t i = 0; i < pairCount; ++i) {
    const __m128i raw = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(shuffled + 2 * i));
    const __m128 u = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(raw), scale));
    __m128d wide = _mm_cvtps_pd(u);
    const __m128d above = _mm_cmpgt_pd(wide, limit);
    wide = _mm_or_pd(_mm_and_pd(above, largest), _mm_andnot_pd(above, wide));
    const __m128 xy = _mm_cvtpd_ps(_mm_sub_pd(_mm_add_pd(wide, wide), one));
    const __m128 squares = _mm_mul_ps(xy, xy);
    const float r = _mm_cvtss_f32(_mm_add_ss(squares, _mm_shuffle_ps(squares, squares, 1)));
    pairs.x[pairs.count] = _mm_cvtss_f32(xy);
    pairs.y[pairs.count] = _mm_cvtss_f32(_mm_shuffle_ps(xy, xy, 1));
    pairs.r[pairs.count] = r;
    pairs.count += static_cast<std::size_t>(insideUnitCircle(r));
  }
}

// Takes the logarithms of pairs [from, pairs.count).
void takeLogarithms(PolarPairs& pairs, std::size_t from) {
  for (std::size_t i = from; i < pairs.count; ++i)
    pairs.logR[i] = std::log(static_cast<double>(pairs.r[i]));
}

// The rest of polarScale, two values at a time.
void computeScales(PolarPairs& pairs) {
  const __m128d minusTwo = _mm_set1_pd(-2.0);
  std::size_t i = 0;
  for (; i + 2 <= pairs.count; i += 2) {
    const __m128d wide = _mm_cvtps_pd(
        _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pairs.r[i]))));
    const __m128d logR = _mm_loadu_pd(&pairs.logR[i]);
    const __m128d scale = _mm_sqrt_pd(_mm_div_pd(_mm_mul_pd(logR, minusTwo), wide));
    _mm_storel_pi(reinterpret_cast<__m64*>(&pairs.scale[i]), _mm_cvtpd_ps(scale));
  }
  for (; i < pairs.count; ++i) {
    const double wide = static_cast<double>(pairs.r[i]);
    pairs.scale[i] = static_cast<float>(std::sqrt(pairs.logR[i] * -2.0 / wide));
  }
}

// Stores deviates where the caller wants them, and keeps the last one of an odd count.
class DeviateSink {
 public:
  DeviateSink(const ScaledOutput& output, std::size_t count, GeneratorState& state)
      : next_(output.first), stride_(output.stride), scale_(output.scale),
        offset_(output.offset), left_(count), state_(state) {}

  std::size_t left() const { return left_; }

  void store(float g) {
    *next_ = scale_ * g + offset_;
    next_ += stride_;
    --left_;
  }

  // Both deviates of each pair: y * scale first, then x * scale.
  void storePairs(PolarPairs& pairs) {
    computeScales(pairs);
    for (std::size_t i = 0; i < pairs.count; ++i) {
      const float fac = pairs.scale[i];
      store(pairs.y[i] * fac);
      if (left_ == 0) {
        state_.pendingDeviate = pairs.x[i] * fac;
        state_.deviatePending = true;
        return;
      }
      store(pairs.x[i] * fac);
    }
  }

 private:
  float* next_;
  std::ptrdiff_t stride_;
  float scale_, offset_;
  std::size_t left_;
  GeneratorState& state_;
};

}  // namespace

void fillScaledDeviates(GeneratorState& state, int* seed, std::size_t count,
                        const ScaledOutput& output) {
  DeviateSink sink(output, count, state);
  // The fast path needs a seeded table, no pending deviate and a generator value in
  // 1 .. 2^31 - 2, which every step then keeps; anything else goes the plain way.
  while (sink.left() > 0 && (state.deviatePending || state.previous == 0 || *seed <= 0 ||
                             *seed >= kModulus))
    sink.store(nextDeviate(state, seed));
  if (sink.left() == 0) return;

  std::size_t pairsLeft = (sink.left() + 1) / 2;
  ShuffledGenerator generator{*seed, static_cast<std::uint32_t>(state.previous), state.table};
  PolarPairs chunks[2];
  PolarPairs* drawing = &chunks[0];
  PolarPairs* finishing = &chunks[1];
  std::uint32_t shuffled[2 * kPairsPerChunk];

  // Whole chunks of drawn pairs while they cannot give more accepted pairs than needed.
  while (pairsLeft >= kPairsPerChunk) {
    std::size_t logged = 0;
    for (std::size_t k = 0; k < 2 * kPairsPerChunk; k += 2) {
      shuffled[k] = generator.next();
      shuffled[k + 1] = generator.next();
      if (logged < finishing->count) {
        finishing->logR[logged] = std::log(static_cast<double>(finishing->r[logged]));
        ++logged;
      }
    }
    takeLogarithms(*finishing, logged);
    sink.storePairs(*finishing);
    keepAcceptedPairs(shuffled, kPairsPerChunk, *drawing);
    pairsLeft -= drawing->count;
    std::swap(drawing, finishing);
  }

  // The rest pair by pair, drawing exactly as many uniforms as gasdev would.
  std::size_t logged = 0;
  drawing->count = 0;
  while (drawing->count < pairsLeft) {
    const float u1 = scaledUniform(static_cast<int>(generator.next()));
    const float u2 = scaledUniform(static_cast<int>(generator.next()));
    keepPair(u1, u2, *drawing);
    if (logged < finishing->count) {
      finishing->logR[logged] = std::log(static_cast<double>(finishing->r[logged]));
      ++logged;
    }
  }
  takeLogarithms(*finishing, logged);
  sink.storePairs(*finishing);
  takeLogarithms(*drawing, 0);
  sink.storePairs(*drawing);

  *seed = generator.value;
  state.previous = static_cast<int>(generator.previous);
}

}  // namespace tolvane::random
