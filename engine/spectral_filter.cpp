// Circular filtering by the square root of a spectrum; conventions in spectral_filter.h.
#include "engine/spectral_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tolvane::engine {
namespace {

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

// Whether n has no prime factor above 5 (the engine's transform's lengths).
bool fiveSmooth(int n) {
  for (int factor : {2, 3, 5}) {
    while (n % factor == 0) n /= factor;
  }
  return n == 1;
}

// h_0 .. h_(N-1), of unit energy over the whole circle, and c / N (for the gains).
std::vector<double> fullKernel(const std::vector<double>& power, int volumes,
                               double* gainScale = nullptr) {
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
  if (gainScale != nullptr) *gainScale = scale / volumes;
  return kernel;
}

// Each course is the real part of one line, its imaginary part 0: two courses sharing a
// line would be mixed by the rounding of the complex products, and a course's values
// would then depend on which course the split of the work put beside it.
constexpr int kCoursesPerTransform = kLineLanes;

}  // namespace

SpectralFilter::SpectralFilter(const std::vector<double>& power, int volumes) : volumes_(volumes) {
  double gainScale = 0.0;
  const std::vector<double> kernel = fullKernel(power, volumes, &gainScale);
  if (fiveSmooth(volumes)) {
    const std::vector<double> spectrum = runSpectrum(power, volumes);
    for (double value : spectrum)
      gains_.push_back(static_cast<float>(std::sqrt(value) * gainScale));
    transform_ = std::make_unique<LineTransform>(volumes);
  } else {
    for (int k = 0; k <= volumes / 2; ++k) taps_.push_back(static_cast<float>(kernel[k]));
  }
}

SpectralFilter::~SpectralFilter() = default;

void SpectralFilter::apply(float* courses, std::int64_t voxels,
                           const simulation::Levels& levels) const {
  if (transform_) {
    applyByTransform(courses, voxels, levels);
  } else {
    applyDirect(courses, voxels, levels);
  }
}

void SpectralFilter::applyDirect(float* courses, std::int64_t voxels,
                                 const simulation::Levels& levels) const {
  const int n = volumes_;
  const int pairs = (n + 1) / 2 - 1;  // k = 1 .. ceil(N/2) - 1
  const int reach = n / 2;
  // The course with `reach` values of the circle on either side, so that the inner loop
  // runs over t without a modulo (and vectorises across t, each sum in k's order).
  std::vector<float> wrapped(static_cast<std::size_t>(n + 2 * reach));
  std::vector<float> out(static_cast<std::size_t>(n));
  for (std::int64_t v = 0; v < voxels; ++v) {
    float* course = courses + v * n;
    for (int i = 0; i < n + 2 * reach; ++i) wrapped[i] = course[((i - reach) % n + n) % n];
    const float* centre = wrapped.data() + reach;
    for (int t = 0; t < n; ++t) out[t] = taps_[0] * centre[t];
    for (int k = 1; k <= pairs; ++k) {
      const float tap = taps_[k];
      for (int t = 0; t < n; ++t) out[t] += tap * (centre[t - k] + centre[t + k]);
    }
    if (n % 2 == 0 && n > 1) {
      const float tap = taps_[n / 2];
      for (int t = 0; t < n; ++t) out[t] += tap * centre[t + n / 2];
    }
    for (int t = 0; t < n; ++t) course[t] = levels.noiseAmplitude * out[t] + levels.baseline;
  }
}

void SpectralFilter::applyByTransform(float* courses, std::int64_t voxels,
                                      const simulation::Levels& levels) const {
  const int n = volumes_;
  std::vector<float> block(static_cast<std::size_t>(n) * kLaneBlockFloats);
  std::vector<float> scratch(transform_->scratchFloats());
  for (std::int64_t first = 0; first < voxels; first += kCoursesPerTransform) {
    const int count =
        static_cast<int>(std::min<std::int64_t>(kCoursesPerTransform, voxels - first));
    // Course c of the group is the real part of lane c; the imaginary parts, and the
    // missing courses of a last group, are zeros.
    std::fill(block.begin(), block.end(), 0.0f);
    for (int c = 0; c < count; ++c) {
      const float* course = courses + (first + c) * n;
      for (int t = 0; t < n; ++t) block[t * kLaneBlockFloats + c] = course[t];
    }
    transform_->run(block.data(), kLaneBlockFloats, block.data(), kLaneBlockFloats, n,
                    scratch.data());
    for (int j = 0; j < n; ++j) {
      float* element = block.data() + j * kLaneBlockFloats;
      for (int lane = 0; lane < kLaneBlockFloats; ++lane) element[lane] = gains_[j] * element[lane];
    }
    transform_->run(block.data(), kLaneBlockFloats, block.data(), kLaneBlockFloats, n,
                    scratch.data());
    for (int c = 0; c < count; ++c) {
      float* course = courses + (first + c) * n;
      for (int t = 0; t < n; ++t) {
        const float value = block[((n - t) % n) * kLaneBlockFloats + c];
        course[t] = levels.noiseAmplitude * value + levels.baseline;
      }
    }
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
