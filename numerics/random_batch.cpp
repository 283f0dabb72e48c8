// Batched Gaussian deviates: the gasdev sequence, value for value, for the noise pass
// that draws tens of millions of them.
//
// One gasdev call per value spends its time on a long serial dependency (each step of
// the congruential generator divides, and each shuffle output picks the slot of the
// next), on a mispredicted branch for every rejected pair, and on calls. Here the
// work is split by what depends on what:
//  * the generator's values, which do not depend on the shuffle, are computed ahead
//    in interleaved sequences, with a division-free modular reduction (on the wide
//    paths in vector registers);
//  * the serial chain only walks the shuffle table and stores the raw outputs;
//  * the shuffle outputs become uniforms, points and squared radii several at a time
//    in vector registers, and the accepted pairs are kept without branches;
//  * the scale factors come from polarScales, polarScale's floats without library
//    calls, and the deviates are stored in loops of their own.
// Every operation rounds exactly as in ran1 and gasdev (the vector instructions are
// the same IEEE operations), so the values and the state left behind are identical.
// The vector stages exist for SSE2, AVX2 and AVX-512 (vector_path.h).
#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "numerics/polar_scale.h"
#include "numerics/random_state.h"
#include "numerics/vector_path.h"

namespace tolvane::random {

namespace {

constexpr std::size_t kPairsPerVector = 8;        // in the widest vectors
constexpr std::size_t kPairsPerChunk = 2048;      // a multiple of kPairsPerVector
constexpr std::size_t kVectorSpill = 8;           // room for a whole vector at the end
constexpr std::ptrdiff_t kPrefetchDistance = 64;  // stores ahead

// 16807^n mod (2^31 - 1): the multiplier that steps a generator value n places on.
constexpr std::uint64_t multiplierPower(int n) {
  std::uint64_t power = 1;
  for (int i = 0; i < n; ++i) power = power * kMultiplier % kModulus;
  return power;
}

constexpr int kGeneratorLanes = 32;  // interleaved sequences in the generator's stage
constexpr std::uint64_t kLaneStep = multiplierPower(kGeneratorLanes);

// The generator values that follow `value` (1 .. 2^31 - 2), into out, count of them
// rounded up to a multiple of kGeneratorLanes; returns the count-th. The generator
// does not depend on the shuffle, so its values are computed ahead of the serial
// chain, in kGeneratorLanes interleaved sequences that each step kGeneratorLanes
// places at a time.
int generatePortable(int value, int* out, std::size_t count) {
  int lanes[kGeneratorLanes];
  for (int& lane : lanes) lane = value = foldedCongruentialStep(value);
  for (std::size_t n = 0; n < count; n += kGeneratorLanes) {
    for (int i = 0; i < kGeneratorLanes; ++i) {
      out[n + i] = lanes[i];
      lanes[i] = foldedProduct<kLaneStep>(lanes[i]);
    }
  }
  return out[count - 1];
}

// foldedProduct<kLaneStep> on four 64-bit lanes.
TOLVANE_TARGET_AVX2 inline __m256i laneStepAvx2(__m256i s) {
  const __m256i modulus = _mm256_set1_epi64x(kModulus);
  const __m256i product = _mm256_mul_epu32(s, _mm256_set1_epi64x(kLaneStep));
  const __m256i folded =
      _mm256_add_epi64(_mm256_and_si256(product, modulus), _mm256_srli_epi64(product, 31));
  return _mm256_sub_epi64(
      folded,
      _mm256_and_si256(_mm256_cmpgt_epi64(folded, _mm256_set1_epi64x(kModulus - 1)), modulus));
}

// generatePortable in vector registers, four lanes to a register.
TOLVANE_TARGET_AVX2 int generateAvx2(int value, int* out, std::size_t count) {
  constexpr int kRegisters = kGeneratorLanes / 4;
  alignas(32) std::int64_t first[kGeneratorLanes];
  for (std::int64_t& lane : first) lane = value = foldedCongruentialStep(value);
  __m256i lanes[kRegisters];
  for (int i = 0; i < kRegisters; ++i)
    lanes[i] = _mm256_load_si256(reinterpret_cast<const __m256i*>(first + 4 * i));
  const __m256i inOrder = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (std::size_t n = 0; n < count; n += kGeneratorLanes) {
#pragma GCC unroll 8
    for (int i = 0; i < kRegisters; i += 2) {
      // One register's values in the even 32-bit elements, the next one's in the odd
      // ones, then in order.
      const __m256i interleaved =
          _mm256_blend_epi32(lanes[i], _mm256_slli_epi64(lanes[i + 1], 32), 0xAA);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n + 4 * i),
                          _mm256_permutevar8x32_epi32(interleaved, inOrder));
      lanes[i] = laneStepAvx2(lanes[i]);
      lanes[i + 1] = laneStepAvx2(lanes[i + 1]);
    }
  }
  return out[count - 1];
}

// The shuffled generator, held in locals while a batch runs.
struct ShuffledGenerator {
  int value;               // the caller's seed variable
  std::uint32_t previous;  // positive here, so the slot is a plain shift
  int* table;

  std::uint32_t next() {
    value = foldedCongruentialStep(value);
    const std::uint32_t slot = previous / kTableDivisor;
    previous = static_cast<std::uint32_t>(table[slot]);
    table[slot] = value;
    return previous;
  }

  // Draws 2 * pairs shuffle outputs into out (pairs <= kPairsPerChunk). Same outputs
  // and state as 2 * pairs calls of next(), with a shorter serial chain: the
  // generator's values are computed beforehand, and the slot each table entry picks is
  // kept beside the table, so that the chain from one output to the next is one load.
  void drawPairs(std::uint32_t* out, std::size_t pairs, cpu::VectorPath path) {
    static_assert(2 * kPairsPerChunk % kGeneratorLanes == 0);
    int generated[2 * kPairsPerChunk];
    const std::size_t outputs = 2 * pairs;
    value = path == cpu::VectorPath::kPortable ? generatePortable(value, generated, outputs)
                                               : generateAvx2(value, generated, outputs);
    std::uint32_t slotOf[kShuffleTableSize];
    for (int j = 0; j < kShuffleTableSize; ++j)
      slotOf[j] = static_cast<std::uint32_t>(table[j]) / kTableDivisor;
    std::uint32_t slot = previous / kTableDivisor;
    for (std::size_t n = 0; n < outputs; ++n) {
      const std::uint32_t taken = slot;
      slot = slotOf[taken];
      out[n] = static_cast<std::uint32_t>(table[taken]);
      table[taken] = generated[n];
      slotOf[taken] = static_cast<std::uint32_t>(generated[n]) / kTableDivisor;
    }
    previous = out[outputs - 1];
  }
};

// Pairs inside the unit circle, in draw order, on their way to becoming deviates.
struct PolarPairs {
  float x[kPairsPerChunk + kVectorSpill];
  float y[kPairsPerChunk + kVectorSpill];
  float r[kPairsPerChunk + kVectorSpill];
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

// keepPair for pairCount (even) pairs of raw shuffle outputs, two pairs at a time.
// The rounding steps are those of ran1 and gasdev: the product with the scale in
// double, rounded to float; the limit on the largest uniform, which for a float u is
// min(u, 1 - 2^-23); and 2u - 1, which float arithmetic rounds exactly as double
// arithmetic followed by one rounding would (the difference is exact in double).
void keepAcceptedPairs(const std::uint32_t* shuffled, std::size_t pairCount, PolarPairs& pairs) {
  const __m128d scale = _mm_set1_pd(kScale);
  const __m128 largest = _mm_set1_ps(kLargestUniform);
  const __m128 one = _mm_set1_ps(1.0f);
  alignas(16) float points[4];
  alignas(16) float radii[4];
  std::size_t kept = 0;  // in a register: the stores below must not wait for it
  for (std::size_t i = 0; i < pairCount; i += 2) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shuffled + 2 * i));
    const __m128 low = _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(raw), scale));
    const __m128 high =
        _mm_cvtpd_ps(_mm_mul_pd(_mm_cvtepi32_pd(_mm_unpackhi_epi64(raw, raw)), scale));
    const __m128 u = _mm_min_ps(_mm_movelh_ps(low, high), largest);
    const __m128 xy = _mm_sub_ps(_mm_add_ps(u, u), one);  // x0 y0 x1 y1
    const __m128 squares = _mm_mul_ps(xy, xy);
    _mm_store_ps(points, xy);
    _mm_store_ps(radii,
                 _mm_add_ps(squares, _mm_shuffle_ps(squares, squares, _MM_SHUFFLE(2, 3, 0, 1))));
    for (int pair = 0; pair < 2; ++pair) {
      const float r = radii[2 * pair];
      pairs.x[kept] = points[2 * pair];
      pairs.y[kept] = points[2 * pair + 1];
      pairs.r[kept] = r;
      kept += static_cast<std::size_t>(insideUnitCircle(r));
    }
  }
  pairs.count = kept;
}

// For each 8-bit mask, the lanes whose bits are set, in order: the permutation that
// packs a vector's accepted lanes at its start.
constexpr auto kPackingOrder = [] {
  std::array<std::array<std::uint8_t, 8>, 256> order{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned packed = 0;
    for (std::uint8_t lane = 0; lane < 8; ++lane)
      if ((mask >> lane) & 1u) order[mask][packed++] = lane;
  }
  return order;
}();

// The points of four pairs of raw shuffle outputs, x y x y x y x y, rounded as in
// keepAcceptedPairs.
TOLVANE_TARGET_AVX512 inline __m256 fourPoints(const std::uint32_t* raw) {
  const __m256i integers = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(raw));
  const __m256 u = _mm256_min_ps(
      _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_cvtepi32_pd(integers), _mm512_set1_pd(kScale))),
      _mm256_set1_ps(kLargestUniform));
  return _mm256_sub_ps(_mm256_add_ps(u, u), _mm256_set1_ps(1.0f));
}

// keepAcceptedPairs on the AVX-512 path, eight pairs at a time (pairCount a multiple of
// kPairsPerVector). Each half of the sixteen uniforms is converted in its own
// register, so that the arithmetic runs on 256-bit vectors, and the accepted pairs are
// packed by one permutation looked up from their mask and stored whole at the current
// end, which the spill room allows.
TOLVANE_TARGET_AVX512 void keepAcceptedPairsAvx512(const std::uint32_t* shuffled,
                                                   std::size_t pairCount, PolarPairs& pairs) {
  const __m256i firstOfPair = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
  const __m256i secondOfPair = _mm256_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15);
  const __m256i insideLimit = _mm256_set1_epi32(0x3F7FFFFF);
  const __m256i minusOne = _mm256_set1_epi32(-1);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pairCount; i += kPairsPerVector) {
    const __m256 low = fourPoints(shuffled + 2 * i);
    const __m256 high = fourPoints(shuffled + 2 * i + 8);
    const __m256 x = _mm256_permutex2var_ps(low, firstOfPair, high);
    const __m256 y = _mm256_permutex2var_ps(low, secondOfPair, high);
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(x, x), _mm256_mul_ps(y, y));
    // 0 < r < 1 as in insideUnitCircle.
    const __mmask8 inside =
        _mm256_cmplt_epu32_mask(_mm256_add_epi32(_mm256_castps_si256(r), minusOne), insideLimit);
    const __m256i order = _mm256_cvtepu8_epi32(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackingOrder[inside].data())));
    _mm256_storeu_ps(pairs.x + kept, _mm256_permutexvar_ps(order, x));
    _mm256_storeu_ps(pairs.y + kept, _mm256_permutexvar_ps(order, y));
    _mm256_storeu_ps(pairs.r + kept, _mm256_permutexvar_ps(order, r));
    kept += static_cast<std::size_t>(__builtin_popcount(inside));
  }
  pairs.count = kept;
}

// The points of two pairs of raw shuffle outputs, x y x y, rounded as in
// keepAcceptedPairs.
TOLVANE_TARGET_AVX2 inline __m128 twoPoints(const std::uint32_t* raw) {
  const __m128i integers = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw));
  const __m128 u = _mm_min_ps(
      _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_cvtepi32_pd(integers), _mm256_set1_pd(kScale))),
      _mm_set1_ps(kLargestUniform));
  return _mm_sub_ps(_mm_add_ps(u, u), _mm_set1_ps(1.0f));
}

// keepAcceptedPairs on the AVX2 path, eight pairs at a time (pairCount a multiple of
// kPairsPerVector), packed as on the AVX-512 path.
TOLVANE_TARGET_AVX2 void keepAcceptedPairsAvx2(const std::uint32_t* shuffled, std::size_t pairCount,
                                               PolarPairs& pairs) {
  const __m256i coordinatesApart = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);  // x x x x y y y y
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < pairCount; i += kPairsPerVector) {
    const std::uint32_t* raw = shuffled + 2 * i;
    const __m256 low = _mm256_permutevar8x32_ps(_mm256_set_m128(twoPoints(raw + 4), twoPoints(raw)),
                                                coordinatesApart);
    const __m256 high = _mm256_permutevar8x32_ps(
        _mm256_set_m128(twoPoints(raw + 12), twoPoints(raw + 8)), coordinatesApart);
    const __m256 x = _mm256_permute2f128_ps(low, high, 0x20);
    const __m256 y = _mm256_permute2f128_ps(low, high, 0x31);
    const __m256 r = _mm256_add_ps(_mm256_mul_ps(x, x), _mm256_mul_ps(y, y));
    const int inside = _mm256_movemask_ps(
        _mm256_and_ps(_mm256_cmp_ps(r, zero, _CMP_GT_OQ), _mm256_cmp_ps(r, one, _CMP_LT_OQ)));
    const __m256i order = _mm256_cvtepu8_epi32(
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPackingOrder[inside].data())));
    _mm256_storeu_ps(pairs.x + kept, _mm256_permutevar8x32_ps(x, order));
    _mm256_storeu_ps(pairs.y + kept, _mm256_permutevar8x32_ps(y, order));
    _mm256_storeu_ps(pairs.r + kept, _mm256_permutevar8x32_ps(r, order));
    kept += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(inside)));
  }
  pairs.count = kept;
}

// Stores the deviates of pairs 0 .. pairCount - 1 (a multiple of kPairsPerVector)
// contiguously from out, in the order of DeviateSink::store: y * scale, then
// x * scale, each scaled and offset. For both wide paths.
TOLVANE_TARGET_AVX2 void storeContiguousWide(const PolarPairs& pairs, std::size_t pairCount,
                                             float* out, float scale, float offset) {
  const __m256 factor = _mm256_set1_ps(scale);
  const __m256 shift = _mm256_set1_ps(offset);
  for (std::size_t i = 0; i < pairCount; i += kPairsPerVector) {
    const __m256 fac = _mm256_loadu_ps(pairs.scale + i);
    const __m256 first = _mm256_add_ps(
        _mm256_mul_ps(factor, _mm256_mul_ps(_mm256_loadu_ps(pairs.y + i), fac)), shift);
    const __m256 second = _mm256_add_ps(
        _mm256_mul_ps(factor, _mm256_mul_ps(_mm256_loadu_ps(pairs.x + i), fac)), shift);
    const __m256 lowHalves = _mm256_unpacklo_ps(first, second);   // pairs 0 1 | 4 5
    const __m256 highHalves = _mm256_unpackhi_ps(first, second);  // pairs 2 3 | 6 7
    _mm256_storeu_ps(out + 2 * i, _mm256_permute2f128_ps(lowHalves, highHalves, 0x20));
    _mm256_storeu_ps(out + 2 * i + 8, _mm256_permute2f128_ps(lowHalves, highHalves, 0x31));
  }
}

// Stores deviates, in draw order, where the caller wants them, and keeps the last one
// of an odd count as the pending deviate.
class DeviateSink {
 public:
  DeviateSink(const ScaledOutput& output, std::size_t count, GeneratorState& state)
      : next_(reinterpret_cast<std::uintptr_t>(output.first)),
        step_(output.stride * static_cast<std::ptrdiff_t>(sizeof(float))),
        scale_(output.scale),
        offset_(output.offset),
        left_(count),
        state_(state) {}

  std::size_t left() const { return left_; }

  void store(float g) {
    // Strided stores land on a new cache line each; the line a few stores ahead is
    // requested now, so that its latency overlaps with the work in between (a
    // prefetch never faults, even past the end of the data).
    __builtin_prefetch(reinterpret_cast<const void*>(next_ + kPrefetchDistance * step_), 1);
    *reinterpret_cast<float*>(next_) = scale_ * g + offset_;
    next_ += step_;
    --left_;
  }

  // Stores a chunk's deviates, whose scale factors are known: y * scale first, then
  // x * scale, pair by pair.
  void store(const PolarPairs& pairs, cpu::VectorPath path) {
    std::size_t i = 0;
    if (path != cpu::VectorPath::kPortable && step_ == static_cast<std::ptrdiff_t>(sizeof(float))) {
      i = std::min(pairs.count, left_ / 2) / kPairsPerVector * kPairsPerVector;
      storeContiguousWide(pairs, i, reinterpret_cast<float*>(next_), scale_, offset_);
      next_ += 2 * i * sizeof(float);
      left_ -= 2 * i;
    }
    for (; i < pairs.count; ++i) {
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
  std::uintptr_t next_;  // address of the next value
  std::ptrdiff_t step_;  // bytes between values
  float scale_, offset_;
  std::size_t left_;
  GeneratorState& state_;
};

}  // namespace

void fillScaledDeviates(GeneratorState& state, int* seed, std::size_t count,
                        const ScaledOutput& output, cpu::VectorPath path) {
  DeviateSink sink(output, count, state);
  // The fast path needs a seeded table, no pending deviate and a generator value in
  // 1 .. 2^31 - 2, which every step then keeps; anything else goes the plain way.
  while (sink.left() > 0 &&
         (state.deviatePending || state.previous == 0 || *seed <= 0 || *seed >= kModulus))
    sink.store(nextDeviate(state, seed));
  if (sink.left() == 0) return;

  std::size_t pairsLeft = (sink.left() + 1) / 2;
  ShuffledGenerator generator{*seed, static_cast<std::uint32_t>(state.previous), state.table};
  PolarPairs chunk;
  std::uint32_t shuffled[2 * kPairsPerChunk];
  const auto finishChunk = [&] {
    polarScales(chunk.r, chunk.scale, chunk.count, path);
    sink.store(chunk, path);
  };

  // Chunks of drawn pairs, no more than are still needed, so that they cannot give
  // more accepted pairs than needed; they shrink towards the end of the batch.
  while (pairsLeft >= kPairsPerVector) {
    const std::size_t drawn =
        std::min(kPairsPerChunk, pairsLeft / kPairsPerVector * kPairsPerVector);
    generator.drawPairs(shuffled, drawn, path);
    switch (path) {
      case cpu::VectorPath::kAvx512:
        keepAcceptedPairsAvx512(shuffled, drawn, chunk);
        break;
      case cpu::VectorPath::kAvx2:
        keepAcceptedPairsAvx2(shuffled, drawn, chunk);
        break;
      case cpu::VectorPath::kPortable:
        keepAcceptedPairs(shuffled, drawn, chunk);
        break;
    }
    pairsLeft -= chunk.count;
    finishChunk();
  }

  // The rest pair by pair, drawing exactly as many uniforms as gasdev would.
  chunk.count = 0;
  while (chunk.count < pairsLeft) {
    const float u1 = scaledUniform(static_cast<int>(generator.next()));
    const float u2 = scaledUniform(static_cast<int>(generator.next()));
    keepPair(u1, u2, chunk);
  }
  finishChunk();

  *seed = generator.value;
  state.previous = static_cast<int>(generator.previous);
}

}  // namespace tolvane::random
