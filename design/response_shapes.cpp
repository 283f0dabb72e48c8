// Response shapes and their predictors; see response_shapes.h.
#include "design/response_shapes.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "design/design_matrix.h"
#include "design/hrf.h"

namespace tolvane::design {
namespace {

// Gamma density with mean `delay` and scale `dispersion`: shape k = delay / dispersion.
// Written as the canonical's density (hrf.cpp) with the scale's terms added, so that
// at scale 1 every operation gives that density's value.
double gammaDensity(double t, double delay, double dispersion) {
  const double shape = delay / dispersion;
  return std::exp((shape - 1.0) * std::log(t / dispersion) - t / dispersion -
                  std::lgamma(shape) - std::log(dispersion));
}

// Straight lines between the values, falling to 0 one step after the last.
double firAt(const ResponseShape& shape, double seconds) {
  const std::vector<double>& values = shape.firValues;
  const double position = seconds / shape.firStepSeconds;
  const auto knot = static_cast<std::size_t>(std::floor(position));
  if (knot >= values.size()) return 0.0;
  const double next = knot + 1 < values.size() ? values[knot + 1] : 0.0;
  return values[knot] + (position - static_cast<double>(knot)) * (next - values[knot]);
}

double lengthSeconds(const ResponseShape& shape) {
  if (shape.model != ResponseModel::Fir) return kHrfLengthSeconds;
  return static_cast<double>(shape.firValues.size()) * shape.firStepSeconds;
}

}  // namespace

bool ResponseShape::isCanonical() const {
  return model == ResponseModel::TwoGamma && peakDelaySeconds == 6.0 &&
         undershootDelaySeconds == 16.0 && peakDispersionSeconds == 1.0 &&
         undershootDispersionSeconds == 1.0 && undershootRatio == 6.0;
}

double responseAt(const ResponseShape& shape, double seconds) {
  if (shape.model == ResponseModel::Fir) return seconds < 0.0 ? 0.0 : firAt(shape, seconds);
  if (seconds <= 0.0) return 0.0;
  const double peak = gammaDensity(seconds, shape.peakDelaySeconds, shape.peakDispersionSeconds);
  if (shape.model == ResponseModel::Gamma) return peak;
  return peak -
         gammaDensity(seconds, shape.undershootDelaySeconds, shape.undershootDispersionSeconds) /
             shape.undershootRatio;
}

std::vector<double> sampledResponse(const ResponseShape& shape, double trMilliseconds) {
  const double stepSeconds = trMilliseconds / 1000.0 / kSamplesPerVolume;
  const auto count = static_cast<std::size_t>(std::ceil(lengthSeconds(shape) / stepSeconds));
  std::vector<double> kernel(std::max<std::size_t>(count, 1));
  for (std::size_t j = 0; j < kernel.size(); ++j) {
    kernel[j] = responseAt(shape, static_cast<double>(j) * stepSeconds);
  }
  const double sum = std::accumulate(kernel.begin(), kernel.end(), 0.0);
  for (double& value : kernel) value /= sum;
  return kernel;
}

double peakLatencySeconds(const ResponseShape& shape) {
  const bool balloon = shape.model == ResponseModel::Balloon;
  const double grid = balloon ? 0.01 : 0.001;
  const auto count = static_cast<std::size_t>(std::ceil(lengthSeconds(shape) / grid));
  std::vector<double> values(count + 1);
  if (balloon) {
    std::vector<double> input(count + 1, 0.0);
    input[0] = 1.0;  // a 10 ms event
    values = balloonResponse(shape.balloon, input, grid, 1, grid);
  } else {
    for (std::size_t j = 0; j <= count; ++j) {
      values[j] = responseAt(shape, static_cast<double>(j) * grid);
    }
  }
  const auto best = static_cast<std::size_t>(std::max_element(values.begin(), values.end()) -
                                             values.begin());
  const double at = static_cast<double>(best) * grid;
  if (best == 0 || best == count || shape.model == ResponseModel::Fir) return at;
  // The vertex of the parabola through the three samples around the largest.
  const double curvature = values[best - 1] - 2.0 * values[best] + values[best + 1];
  if (!(curvature < 0.0)) return at;
  return at + 0.5 * grid * (values[best - 1] - values[best + 1]) / curvature;
}

std::vector<float> convolvedAtVolumeStarts(const std::vector<double>& fine,
                                           const std::vector<double>& kernel, int volumes) {
  std::vector<float> values(static_cast<std::size_t>(std::max(volumes, 0)));
  for (std::size_t v = 0; v < values.size(); ++v) {
    const std::size_t k = v * kSamplesPerVolume;
    const std::size_t taps = std::min(kernel.size(), k + 1);
    double sum = 0.0;
    for (std::size_t j = 0; j < taps; ++j) sum += kernel[j] * fine[k - j];
    values[v] = static_cast<float>(sum);
  }
  return values;
}

std::vector<double> conditionFineSignal(const Condition& condition, TimeUnit unit,
                                        double trMilliseconds, int volumes,
                                        const std::vector<double>* weights) {
  DesignMatrix matrix;
  matrix.addPredictor(condition.name, volumes);
  if (weights == nullptr) {
    matrix.setFromCondition(0, condition, unit, trMilliseconds, 1.0f);
    return matrix[0].fineSignal;
  }
  std::vector<double> fine(matrix[0].fineSignal.size(), 0.0);
  for (std::size_t i = 0; i < condition.intervals.size(); ++i) {
    // Each interval laid down alone, by the design matrix's rule for its samples.
    matrix.setFromCondition(0, Condition{condition.name, {condition.intervals[i]}}, unit,
                            trMilliseconds, 1.0f);
    const std::vector<double>& on = matrix[0].fineSignal;
    for (std::size_t k = 0; k < fine.size(); ++k) fine[k] += (*weights)[i] * on[k];
  }
  return fine;
}

std::vector<float> shapedPredictor(const ResponseShape& shape, const std::vector<double>& fine,
                                   double trMilliseconds, int volumes) {
  if (shape.model != ResponseModel::Balloon) {
    return convolvedAtVolumeStarts(fine, sampledResponse(shape, trMilliseconds), volumes);
  }
  const double stepSeconds = trMilliseconds / 1000.0 / kSamplesPerVolume;
  const std::vector<double> y =
      balloonResponse(shape.balloon, fine, stepSeconds, kSamplesPerVolume);
  const double plateau = balloonSteadyState(shape.balloon, 1.0);
  std::vector<float> values(static_cast<std::size_t>(std::max(volumes, 0)));
  for (std::size_t v = 0; v < values.size(); ++v) values[v] = static_cast<float>(y[v] / plateau);
  return values;
}

}  // namespace tolvane::design
