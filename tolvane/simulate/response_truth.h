// A run's regions with haemodynamic responses of their own (hrf keys,
// docs/haemodynamics.md): each region's drawn shape, its time to peak and its
// predictors.
//
// A region whose shape is the canonical two-gamma takes the run design's predictors;
// any other has each condition's events convolved with its own kernel
// (design/response_shapes.h). Its peak effects are scaled by its own predictors' peaks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "design/response_shapes.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct RegionResponses {
  std::vector<design::ResponseShape> shapes;   // per region
  std::vector<double> peakLatencySeconds;      // per region: when its response peaks
  std::vector<std::vector<std::vector<float>>> predictors;  // per region, per condition
  std::vector<std::vector<float>> peaks;       // per region, per condition: largest value
};

// The responses of the study's regions in run `runPlace`; the study must have
// responses (study.responses not empty).
RegionResponses regionResponses(const study::Study& study, int runPlace);

// The region table's columns of the responses (dataset_writer.h): the header's, each
// after a tab, and a region's values (n/a for what its model has not, and for an
// overlap, region nullopt).
std::string responseColumnsHeader();
std::string responseColumns(const RegionResponses& responses, std::optional<std::size_t> region);

}  // namespace tolvane::simulate
