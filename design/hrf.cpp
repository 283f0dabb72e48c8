// Two-gamma HRF in double precision; see hrf.h for the definition and sampling.
#include "design/hrf.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tolvane::design {
namespace {

constexpr double kPeakShape = 6.0;
constexpr double kUndershootShape = 16.0;
constexpr double kUndershootRatio = 6.0;

// Gamma density with the given shape and unit scale.
double gammaDensity(double t, double shape) {
  return std::exp((shape - 1.0) * std::log(t) - t - std::lgamma(shape));
}

}  // namespace

double twoGammaHrf(double seconds) {
  if (seconds <= 0.0) return 0.0;
  return gammaDensity(seconds, kPeakShape) -
         gammaDensity(seconds, kUndershootShape) / kUndershootRatio;
}

std::vector<double> sampledTwoGammaHrf(double trMilliseconds) {
  const double stepSeconds = trMilliseconds / 1000.0 / kSamplesPerVolume;
  const auto count = static_cast<std::size_t>(std::ceil(kHrfLengthSeconds / stepSeconds));
  std::vector<double> kernel(count);
  for (std::size_t j = 0; j < count; ++j) {
    kernel[j] = twoGammaHrf(static_cast<double>(j) * stepSeconds);
  }
  const double sum = std::accumulate(kernel.begin(), kernel.end(), 0.0);
  for (double& value : kernel) value /= sum;
  return kernel;
}

std::vector<double> convolve(const std::vector<double>& signal, const std::vector<double>& kernel) {
  std::vector<double> out(signal.size(), 0.0);
  for (std::size_t k = 0; k < signal.size(); ++k) {
    const std::size_t taps = std::min(kernel.size(), k + 1);
    double sum = 0.0;
    for (std::size_t j = 0; j < taps; ++j) sum += kernel[j] * signal[k - j];
    out[k] = sum;
  }
  return out;
}

}  // namespace tolvane::design
