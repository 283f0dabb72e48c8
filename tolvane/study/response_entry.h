// The hrf key's entries as written, at the top of a study file and in a region: the
// shape of the haemodynamic response (docs/haemodynamics.md). response_keys.h reads
// them.
//
//   hrf = "gamma"                                         a model, with its defaults
//   hrf = { model = "twogamma", peak_delay_s = { mean = 6, sd = 0.5, region_sd = 0.3 },
//           undershoot_ratio = 4 }                        parameters, fixed or drawn
//   hrf = { model = "fir", values = [0, 0.4, 1, 0.7, 0.2], step_s = 1.5 }
//   hrf = { model = "balloon", transit_time_s = { mean = 0.98, sd = 0.2 } }
//
// Each parameter is a number, or { mean, sd, region_sd }: drawn per subject (sd) and per
// region within a subject (region_sd).
//
// trial_sd, a table of condition = spread, varies the amplitude of each trial:
//   trial_sd = { Faces = { relative = 0.3 }, Houses = 2.0, Objects = "0.5%" }
// relative: a share of each region's effect; a number or a percentage: an absolute
// spread in data units or percent of the baseline.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/study/key_place.h"

namespace tolvane::study {

// A response parameter as written: mean + sd z_subject + region_sd z_region.
struct DrawnValueEntry {
  double mean = 0.0;
  double sd = 0.0;
  double regionSd = 0.0;
  KeyPlace place;
};

// The parameters of the two-gamma and of the balloon model, in the order of their
// draws.
enum class ResponseParameter {
  PeakDelay,
  UndershootDelay,
  PeakDispersion,
  UndershootDispersion,
  UndershootRatio,
  SignalDecay,       // balloon: kappa
  Autoregulation,    // balloon: gamma
  TransitTime,       // balloon: tau
  GrubbExponent,     // balloon: alpha
  OxygenExtraction,  // balloon: rho
  Efficacy,          // balloon: epsilon
};
constexpr std::size_t kResponseParameters = 11;
constexpr std::size_t kFirstBalloonParameter = 5;

// The key of each parameter ("peak_delay_s", ...), by ResponseParameter.
const char* responseParameterKey(std::size_t parameter);

struct ResponseEntry {
  KeyPlace place;
  std::optional<std::string> model;
  std::optional<DrawnValueEntry> parameters[kResponseParameters];
  std::optional<std::vector<double>> firValues;
  std::optional<double> firStepSeconds;
};

// A condition's trial_sd as written.
struct TrialSdEntry {
  std::string condition;
  double value = 0.0;
  bool relative = false;
  bool percent = false;  // absolute, in percent of the baseline
  KeyPlace place;
};

}  // namespace tolvane::study
