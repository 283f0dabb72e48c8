// The constants of the counter field's transforms (counter_noise.h), in one place so
// that the vector paths cannot drift apart. Each polynomial is evaluated by Horner's
// rule from its first coefficient, p = p * x + c for each next c, every product and
// sum rounded to float on its own.
#pragma once

#include <cstdint>

namespace tolvane::engine::field_constants {

constexpr int kPhiloxRounds = 10;

// u = (w >> 9) * 2^-23 + 2^-24.
constexpr float kTwoToMinus23 = 0x1p-23f;
constexpr float kTwoToMinus24 = 0x1p-24f;

// ln u = ln m + e ln 2 with m in [sqrt(1/2), sqrt(2)) and x = m - 1:
//   ln m = (x + (((p(x) x) x^2 + e kLn2Low) - x^2 / 2)) + e kLn2High.
constexpr float kSqrtHalf = 0.70710678118654752f;
// ln 2 split so that e * kLn2High is exact for every exponent that occurs.
constexpr float kLn2High = 0.693359375f;
constexpr float kLn2Low = -2.12194440e-4f;
constexpr float kLogCoefficients[] = {7.0376836292e-2f,  -1.1514610310e-1f, 1.1676998740e-1f,
                                      -1.2420140846e-1f, 1.4249322787e-1f,  -1.6668057665e-1f,
                                      2.0000714765e-1f,  -2.4999993993e-1f, 3.3333331174e-1f};

// On psi in [0, pi / 4], with z = psi^2:
//   sin psi = (p(z) z) psi + psi,   cos psi = ((q(z) z) z - z / 2) + 1.
constexpr float kSineCoefficients[] = {-1.9515295891e-4f, 8.3321608736e-3f, -1.6666654611e-1f};
constexpr float kCosineCoefficients[] = {2.443315711809948e-5f, -1.388731625493765e-3f,
                                         4.166664568298827e-2f};

// One step of angle: (pi / 4) / 2^21, the eighth of a turn divided into 2^21 parts.
constexpr float kAngleStep = 0.78539816339744831f * 0x1p-21f;
constexpr std::uint32_t kEighthTurn = 1u << 21;

}  // namespace tolvane::engine::field_constants
