// The regions' own responses in a run; see response_truth.h.
#include "tolvane/simulate/response_truth.h"

#include <algorithm>

#include "formats/text_parsing.h"
#include "tolvane/study/response_draws.h"
#include "tolvane/study/run_events.h"
#include "tolvane/study/trial_amplitudes.h"

namespace tolvane::simulate {

bool hasRegionResponses(const study::Study& study) {
  return !study.responses.empty() || !study.trialSpreads.empty();
}

RegionResponses regionResponses(const study::Study& study, int runPlace) {
  const int subject = runPlace / study.runs + 1;
  const study::RunDesign& run = study.runDesign(runPlace);
  RegionResponses responses;
  responses.shapesGiven = !study.responses.empty();
  for (std::size_t r = 0; r < study.regions.size(); ++r) {
    design::ResponseShape shape = responses.shapesGiven
                                      ? study::drawnResponse(study, r, subject)
                                      : design::ResponseShape{};
    responses.peakLatencySeconds.push_back(design::peakLatencySeconds(shape));
    std::vector<std::vector<float>> predictors;
    if (shape.isCanonical()) {
      predictors = run.predictors;
    } else {
      const double tr = study.grid.trMilliseconds;
      for (const design::Condition& condition : run.protocol.conditions) {
        predictors.push_back(design::shapedPredictor(
            shape,
            design::conditionFineSignal(condition, run.protocol.unit, tr, study.grid.timePoints),
            tr, study.grid.timePoints));
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

void varyTrials(const study::Study& study, int runPlace,
                const std::vector<std::vector<float>>& regionAmplitudes,
                RegionResponses& responses) {
  if (study.trialSpreads.empty()) return;
  const study::RunDesign& run = study.runDesign(runPlace);
  const std::vector<std::vector<double>> deviates = study::trialDeviates(study, runPlace);
  const double tr = study.grid.trMilliseconds;
  responses.trialAmplitudes.assign(run.protocol.conditions.size(), {});
  for (std::size_t c = 0; c < run.protocol.conditions.size(); ++c) {
    const design::Condition& condition = run.protocol.conditions[c];
    const study::TrialSpread& spread = study.trialSpreads[c];
    auto& trials = responses.trialAmplitudes[c];
    trials.assign(condition.intervals.size(), std::vector<float>(study.regions.size()));
    for (std::size_t r = 0; r < study.regions.size(); ++r) {
      const double amplitude = regionAmplitudes[r][c];
      std::vector<double> factors;
      for (std::size_t i = 0; i < condition.intervals.size(); ++i) {
        factors.push_back(study::trialFactor(spread, deviates[c][i], amplitude));
        trials[i][r] = static_cast<float>(amplitude * factors.back());
      }
      if (spread.sd == 0.0) continue;
      responses.predictors[r][c] = design::shapedPredictor(
          responses.shapes[r],
          design::conditionFineSignal(condition, run.protocol.unit, tr, study.grid.timePoints,
                                      &factors),
          tr, study.grid.timePoints);
    }
  }
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
  const char* models[] = {"twogamma", "gamma", "fir", "balloon"};
  text += models[static_cast<int>(shape.model)];
  const double values[study::kResponseParameters] = {
      shape.peakDelaySeconds,      shape.undershootDelaySeconds,
      shape.peakDispersionSeconds, shape.undershootDispersionSeconds,
      shape.undershootRatio,       shape.balloon.kappa,
      shape.balloon.gamma,         shape.balloon.tau,
      shape.balloon.alpha,         shape.balloon.rho,
      shape.balloon.epsilon};
  for (std::size_t p = 0; p < study::kResponseParameters; ++p) {
    text += '\t' + (study::usedByModel(shape.model, p) ? formats::shortestText(values[p])
                                                       : std::string("n/a"));
  }
  return text + '\t' + formats::shortestText(responses.peakLatencySeconds[*region]);
}

std::string trialTableText(const study::Study& study, int runPlace,
                           const RegionResponses& responses) {
  const design::Protocol& protocol = study.runDesign(runPlace).protocol;
  const double tr = study.grid.trMilliseconds;
  struct Row {
    double onsetSeconds, durationSeconds;
    std::size_t condition, trial;
  };
  std::vector<Row> rows;
  for (std::size_t c = 0; c < protocol.conditions.size(); ++c) {
    if (study.rest[c]) continue;
    const auto& intervals = protocol.conditions[c].intervals;
    for (std::size_t i = 0; i < intervals.size(); ++i) {
      const double begin = study::intervalBeginMs(protocol, intervals[i], tr);
      if (begin >= study.runMilliseconds()) continue;
      const double end = study::intervalEndMs(protocol, intervals[i], tr);
      rows.push_back({begin / 1000.0, (end - begin) / 1000.0, c, i});
    }
  }
  std::stable_sort(rows.begin(), rows.end(),
                   [](const Row& a, const Row& b) { return a.onsetSeconds < b.onsetSeconds; });
  std::string text = "onset\tduration\ttrial_type\ttrial_index";
  for (const study::Region& region : study.regions) text += "\tamplitude_" + region.name;
  text += '\n';
  for (const Row& row : rows) {
    text += formats::shortestText(row.onsetSeconds) + '\t' +
            formats::shortestText(row.durationSeconds) + '\t' +
            protocol.conditions[row.condition].name + '\t' + std::to_string(row.trial + 1);
    for (const float amplitude : responses.trialAmplitudes[row.condition][row.trial]) {
      text += '\t' + formats::shortestText(amplitude);
    }
    text += '\n';
  }
  return text;
}

}  // namespace tolvane::simulate
