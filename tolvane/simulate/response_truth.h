// A run's regions with responses of their own (docs/haemodynamics.md): each region's
// drawn shape (hrf keys), its time to peak, and its predictors, with each trial's
// amplitude when trials vary (trial_sd).
//
// A region whose shape is the canonical two-gamma takes the run design's predictors;
// any other has each condition's events convolved with its own kernel
// (design/response_shapes.h). Peak effects are scaled by the region's own predictors'
// peaks, before trials vary. A condition with a trial spread has, in each region, the
// predictor whose trial i is weighted by its factor (study/trial_amplitudes.h), so
// that the region's amplitude times it gives each trial its own amplitude.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "design/response_shapes.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct RegionResponses {
  bool shapesGiven = false;                    // hrf keys: shapes and latencies are truth
  std::vector<design::ResponseShape> shapes;   // per region
  std::vector<double> peakLatencySeconds;      // per region: when its response peaks
  std::vector<std::vector<std::vector<float>>> predictors;  // per region, per condition
  std::vector<std::vector<float>> peaks;       // per region, per condition: largest value
  // With trial_sd: per condition, per interval of the run's events, per region: the
  // trial's amplitude in data units.
  std::vector<std::vector<std::vector<float>>> trialAmplitudes;
};

// Whether the study's regions need responses of their own (hrf or trial_sd keys).
bool hasRegionResponses(const study::Study& study);

// The shapes of the study's regions in run `runPlace` and their predictors, before
// trials vary.
RegionResponses regionResponses(const study::Study& study, int runPlace);

// Weights each trial of the conditions with a trial spread by its factor, given the
// regions' amplitudes (per region, per condition), and records the trials' amplitudes.
void varyTrials(const study::Study& study, int runPlace,
                const std::vector<std::vector<float>>& regionAmplitudes,
                RegionResponses& responses);

// The region table's columns of the responses (dataset_writer.h): the header's, each
// after a tab, and a region's values (n/a for what its model has not, and for an
// overlap, region nullopt).
std::string responseColumnsHeader();
std::string responseColumns(const RegionResponses& responses, std::optional<std::size_t> region);

// The truth's table of trials: the run's events (rest left out, as in its events.tsv)
// with each region's amplitude for each trial, in data units.
std::string trialTableText(const study::Study& study, int runPlace,
                           const RegionResponses& responses);

}  // namespace tolvane::simulate
