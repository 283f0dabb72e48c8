// Event-related designs generated from the study seed, different in every run.
//
// A run holds `trials` trials of each condition, each lasting `duration` seconds, in an
// order shuffled uniformly (Fisher-Yates). Before each trial comes a gap, the
// inter-stimulus interval from the end of one trial (or the start of the run) to the
// start of the next, drawn independently from min + X, where X follows an exponential
// distribution of rate lambda truncated to [0, max - min]:
//   density  lambda e^(-lambda x) / (1 - e^(-lambda T)),   T = max - min,
//   mean     min + 1 / lambda - T / (e^(lambda T) - 1),
// with lambda chosen (by bisection) so that the mean is the requested one. A decaying
// density needs min < mean < min + T / 2 (at min + T / 2 it is flat). X is drawn by
// inverting its distribution function: X = -ln(1 - u (1 - e^(-lambda T))) / lambda.
//
// Onsets and durations are rounded to whole milliseconds (each gap is rounded before it
// is added), so that a run's events table states them exactly.
//
// The draws are run `place`'s design sequence (study_random.h): first the shuffle, one
// uniform per swap, then one uniform per gap, in trial order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "design/protocol.h"

namespace tolvane::study {

struct DesignSettings {
  std::vector<std::string> conditions;
  int trials = 0;  // per condition per run
  double durationSeconds = 0.0;
  double isiMinSeconds = 0.0, isiMeanSeconds = 0.0, isiMaxSeconds = 0.0;
};

// The rate of the truncated exponential of mean m on [0, T], 0 < m < T / 2.
double truncatedExponentialRate(double mean, double span);

// X of the truncated exponential for a uniform u in (0, 1).
double truncatedExponential(double u, double rate, double span);

// The events of run `place`, in milliseconds, conditions in the settings' order.
design::Protocol generateDesign(const DesignSettings& settings, std::uint32_t seed, int place);

}  // namespace tolvane::study
