// The spectrum model and the choice between it and the parametric one; see
// spectrum_fit.h.
#include "tolvane/fit_noise/spectrum_fit.h"

#include <algorithm>
#include <cmath>

#include "engine/spectral_filter.h"

namespace tolvane::fit_noise {
namespace {

constexpr double kSpectrumFloor = 1e-3;
constexpr int kFillFrequencies = 3;

}  // namespace

std::vector<double> fluctuationSpectrum(const std::vector<double>& periodogram,
                                        double noiseVariance, double thermalVariance,
                                        const TemporalDesign& design) {
  const int n = design.volumes;
  const int last = static_cast<int>(periodogram.size()) - 1;  // N / 2
  std::vector<double> density(periodogram);
  const int removed = std::min(last, static_cast<int>(design.cosineCount + 1) / 2 + 1);
  double fill = 0.0;
  int filled = 0;
  for (int i = removed; i <= std::min(last, removed + kFillFrequencies - 1); ++i, ++filled) {
    fill += density[i];
  }
  for (int i = 0; i < removed && filled > 0; ++i) density[i] = fill / filled;
  // The mean over the whole circle of frequencies, where 0 < i < N / 2 stands for two.
  double circle = 0.0;
  for (int i = 0; i <= last; ++i) {
    circle += (i == 0 || 2 * i == n) ? density[i] : 2.0 * density[i];
  }
  const double scale = circle > 0.0 ? noiseVariance * n / circle : 0.0;
  double mean = 0.0;
  for (double& value : density) {
    value = value * scale - thermalVariance;
    mean += std::max(value, 0.0) / density.size();
  }
  const double floor = kSpectrumFloor * (mean > 0.0 ? mean : noiseVariance);
  for (double& value : density) value = std::max(value, floor);

  const int points = std::min(kSpectrumPoints, last + 1);
  std::vector<double> power(points, 0.0), counts(points, 0.0);
  for (int i = 0; i <= last; ++i) {
    const int point = static_cast<int>(std::lround(static_cast<double>(i) * (points - 1) / last));
    power[point] += density[i];
    counts[point] += 1.0;
  }
  double total = 0.0;
  for (int g = 0; g < points; ++g) {
    // A point no frequency fell on (only when P does not divide N / 2) takes its
    // neighbours' mean.
    if (counts[g] == 0.0)
      power[g] = 0.5 * (power[g - 1] / counts[g - 1] + power[g + 1] / counts[g + 1]);
    else
      power[g] /= counts[g];
  }
  for (double value : power) total += value / points;
  for (double& value : power) value /= total;
  return power;
}

std::vector<double> predictedAutocorrelation(const std::vector<double>& rho, double w,
                                             const TemporalDesign& design) {
  const ProjectedNoise projected = projectNoise(design, rho, w);
  std::vector<double> lags;
  for (int k = 1; k <= kMaxLag; ++k) lags.push_back(projected.lagSums[k] / projected.lagSums[0]);
  return lags;
}

namespace {

double rmsDifference(const std::vector<double>& a, const std::vector<double>& b) {
  double squares = 0.0;
  for (std::size_t k = 0; k < a.size(); ++k) squares += (a[k] - b[k]) * (a[k] - b[k]);
  return std::sqrt(squares / static_cast<double>(a.size()));
}

}  // namespace

TemporalFit fitTemporalModel(const TemporalSums& sums, const std::vector<double>& periodogram,
                             double thermalVariance, const std::vector<double>& oscillations,
                             const TemporalDesign& design) {
  TemporalFit fit = fitTemporalCorrelation(sums, thermalVariance, oscillations, design);
  if (!fit.usable || !oscillations.empty()) return fit;
  const double w = fit.fluctuationShare;
  for (int k = 1; k <= kMaxLag; ++k) {
    fit.measuredLags.push_back(sums.lagProducts[k] / sums.lagProducts[0]);
  }
  fit.predictedLags =
      predictedAutocorrelation(armaAutocorrelation(fit.model, design.volumes), w, design);
  fit.parametricRmsMisfit = rmsDifference(fit.measuredLags, fit.predictedLags);
  fit.spectrum =
      fluctuationSpectrum(periodogram, fit.varianceSum / sums.voxels, thermalVariance, design);
  const std::vector<double> rho = engine::spectralAutocorrelation(fit.spectrum, design.volumes);
  const std::vector<double> spectrumLags = predictedAutocorrelation(rho, w, design);
  fit.spectrumRmsMisfit = rmsDifference(fit.measuredLags, spectrumLags);
  // A run too short for AR(4) is too short to tell a spectrum's detail from sampling
  // noise: its misfits are reported, the parametric model kept.
  if (fit.largestAllowedOrder == kMaxArOrder && fit.parametricRmsMisfit > kParametricTolerance &&
      fit.spectrumRmsMisfit < fit.parametricRmsMisfit) {
    fit.spectral = true;
    fit.predictedLags = spectrumLags;
    fit.projected = projectNoise(design, rho, w);
    fit.varianceSum = sums.residualSquares / fit.projected.lagSums[0];
  }
  return fit;
}

}  // namespace tolvane::fit_noise
