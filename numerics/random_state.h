// The generator state and steps behind ran1 and gasdev, shared with the batched
// deviates of the noise pass so that both continue one and the same sequence.
// Module-internal: nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::random {

constexpr int kShuffleTableSize = 32;
constexpr int kMultiplier = 16807;
constexpr int kModulus = 2147483647;                                   // 2^31 - 1
constexpr int kSchrageQuotient = 127773;                               // kModulus / kMultiplier
constexpr int kSchrageRemainder = 2836;                                // kModulus % kMultiplier
constexpr int kTableDivisor = 1 + (kModulus - 1) / kShuffleTableSize;  // 2^26
constexpr double kScale = 1.0 / 2147483647.0;  // the double nearest to 1 / (2^31 - 1)
constexpr double kUpperLimit = 0.99999988;     // 1 - 1.2e-7
constexpr float kLargestUniform = static_cast<float>(kUpperLimit);  // 1 - 2^-23

struct GeneratorState {
  int table[kShuffleTableSize] = {};  // Bays-Durham shuffle table
  int previous = 0;                   // previous shuffle output; 0 = not yet seeded
  bool deviatePending = false;
  float pendingDeviate = 0.0f;
};

// s <- 16807 * s mod (2^31 - 1) without overflowing 32 bits (Schrage's method).
inline int congruentialStep(int s) {
  const int k = s / kSchrageQuotient;
  s = kMultiplier * (s - k * kSchrageQuotient) - kSchrageRemainder * k;
  if (s < 0) s += kModulus;
  return s;
}

// factor * s mod (2^31 - 1), reduced with shifts instead of a division: 2^31 = 1
// (mod 2^31 - 1), so the product folds into its low 31 bits plus the bits above them,
// two parts of at most 2^31 - 1 each, and one subtraction finishes. That holds for
// 0 <= s <= 2^31 - 1 and factor < 2^29 (the product is below 2^60, the sum below
// 2^31 + 2^29); and for a generator value 1 <= s <= 2^31 - 2 and any factor
// 1 <= factor < 2^31 - 1, where the sum could reach 2 (2^31 - 1) only for a multiple of
// the modulus, which the product of two non-zero residues of a prime modulus is not.
template <std::uint64_t kFactor>
inline int foldedProduct(int s) {
  static_assert(kFactor >= 1 && kFactor < kModulus);
  const std::uint64_t product = static_cast<std::uint64_t>(s) * kFactor;
  std::uint32_t folded =
      static_cast<std::uint32_t>(product & kModulus) + static_cast<std::uint32_t>(product >> 31);
  if (folded >= static_cast<std::uint32_t>(kModulus)) folded -= kModulus;
  return static_cast<int>(folded);
}

// The congruential step as foldedProduct: the exact residue 16807 s mod (2^31 - 1), as
// congruentialStep gives it for every such s, without a division on the critical path
// of a long batch.
inline int foldedCongruentialStep(int s) { return foldedProduct<kMultiplier>(s); }

// Scales a shuffle output to (0, 1) as ran1 returns it.
inline float scaledUniform(int shuffled) {
  const float u = static_cast<float>(static_cast<double>(shuffled) * kScale);
  return static_cast<double>(u) > kUpperLimit ? kLargestUniform : u;
}

// The one process-wide state.
GeneratorState& generatorState();

// Rebuilds the shuffle table from the seed (values <= 0, or any value on the first
// call in the process) and leaves the seed at the last warm-up value.
void restartUniforms(GeneratorState& state, int* seed);

// One ran1 step on the given state.
float nextUniform(GeneratorState& state, int* seed);

// One gasdev step on the given state.
float nextDeviate(GeneratorState& state, int* seed);

// sqrt(-2 ln r / r) evaluated in double from r and rounded to float: the factor that
// turns an accepted polar pair into two deviates.
float polarScale(float r);

// Where a batch of deviates goes: value k, scale * g_k + offset (the product rounded
// to float, then the sum), is stored at first[k * stride].
struct ScaledOutput {
  float* first;
  std::ptrdiff_t stride;
  float scale;
  float offset;
};

// Stores the next count deviates, as count successive gasdev calls would return
// them, and leaves the state (seed, table, pending deviate) as those calls would.
// Much faster than the calls for long batches.
void fillScaledDeviates(GeneratorState& state, int* seed, std::size_t count,
                        const ScaledOutput& output, cpu::VectorPath path = cpu::preferredVectorPath());

}  // namespace tolvane::random

#pragma GCC visibility pop
