// The regions' own responses in a run; see response_truth.h.
#include "tolvane/simulate/response_truth.h"

#include <algorithm>

#include "formats/text_parsing.h"
#include "tolvane/study/response_draws.h"

namespace tolvane::simulate {

RegionResponses regionResponses(const study::Study& study, int runPlace) {
  const int subject = runPlace / study.runs + 1;
  const study::RunDesign& run = study.runDesign(runPlace);
  RegionResponses responses;
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    design::ResponseShape shape = study::drawnResponse(study, r, subject);
    responses.peakLatencySeconds.push_back(design::peakLatencySeconds(shape));
    std::vector<std::vector<float>> predictors;
    if (shape.isCanonical()) {
      predictors = run.predictors;
    } else {
      const std::vector<double> kernel =
          design::sampledResponse(shape, study.grid.trMilliseconds);
      for (const design::Condition& condition : run.protocol.conditions) {
        predictors.push_back(design::responsePredictor(condition, run.protocol.unit,
                                                       study.grid.trMilliseconds,
                                                       study.grid.timePoints, kernel));
      }
    }
    std::vector<float> peaks;
    for (const std::vector<float>& values : predictors) {
      peaks.push_back(values.empty() ? 0.0f : *std::max_element(values.begin(), values.end()));
    }
    responses.shapes.push_back(std::move(shape));
    responses.predictors.push_back(std::move(predictors));
    responses.peaks.push_back(std::move(peaks));
  }
  return responses;
}

std::string responseColumnsHeader() {
  std::string text = "\thrf_model";
  for (std::size_t p = 0; p < study::kResponseParameters; ++p) {
    text += std::string("\thrf_") + study::responseParameterKey(p);
  }
  return text + "\thrf_peak_latency_s";
}

std::string responseColumns(const RegionResponses& responses, std::optional<std::size_t> region) {
  std::string text = "\t";
  if (!region) {
    for (std::size_t column = 0; column < study::kResponseParameters + 2; ++column) {
      text += column ? "\tn/a" : "n/a";
    }
    return text;
  }
  const design::ResponseShape& shape = responses.shapes[*region];
  const bool gamma = shape.model == design::ResponseModel::Gamma;
  const bool fir = shape.model == design::ResponseModel::Fir;
  text += fir ? "fir" : gamma ? "gamma" : "twogamma";
  const double values[] = {shape.peakDelaySeconds, shape.undershootDelaySeconds,
                           shape.peakDispersionSeconds, shape.undershootDispersionSeconds,
                           shape.undershootRatio};
  for (std::size_t p = 0; p < study::kResponseParameters; ++p) {
    const bool used = !fir && (!gamma || p == 0 || p == 2);
    text += '\t' + (used ? formats::shortestText(values[p]) : std::string("n/a"));
  }
  return text + '\t' + formats::shortestText(responses.peakLatencySeconds[*region]);
}

}  // namespace tolvane::simulate
