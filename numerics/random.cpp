// Uniform and Gaussian random numbers; conventions in random.h.
#include "numerics/random.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "numerics/random_state.h"

namespace {

constexpr int kMultiplier = 16807;
constexpr int kModulus = 2147483647;  // 2^31 - 1
constexpr int kSchrageQuotient = 127773;  // kModulus / kMultiplier
constexpr int kSchrageRemainder = 2836;   // kModulus % kMultiplier
constexpr int kTableDivisor = 1 + (kModulus - 1) / tolvane::random::kShuffleTableSize;  // 2^26
constexpr int kWarmUpSteps = 40;
constexpr int kDiscardedWarmUpSteps = 8;
constexpr double kScale = 1.0 / 2147483647.0;  // the double nearest to 1 / (2^31 - 1)
constexpr double kUpperLimit = 0.99999988;     // 1 - 1.2e-7
constexpr float kLargestUniform = static_cast<float>(kUpperLimit);  // 1 - 2^-23

// s <- 16807 * s mod (2^31 - 1) without overflowing 32 bits.
inline int congruentialStep(int s) {
  const int k = s / kSchrageQuotient;
  s = kMultiplier * (s - k * kSchrageQuotient) - kSchrageRemainder * k;
  if (s < 0) s += kModulus;
  return s;
}

// The same step for 0 <= s <= 2^31 - 1, reduced modulo the Mersenne prime with shifts
// instead of a division: 2^31 = 1 (mod 2^31 - 1), so the 46-bit product folds into
// its low 31 bits plus the bits above them. Both give the exact residue 16807 s mod
// (2^31 - 1), so the two steps agree on every such s; this one has no division on the
// critical path of a long batch.
inline int foldedCongruentialStep(int s) {
  const std::uint64_t product = static_cast<std::uint64_t>(s) * kMultiplier;
  std::uint32_t folded = static_cast<std::uint32_t>(product & kModulus) +
                         static_cast<std::uint32_t>(product >> 31);
  if (folded >= static_cast<std::uint32_t>(kModulus)) folded -= kModulus;
  return static_cast<int>(folded);
}

// Scales a shuffle output to (0, 1) as ran1 returns it.
inline float scaledUniform(int shuffled) {
  const float u = static_cast<float>(static_cast<double>(shuffled) * kScale);
  return static_cast<double>(u) > kUpperLimit ? kLargestUniform : u;
}

// Accepted polar pairs waiting for their scale factor.
constexpr std::size_t kPairsPerChunk = 2048;

}  // namespace

namespace tolvane::random {

GeneratorState& generatorState() {
  static GeneratorState state;  // zero at load: not yet seeded, nothing pending
  return state;
}

void restartUniforms(GeneratorState& state, int* seed) {
  // Negate in 32-bit arithmetic: -(-2^31) stays negative, and 0 or a positive seed
  // (only possible on the first call in the process) also fall back to 1.
  int s = static_cast<int>(0u - static_cast<std::uint32_t>(*seed));
  if (s <= 0) s = 1;
  for (int step = 1; step <= kWarmUpSteps; ++step) {
    s = congruentialStep(s);
    if (step > kDiscardedWarmUpSteps) state.table[kWarmUpSteps - step] = s;
  }
  *seed = s;
  state.previous = state.table[0];
}

float nextUniform(GeneratorState& state, int* seed) {
  if (*seed <= 0 || state.previous == 0) restartUniforms(state, seed);
  *seed = congruentialStep(*seed);
  const int slot = state.previous / kTableDivisor;
  state.previous = state.table[slot];
  state.table[slot] = *seed;
  return scaledUniform(state.previous);
}

float polarScale(float r) {
  const double wide = static_cast<double>(r);
  return static_cast<float>(std::sqrt(std::log(wide) * -2.0 / wide));
}

float nextDeviate(GeneratorState& state, int* seed) {
  if (state.deviatePending) {
    state.deviatePending = false;
    return state.pendingDeviate;
  }
  float x, y, r;
  do {
    const float u1 = nextUniform(state, seed);
    const float u2 = nextUniform(state, seed);
    x = static_cast<float>(2.0 * static_cast<double>(u1) - 1.0);
    y = static_cast<float>(2.0 * static_cast<double>(u2) - 1.0);
    r = x * x + y * y;
  } while (r >= 1.0f || r == 0.0f);
  const float fac = polarScale(r);
  state.pendingDeviate = x * fac;
  state.deviatePending = true;
  return y * fac;
}

// Accepted polar pairs of one chunk, waiting for their scale factors.
struct PolarPairs {
  float x[kPairsPerChunk];
  float y[kPairsPerChunk];
  float r[kPairsPerChunk];
  std::size_t count = 0;
};

// The batch keeps the uniform generator in locals and works in chunks of pairs. The
// uniform sequence is one serial chain (each shuffle output picks the next slot), so
// it sets the pace; while it draws the pairs of one chunk, keeping the accepted ones
// without branches, the same loop finishes the previous chunk and stores its values:
// the logarithms, square roots and stores do not depend on the chain, so the
// processor overlaps them with it. Every value and the state left behind are those of
// count gasdev calls.
void fillScaledDeviates(GeneratorState& state, int* seed, std::size_t count,
                        const ScaledOutput& output) {
  float* next = output.first;
  const auto store = [&](float g) {
    *next = output.scale * g + output.offset;
    next += output.stride;
  };
  std::size_t left = count;
  // The fast loop needs a seeded table, no pending deviate and a generator value in
  // 1 .. 2^31 - 2, which every step then keeps; anything else goes the plain way.
  const auto fastLoopApplies = [&] {
    return !state.deviatePending && state.previous != 0 && *seed > 0 && *seed < kModulus;
  };
  for (; left > 0 && !fastLoopApplies(); --left) store(nextDeviate(state, seed));
  if (left == 0) return;

  // An odd count keeps the last pair's second deviate for the next call.
  std::size_t pairsLeft = (left + 1) / 2;
  const auto finishPair = [&](const PolarPairs& pairs, std::size_t i) {
    const float fac = polarScale(pairs.r[i]);
    store(pairs.y[i] * fac);
    if (--left > 0) {
      store(pairs.x[i] * fac);
      --left;
    } else {
      state.pendingDeviate = pairs.x[i] * fac;
      state.deviatePending = true;
    }
  };

  int generatorValue = *seed;
  // Positive from here on, so the slot is a plain shift: the signed division's
  // rounding fix-up would lengthen the serial chain.
  std::uint32_t previous = static_cast<std::uint32_t>(state.previous);
  PolarPairs chunks[2];
  PolarPairs* drawing = &chunks[0];
  PolarPairs* finishing = &chunks[1];
  while (pairsLeft > 0) {
    const std::size_t pairsWanted = std::min(kPairsPerChunk, pairsLeft);
    std::size_t accepted = 0;
    std::size_t finished = 0;
    while (accepted < pairsWanted) {
      float u[2];
      for (float& uniform : u) {
        generatorValue = foldedCongruentialStep(generatorValue);
        const std::uint32_t slot = previous / kTableDivisor;
        previous = static_cast<std::uint32_t>(state.table[slot]);
        state.table[slot] = generatorValue;
        uniform = scaledUniform(static_cast<int>(previous));
      }
      const float x = static_cast<float>(2.0 * static_cast<double>(u[0]) - 1.0);
      const float y = static_cast<float>(2.0 * static_cast<double>(u[1]) - 1.0);
      const float r = x * x + y * y;
      drawing->x[accepted] = x;
      drawing->y[accepted] = y;
      drawing->r[accepted] = r;
      accepted += static_cast<std::size_t>(r < 1.0f && r != 0.0f);
      if (finished < finishing->count) finishPair(*finishing, finished++);
    }
    while (finished < finishing->count) finishPair(*finishing, finished++);
    drawing->count = accepted;
    finishing->count = 0;
    std::swap(drawing, finishing);
    pairsLeft -= pairsWanted;
  }
  for (std::size_t i = 0; i < finishing->count; ++i) finishPair(*finishing, i);
  *seed = generatorValue;
  state.previous = static_cast<int>(previous);
}

}  // namespace tolvane::random

float ran1(int* seed) {
  return tolvane::random::nextUniform(tolvane::random::generatorState(), seed);
}

float gasdev(int* seed) {
  return tolvane::random::nextDeviate(tolvane::random::generatorState(), seed);
}
