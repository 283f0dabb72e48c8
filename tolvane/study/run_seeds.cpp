// Run seeds; see run_seeds.h.
#include "tolvane/study/run_seeds.h"

#include "numerics/random_state.h"

namespace tolvane::study {
namespace {

std::uint64_t multiplyModulo(std::uint64_t a, std::uint64_t b) {
  return a * b % static_cast<std::uint64_t>(random::kModulus);  // both below 2^31
}

std::uint64_t powerModulo(std::uint64_t base, std::uint64_t exponent) {
  std::uint64_t result = 1;
  while (exponent > 0) {
    if (exponent & 1) result = multiplyModulo(result, base);
    base = multiplyModulo(base, base);
    exponent >>= 1;
  }
  return result;
}

}  // namespace

int runPlace(int subject, int run, int runsPerSubject) {
  return (subject - 1) * runsPerSubject + (run - 1);
}

std::int32_t ran1RunSeed(std::uint32_t studySeed, int runPlace) {
  const std::uint64_t step =
      powerModulo(random::kMultiplier, static_cast<std::uint64_t>(runPlace) * kRan1RunSpacing);
  return static_cast<std::int32_t>(multiplyModulo(studySeed, step));
}

}  // namespace tolvane::study
