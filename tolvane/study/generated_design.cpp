// Generated designs; see generated_design.h.
#include "tolvane/study/generated_design.h"

#include <cmath>
#include <utility>

#include "engine/counter_noise.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {
namespace {

// Bisection steps: each halves the bracket of the rate, far below any useful precision
// after a hundred.
constexpr int kBisectionSteps = 200;

double truncatedMean(double rate, double span) {
  return 1.0 / rate - span / std::expm1(rate * span);
}

}  // namespace

double truncatedExponentialRate(double mean, double span) {
  // The mean falls from span / 2 (rate -> 0) to 0 (rate -> infinity).
  double low = 1e-12 / span, high = 1.0;
  while (truncatedMean(high, span) > mean) high *= 2.0;
  for (int step = 0; step < kBisectionSteps && high - low > 1e-15 * high; ++step) {
    const double middle = 0.5 * (low + high);
    (truncatedMean(middle, span) > mean ? low : high) = middle;
  }
  return 0.5 * (low + high);
}

double truncatedExponential(double u, double rate, double span) {
  return -std::log1p(-u * -std::expm1(-rate * span)) / rate;
}

design::Protocol generateDesign(const DesignSettings& settings, std::uint32_t seed, int place) {
  DrawSequence draws(seed, static_cast<std::uint32_t>(place), engine::kDesignStream);
  std::vector<std::size_t> order;
  for (std::size_t c = 0; c < settings.conditions.size(); ++c) {
    order.insert(order.end(), static_cast<std::size_t>(settings.trials), c);
  }
  for (std::size_t i = order.size(); i > 1; --i) {
    const auto j = static_cast<std::size_t>(draws.nextUniform() * static_cast<double>(i));
    std::swap(order[i - 1], order[j < i ? j : i - 1]);
  }
  const double span = settings.isiMaxSeconds - settings.isiMinSeconds;
  const double rate = truncatedExponentialRate(settings.isiMeanSeconds - settings.isiMinSeconds, span);
  design::Protocol protocol;
  protocol.unit = design::TimeUnit::Milliseconds;
  for (const std::string& name : settings.conditions) protocol.conditions.push_back({name, {}});
  // Times in whole milliseconds, so that an events table states them exactly.
  const double durationMs = std::round(settings.durationSeconds * 1000.0);
  double time = 0.0;
  for (const std::size_t c : order) {
    time += std::round(
        (settings.isiMinSeconds + truncatedExponential(draws.nextUniform(), rate, span)) * 1000.0);
    protocol.conditions[c].intervals.push_back({time, time + durationMs, 0});
    time += durationMs;
  }
  return protocol;
}

}  // namespace tolvane::study
