// Laying conditions down on the fine grid and convolving them; see design_matrix.h.
#include "design/design_matrix.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "design/hrf.h"

namespace tolvane::design {
namespace {

// Fine-grid sample range [first, last) of an interval; at least one sample, so that an
// event shorter than a sample (a zero-duration impulse) is not lost.
std::pair<double, double> fineRange(const Interval& interval, TimeUnit unit,
                                    double trMilliseconds) {
  if (unit == TimeUnit::Volumes) {
    return {(interval.begin - 1.0) * kSamplesPerVolume, interval.end * kSamplesPerVolume};
  }
  const double step = trMilliseconds / kSamplesPerVolume;
  const double first = std::ceil(interval.begin / step);
  return {first, std::max(std::ceil(interval.end / step), first + 1.0)};
}

void updateVolumeValues(Predictor& predictor, bool sampleAtStart) {
  for (std::size_t v = 0; v < predictor.volumeValues.size(); ++v) {
    const auto first = predictor.fineSignal.begin() + static_cast<long>(v * kSamplesPerVolume);
    const auto byMagnitude = [](double a, double b) { return std::abs(a) < std::abs(b); };
    const double value =
        sampleAtStart ? *first : *std::max_element(first, first + kSamplesPerVolume, byMagnitude);
    predictor.volumeValues[v] = static_cast<float>(value);
  }
}

}  // namespace

void DesignMatrix::clear() { predictors_.clear(); }

void DesignMatrix::addPredictor(std::string_view name, int numberOfVolumes) {
  const auto volumes = static_cast<std::size_t>(std::max(numberOfVolumes, 0));
  predictors_.push_back({std::string(name), std::vector<double>(volumes * kSamplesPerVolume, 0.0),
                         std::vector<float>(volumes, 0.0f)});
}

std::optional<std::size_t> DesignMatrix::findPredictor(std::string_view name) const {
  for (std::size_t i = 0; i < predictors_.size(); ++i) {
    if (predictors_[i].name == name) return i;
  }
  return std::nullopt;
}

void DesignMatrix::setFromCondition(std::size_t index, const Condition& condition, TimeUnit unit,
                                    double trMilliseconds, float value) {
  Predictor& predictor = predictors_[index];
  const std::size_t samples = predictor.fineSignal.size();
  // Each interval only marks where it starts and ends, and one sweep counts how many
  // are on at each sample: the cost stays linear however many intervals overlap or
  // however long they are.
  std::vector<std::int64_t> starts(samples + 1, 0);
  for (const Interval& interval : condition.intervals) {
    const auto [first, last] = fineRange(interval, unit, trMilliseconds);
    const auto begin = static_cast<std::size_t>(std::clamp(first, 0.0, double(samples)));
    const auto end = static_cast<std::size_t>(std::clamp(last, 0.0, double(samples)));
    if (begin >= end) continue;
    ++starts[begin];
    --starts[end];
  }
  std::int64_t on = 0;
  for (std::size_t k = 0; k < samples; ++k) {
    on += starts[k];
    predictor.fineSignal[k] = on > 0 ? value : 0.0;
  }
  updateVolumeValues(predictor, false);
}

void DesignMatrix::applyTwoGammaHrf(std::size_t index, double trMilliseconds) {
  Predictor& predictor = predictors_[index];
  predictor.fineSignal = convolve(predictor.fineSignal, sampledTwoGammaHrf(trMilliseconds));
  updateVolumeValues(predictor, true);
}

}  // namespace tolvane::design
