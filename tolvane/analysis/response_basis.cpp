// The GLM's response functions; see response_basis.h.
#include "tolvane/analysis/response_basis.h"

#include <cmath>
#include <numeric>
#include <tuple>

#include "design/design_matrix.h"
#include "design/hrf.h"
#include "design/response_shapes.h"
#include "formats/errors.h"
#include "formats/text_parsing.h"

namespace tolvane::analysis {
namespace {

// SPM's steps of the finite differences: 1 s of onset, 0.01 s of dispersion.
constexpr double kOnsetStepSeconds = 1.0;
constexpr double kDispersionStep = 0.01;

// The canonical kernel delayed by `delaySeconds` with the response's dispersion
// `dispersion`, sampled over the canonical's 32 s and scaled to unit sum.
std::vector<double> canonicalKernel(double trMilliseconds, double delaySeconds, double dispersion) {
  design::ResponseShape shape;
  shape.peakDispersionSeconds = dispersion;
  const double step = trMilliseconds / 1000.0 / design::kSamplesPerVolume;
  std::vector<double> kernel(static_cast<std::size_t>(std::ceil(design::kHrfLengthSeconds / step)));
  for (std::size_t j = 0; j < kernel.size(); ++j) {
    kernel[j] = design::responseAt(shape, static_cast<double>(j) * step - delaySeconds);
  }
  const double sum = std::accumulate(kernel.begin(), kernel.end(), 0.0);
  for (double& value : kernel) value /= sum;
  return kernel;
}

// `vector` less its projections on each of `basis` in turn.
void orthogonalise(std::vector<double>& vector, const std::vector<std::vector<double>>& basis) {
  for (const std::vector<double>& b : basis) {
    const double along = std::inner_product(vector.begin(), vector.end(), b.begin(), 0.0) /
                         std::inner_product(b.begin(), b.end(), b.begin(), 0.0);
    for (std::size_t j = 0; j < vector.size(); ++j) vector[j] -= along * b[j];
  }
}

std::vector<std::vector<double>> derivativeKernels(double trMilliseconds) {
  const std::vector<double> canonical = design::sampledTwoGammaHrf(trMilliseconds);
  std::vector<std::vector<double>> kernels{canonical};
  for (const auto& [delay, dispersion, step] :
       {std::tuple{kOnsetStepSeconds, 1.0, kOnsetStepSeconds},
        std::tuple{0.0, 1.0 + kDispersionStep, kDispersionStep}}) {
    const std::vector<double> moved = canonicalKernel(trMilliseconds, delay, dispersion);
    std::vector<double> difference(canonical.size());
    for (std::size_t j = 0; j < canonical.size(); ++j) {
      difference[j] = (canonical[j] - moved[j]) / step;
    }
    orthogonalise(difference, kernels);
    kernels.push_back(std::move(difference));
  }
  return kernels;
}

std::vector<std::vector<double>> firColumns(int bins, const design::Condition& condition,
                                            design::TimeUnit unit, double trMilliseconds,
                                            int volumes) {
  std::vector<std::vector<double>> columns(static_cast<std::size_t>(bins),
                                           std::vector<double>(static_cast<std::size_t>(volumes)));
  for (const design::Interval& interval : condition.intervals) {
    const double onsetVolume = unit == design::TimeUnit::Volumes
                                   ? interval.begin - 1.0
                                   : std::floor(interval.begin / trMilliseconds);
    for (int b = 0; b < bins; ++b) {
      const double v = onsetVolume + b;
      if (v >= 0.0 && v < volumes) columns[static_cast<std::size_t>(b)][static_cast<std::size_t>(v)] += 1.0;
    }
  }
  return columns;
}

std::string twoDigits(int number) {
  return (number < 10 ? "0" : "") + std::to_string(number);
}

}  // namespace

std::size_t ResponseBasis::columnsPerCondition() const {
  if (kind == BasisKind::Fir) return static_cast<std::size_t>(firBins);
  return kind == BasisKind::TwoGammaDerivatives ? 3 : 1;
}

ResponseBasis parseResponseBasis(const std::string& text) {
  if (text == "twogamma") return {};
  if (text == "twogamma+derivatives") return {BasisKind::TwoGammaDerivatives, 0};
  if (text.rfind("fir:", 0) == 0) {
    const auto bins = formats::parseFiniteNumber(text.substr(4));
    if (bins && *bins >= 1 && *bins <= kMaxFirBins && *bins == std::floor(*bins)) {
      return {BasisKind::Fir, static_cast<int>(*bins)};
    }
  }
  throw formats::InputError("--hrf " + formats::inQuotes(text) +
                            ": expected twogamma, twogamma+derivatives or fir:N (N bins of "
                            "one TR, 1 to 64)");
}

std::vector<std::string> basisColumnNames(const ResponseBasis& basis, const std::string& condition) {
  if (basis.kind == BasisKind::TwoGamma) return {condition};
  if (basis.kind == BasisKind::TwoGammaDerivatives) {
    return {condition, condition + "_derivative", condition + "_dispersion"};
  }
  std::vector<std::string> names;
  for (int b = 1; b <= basis.firBins; ++b) names.push_back(condition + "_bin" + twoDigits(b));
  return names;
}

std::vector<std::vector<double>> basisColumns(const ResponseBasis& basis,
                                              const design::Condition& condition,
                                              design::TimeUnit unit, double trMilliseconds,
                                              int volumes) {
  if (basis.kind == BasisKind::Fir) {
    return firColumns(basis.firBins, condition, unit, trMilliseconds, volumes);
  }
  const std::vector<double> fine =
      design::conditionFineSignal(condition, unit, trMilliseconds, volumes);
  std::vector<std::vector<double>> columns;
  for (const std::vector<double>& kernel : derivativeKernels(trMilliseconds)) {
    const std::vector<float> values = design::convolvedAtVolumeStarts(fine, kernel, volumes);
    columns.emplace_back(values.begin(), values.end());
    if (basis.kind == BasisKind::TwoGamma) break;
  }
  return columns;
}

}  // namespace tolvane::analysis
