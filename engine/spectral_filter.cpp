// Circular filtering by the square root of a spectrum; conventions in spectral_filter.h.
#include "engine/spectral_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tolvane::engine {
namespace {

constexpr double kTailEnergy = 1e-6;

// S_j at the run's frequencies j / N, j = 0 .. N - 1.
std::vector<double> runSpectrum(const std::vector<double>& power, int volumes) {
  const int points = static_cast<int>(power.size());
  std::vector<double> spectrum(volumes);
  for (int j = 0; j < volumes; ++j) {
    const double position = 2.0 * std::min(j, volumes - j) / volumes * (points - 1);
    const int below = std::min(static_cast<int>(position), points - 2);
    const double weight = position - below;
    spectrum[j] = std::max(0.0, (1.0 - weight) * power[below] + weight * power[below + 1]);
  }
  return spectrum;
}

// h_0 .. h_(N-1), of unit energy over the whole circle.
std::vector<double> fullKernel(const std::vector<double>& power, int volumes) {
  const std::vector<double> spectrum = runSpectrum(power, volumes);
  std::vector<double> kernel(volumes, 0.0);
  for (int k = 0; k < volumes; ++k) {
    double sum = 0.0;
    for (int j = 0; j < volumes; ++j) {
      const int phase = static_cast<int>((static_cast<std::int64_t>(j) * k) % volumes);
      sum += std::sqrt(spectrum[j]) * std::cos(2.0 * std::numbers::pi * phase / volumes);
    }
    kernel[k] = sum / volumes;
  }
  double energy = 0.0;
  for (double tap : kernel) energy += tap * tap;
  const double scale = energy > 0.0 ? 1.0 / std::sqrt(energy) : 0.0;
  for (double& tap : kernel) tap *= scale;
  return kernel;
}

}  // namespace

SpectralFilter::SpectralFilter(const std::vector<double>& power, int volumes)
    : volumes_(volumes) {
  const std::vector<double> kernel = fullKernel(power, volumes);
  // The circle holds the lags k and N - k as one; the kernel is even, h_k = h_(N-k).
  const int most = (volumes - 1) / 2;
  double tail = 0.0;
  int kept = most;
  for (int k = most; k >= 1; --k) {
    tail += 2.0 * kernel[k] * kernel[k];
    if (tail > kTailEnergy) break;
    kept = k - 1;
  }
  double energy = kernel[0] * kernel[0];
  for (int k = 1; k <= kept; ++k) energy += 2.0 * kernel[k] * kernel[k];
  const double scale = energy > 0.0 ? 1.0 / std::sqrt(energy) : 0.0;
  for (int k = 0; k <= kept; ++k) taps_.push_back(static_cast<float>(kernel[k] * scale));
}

void SpectralFilter::apply(float* courses, std::int64_t voxels,
                           const simulation::Levels& levels) const {
  const int n = volumes_;
  const int reach = static_cast<int>(taps_.size()) - 1;
  // The course with `reach` values of the circle on either side, so that the inner loop
  // runs over t without a modulo (and vectorises across t, each sum in k's order).
  std::vector<float> wrapped(static_cast<std::size_t>(n + 2 * reach));
  std::vector<float> out(static_cast<std::size_t>(n));
  for (std::int64_t v = 0; v < voxels; ++v) {
    float* course = courses + v * n;
    for (int i = 0; i < n + 2 * reach; ++i) wrapped[i] = course[((i - reach) % n + n) % n];
    const float* centre = wrapped.data() + reach;
    for (int t = 0; t < n; ++t) out[t] = taps_[0] * centre[t];
    for (int k = 1; k <= reach; ++k) {
      const float tap = taps_[k];
      for (int t = 0; t < n; ++t) out[t] += tap * (centre[t - k] + centre[t + k]);
    }
    for (int t = 0; t < n; ++t) course[t] = levels.noiseAmplitude * out[t] + levels.baseline;
  }
}

std::vector<double> spectralAutocorrelation(const std::vector<double>& power, int volumes) {
  const std::vector<double> kernel = fullKernel(power, volumes);
  std::vector<double> correlation(volumes, 0.0);
  for (int k = 0; k < volumes; ++k) {
    for (int j = 0; j < volumes; ++j) correlation[k] += kernel[j] * kernel[(j + k) % volumes];
  }
  return correlation;
}

}  // namespace tolvane::engine
