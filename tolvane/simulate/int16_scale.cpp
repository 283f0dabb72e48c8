// The scale of a run stored as int16; see int16_scale.h.
#include "tolvane/simulate/int16_scale.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "formats/errors.h"

namespace tolvane::simulate {
namespace {

constexpr double kInt16Least = INT16_MIN;
constexpr double kInt16Greatest = INT16_MAX;

// The scale with `step` whose inter sits nearest the span's middle, if every value fits.
std::optional<formats::Int16Scale> fitting(const ValueSpan& span, double step) {
  const double middle = (static_cast<double>(span.least) + static_cast<double>(span.greatest)) / 2;
  const formats::Int16Scale scale{step, step * std::round(middle / step)};
  const double least = std::round((static_cast<double>(span.least) - scale.inter) / step);
  const double greatest = std::round((static_cast<double>(span.greatest) - scale.inter) / step);
  if (least < kInt16Least || greatest > kInt16Greatest) return std::nullopt;
  return scale;
}

// Four significant digits, enough to read the figures of a refusal.
std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

}  // namespace

double smallestTemporalNoiseSd(const study::Study& study) {
  if (!study.voxelLevels) return static_cast<double>(study.levels.noiseAmplitude);
  const study::VoxelLevelMaps& levels = *study.voxelLevels;
  const double thermal = levels.thermalSd;
  double smallest = 0.0;
  for (std::size_t v = 0; v < levels.baseline.size(); ++v) {
    const double f = levels.fluctuationSd[v], p = levels.physioSd[v];
    const double sd = std::sqrt(f * f + p * p + thermal * thermal);
    if (sd > 0.0 && (smallest == 0.0 || sd < smallest)) smallest = sd;
  }
  // A magnitude background is Rayleigh: sd s sqrt((4 - pi) / 2), the least a magnitude
  // makes of thermal noise s.
  return levels.magnitude ? smallest * std::sqrt((4.0 - M_PI) / 2.0) : smallest;
}

formats::Int16Scale int16Scale(const ValueSpan& span, double noiseSd, const std::string& run) {
  if (!(noiseSd > 0.0)) {
    throw formats::InputError(
        run +
        ": datatype \"int16\" needs noise to round against, and this run's smallest "
        "noise sd is " +
        figure(noiseSd) + "; use datatype = \"float32\"");
  }
  const double largestStep = kMaxRoundingErrorFraction * std::sqrt(12.0) * noiseSd;
  const double powerOfTwo = std::exp2(std::floor(std::log2(largestStep)));
  if (const auto scale = fitting(span, powerOfTwo)) return *scale;
  if (const auto scale = fitting(span, largestStep)) return *scale;
  const double steps =
      (static_cast<double>(span.greatest) - static_cast<double>(span.least)) / largestStep;
  throw formats::InputError(
      run + ": its values span " + figure(span.least) + " to " + figure(span.greatest) +
      ", which int16 cannot hold: a rounding error of sd at most 2% of the smallest noise sd " +
      figure(noiseSd) + " needs a step of at most " + figure(largestStep) + ", and the span is " +
      figure(std::ceil(steps)) +
      " such steps, more than int16's 65535; use datatype = "
      "\"float32\", or smaller effects or a larger noise.sd");
}

}  // namespace tolvane::simulate
