// Uniform and Gaussian random numbers; conventions in random.h.
#include "numerics/random.h"

#include <cmath>
#include <cstdint>

#include "numerics/random_state.h"

namespace tolvane::random {

namespace {

constexpr int kWarmUpSteps = 40;
constexpr int kDiscardedWarmUpSteps = 8;

}  // namespace

GeneratorState& generatorState() {
  static GeneratorState state;  // zero at load: not yet seeded, nothing pending
  return state;
}

void restartUniforms(GeneratorState& state, int* seed) {
  // Negate in 32-bit arithmetic: -(-2^31) stays negative, and 0 or a positive seed
  // (only possible on the first call in the process) also fall back to 1.
  int s = static_cast<int>(0u - static_cast<std::uint32_t>(*seed));
  // -(2^31 - 1) negates to the modulus, which is 0 to the generator and would stay 0
  // for ever (every uniform exactly 0); like 0 it falls back to 1.
  if (s <= 0 || s >= kModulus) s = 1;
  for (int step = 1; step <= kWarmUpSteps; ++step) {
    s = congruentialStep(s);
    if (step > kDiscardedWarmUpSteps) state.table[kWarmUpSteps - step] = s;
  }
  *seed = s;
  state.previous = state.table[0];
}

float nextUniform(GeneratorState& state, int* seed) {
  // 2^31 - 1, the modulus, is the one positive seed no draw produces: stepping it gives
  // 0, which would enter the shuffle table and come out later as a uniform of exactly
  // 0. It restarts the sequence like a seed <= 0.
  if (*seed <= 0 || *seed >= kModulus || state.previous == 0) restartUniforms(state, seed);
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

}  // namespace tolvane::random

float ran1(int* seed) {
  return tolvane::random::nextUniform(tolvane::random::generatorState(), seed);
}

float gasdev(int* seed) {
  return tolvane::random::nextDeviate(tolvane::random::generatorState(), seed);
}
