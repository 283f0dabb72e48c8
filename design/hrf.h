// The canonical two-gamma haemodynamic response function and its sampling.
//
//   h(t) = G(t; 6, 1) - G(t; 16, 1) / 6,   G(t; k, s) = t^(k-1) e^(-t/s) / (Gamma(k) s^k)
//
// with t in seconds: a response that peaks about 5 s after a brief stimulus and
// undershoots around 15 s. Predictors are convolved on a fine time grid of
// kSamplesPerVolume samples per volume (TR / 16); the kernel is sampled on that grid
// at t = 0, dt, 2 dt, ... over the first 32 s and scaled to unit sum, so that a
// stimulus that stays on long enough reaches exactly its own height.
#pragma once

#include <vector>

namespace tolvane::design {

constexpr int kSamplesPerVolume = 16;
constexpr double kHrfLengthSeconds = 32.0;

// h(t) at t seconds (0 for t < 0).
double twoGammaHrf(double seconds);

// The kernel on the fine grid of a TR in milliseconds, scaled to unit sum.
std::vector<double> sampledTwoGammaHrf(double trMilliseconds);

// Causal discrete convolution: out[k] = sum over j <= k of kernel[j] * signal[k - j],
// same length as signal.
std::vector<double> convolve(const std::vector<double>& signal, const std::vector<double>& kernel);

}  // namespace tolvane::design
