// The generator state behind ran1 and gasdev, shared with the module's batched
// noise generation so that both continue one and the same sequence.
// Module-internal: nothing here is exported.
#pragma once

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace tolvane::random {

constexpr int kShuffleTableSize = 32;

struct GeneratorState {
  int table[kShuffleTableSize] = {};  // Bays-Durham shuffle table
  int previous = 0;          // previous shuffle output; 0 = not yet seeded
  bool deviatePending = false;
  float pendingDeviate = 0.0f;
};

// The one process-wide state.
GeneratorState& generatorState();

// Rebuilds the shuffle table from the seed (values <= 0, or any value on the first
// call in the process) and leaves the seed at the last warm-up value.
void restartUniforms(GeneratorState& state, int* seed);

// One ran1 step on the given state.
float nextUniform(GeneratorState& state, int* seed);

// One gasdev step on the given state.
float nextDeviate(GeneratorState& state, int* seed);

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
                        const ScaledOutput& output);

// sqrt(-2 ln r / r) evaluated in double from r and rounded to float: the factor that
// turns an accepted polar pair into two deviates.
float polarScale(float r);

}  // namespace tolvane::random

#pragma GCC visibility pop
