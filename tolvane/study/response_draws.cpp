// The regions' responses, resolved and drawn; see response_draws.h.
#include "tolvane/study/response_draws.h"

#include <array>
#include <cmath>
#include <string>

#include "engine/counter_noise.h"
#include "formats/text_parsing.h"
#include "tolvane/study/study_random.h"

namespace tolvane::study {
namespace {

using Values = std::array<double, kResponseParameters>;

// The canonical two-gamma's, then the balloon model's (design/balloon.h).
constexpr Values kDefaultValues = {6.0, 16.0, 1.0, 1.0, 6.0, 0.65, 0.41, 0.98, 0.32, 0.34, 0.54};
// A delay beyond this would put the response's bulk past the kernel's 32 s.
constexpr double kMaxDelaySeconds = 30.0;
constexpr double kMaxFirStepSeconds = 100.0;

// A region's response with the place of each key it took, for messages.
struct ResolvedResponse {
  RegionResponse response;
  KeyPlace modelPlace;
  std::array<KeyPlace, kResponseParameters> places;
  bool given[kResponseParameters] = {};
};

[[noreturn]] void failAt(const StudyFile& file, const KeyPlace& place, const std::string& what) {
  formats::failAt(file.path, place.line, "key " + place.key + ": " + what);
}

design::ResponseModel modelNamed(const StudyFile& file, const KeyPlace& place,
                                 const std::string& name) {
  if (name == "twogamma") return design::ResponseModel::TwoGamma;
  if (name == "gamma") return design::ResponseModel::Gamma;
  if (name == "fir") return design::ResponseModel::Fir;
  if (name == "balloon") return design::ResponseModel::Balloon;
  failAt(file, place,
         "expected \"twogamma\", \"gamma\", \"fir\" or \"balloon\", found " +
             formats::inQuotes(name));
}

// The keys of `entry` over those already in `resolved`.
void takeKeys(const StudyFile& file, const ResponseEntry& entry, ResolvedResponse& resolved) {
  RegionResponse& response = resolved.response;
  if (entry.model) response.model = modelNamed(file, entry.place, *entry.model);
  if (entry.firValues) response.firValues = *entry.firValues;
  if (entry.firStepSeconds) response.firStepSeconds = *entry.firStepSeconds;
  for (std::size_t p = 0; p < kResponseParameters; ++p) {
    if (!entry.parameters[p]) continue;
    const DrawnValueEntry& value = *entry.parameters[p];
    response.parameters[p] = {value.mean, value.sd, value.regionSd};
    resolved.places[p] = value.place;
    resolved.given[p] = true;
  }
}

// Empty when the values make a response that rises from 0 to a peak and falls back
// (and, for the balloon model, an extraction fraction below 1); else what is wrong.
std::string problemWith(design::ResponseModel model, const Values& values) {
  for (std::size_t p = 0; p < kResponseParameters; ++p) {
    if (usedByModel(model, p) && !(values[p] > 0.0 && std::isfinite(values[p]))) {
      return std::string(responseParameterKey(p)) + " is " + formats::shortestText(values[p]) +
             "; expected a value above 0";
    }
  }
  if (model == design::ResponseModel::Balloon) {
    const auto rho = static_cast<std::size_t>(ResponseParameter::OxygenExtraction);
    if (!(values[rho] < 1.0)) {
      return std::string("oxygen_extraction is ") + formats::shortestText(values[rho]) +
             "; expected a fraction below 1";
    }
    return {};
  }
  for (const std::size_t delay : {0u, 1u}) {
    const std::size_t dispersion = delay + 2;
    if (!usedByModel(model, delay)) continue;
    if (values[delay] > kMaxDelaySeconds) {
      return std::string(responseParameterKey(delay)) + " is " +
             formats::shortestText(values[delay]) + "; expected at most 30 s";
    }
    if (!(values[delay] > values[dispersion])) {
      return std::string(responseParameterKey(delay)) + " (" +
             formats::shortestText(values[delay]) + ") is not above " +
             responseParameterKey(dispersion) + " (" + formats::shortestText(values[dispersion]) +
             "); expected a delay above its dispersion, so the response rises from 0";
    }
  }
  return {};
}

void checkFir(const StudyFile& file, const ResolvedResponse& resolved, double trSeconds) {
  const RegionResponse& response = resolved.response;
  if (response.model != design::ResponseModel::Fir) {
    if (!response.firValues.empty() || response.firStepSeconds > 0.0) {
      failAt(file, resolved.modelPlace, "values and step_s belong to model = \"fir\"");
    }
    return;
  }
  if (response.firValues.empty()) {
    failAt(file, resolved.modelPlace, "expected values, the FIR response at each step");
  }
  double sum = 0.0;
  for (const double value : response.firValues) sum += value;
  if (!(sum > 0.0 && std::isfinite(sum))) {
    failAt(file, resolved.modelPlace,
           "expected FIR values with a positive sum (the response is scaled to unit sum)");
  }
  const double step = response.firStepSeconds > 0.0 ? response.firStepSeconds : trSeconds;
  if (!(step > 0.0 && step <= kMaxFirStepSeconds)) {
    failAt(file, resolved.modelPlace, "expected step_s above 0 and at most 100 s");
  }
}

ResolvedResponse resolvedFor(const StudyFile& file, const RegionEntry& region, double trSeconds) {
  ResolvedResponse resolved;
  for (std::size_t p = 0; p < kResponseParameters; ++p) {
    resolved.response.parameters[p] = {kDefaultValues[p], 0.0, 0.0};
  }
  for (const std::optional<ResponseEntry>* entry : {&file.response, &region.response}) {
    if (!*entry) continue;
    resolved.modelPlace = (*entry)->place;
    for (KeyPlace& place : resolved.places) {
      if (place.key.empty()) place = (*entry)->place;
    }
    takeKeys(file, **entry, resolved);
  }
  const RegionResponse& response = resolved.response;
  for (std::size_t p = 0; p < kResponseParameters; ++p) {
    if (resolved.given[p] && !usedByModel(response.model, p)) {
      failAt(file, resolved.places[p], "not a parameter of this region's model");
    }
  }
  checkFir(file, resolved, trSeconds);
  if (response.model == design::ResponseModel::Fir) {
    resolved.response.firStepSeconds =
        response.firStepSeconds > 0.0 ? response.firStepSeconds : trSeconds;
    return resolved;
  }
  Values means{};
  for (std::size_t p = 0; p < kResponseParameters; ++p) means[p] = response.parameters[p].mean;
  const std::string problem = problemWith(response.model, means);
  if (!problem.empty()) failAt(file, resolved.modelPlace, "the means: " + problem);
  return resolved;
}

// Every region's parameter values for the subject (from 1).
std::vector<Values> drawnValues(std::uint32_t seed, const std::vector<RegionResponse>& responses,
                               int subject) {
  DrawSequence draws(seed, static_cast<std::uint32_t>(subject - 1), engine::kSubjectStream,
                     static_cast<std::uint32_t>(DrawPurpose::Response));
  Values bySubject{};
  for (double& z : bySubject) z = draws.nextNormal();
  std::vector<Values> values;
  for (const RegionResponse& response : responses) {
    Values region{};
    for (std::size_t p = 0; p < kResponseParameters; ++p) {
      const DrawnValue& drawn = response.parameters[p];
      region[p] = (drawn.mean + drawn.sd * bySubject[p]) + drawn.regionSd * draws.nextNormal();
    }
    values.push_back(region);
  }
  return values;
}

design::ResponseShape shapeOf(const RegionResponse& response, const Values& values) {
  design::ResponseShape shape;
  shape.model = response.model;
  shape.peakDelaySeconds = values[0];
  shape.undershootDelaySeconds = values[1];
  shape.peakDispersionSeconds = values[2];
  shape.undershootDispersionSeconds = values[3];
  shape.undershootRatio = values[4];
  shape.balloon.kappa = values[5];
  shape.balloon.gamma = values[6];
  shape.balloon.tau = values[7];
  shape.balloon.alpha = values[8];
  shape.balloon.rho = values[9];
  shape.balloon.epsilon = values[10];
  shape.firValues = response.firValues;
  shape.firStepSeconds = response.firStepSeconds;
  return shape;
}

}  // namespace

bool usedByModel(design::ResponseModel model, std::size_t parameter) {
  if (model == design::ResponseModel::Fir) return false;
  if (model == design::ResponseModel::Balloon) return parameter >= kFirstBalloonParameter;
  if (parameter >= kFirstBalloonParameter) return false;
  if (model == design::ResponseModel::Gamma) {
    return parameter == static_cast<std::size_t>(ResponseParameter::PeakDelay) ||
           parameter == static_cast<std::size_t>(ResponseParameter::PeakDispersion);
  }
  return true;
}

bool RegionResponse::varies() const {
  for (const DrawnValue& value : parameters) {
    if (value.sd != 0.0 || value.regionSd != 0.0) return true;
  }
  return false;
}

std::vector<RegionResponse> resolveResponses(const StudyFile& file, const Study& study) {
  bool any = file.response.has_value();
  for (const RegionEntry& region : file.regions) any = any || region.response.has_value();
  if (!any) return {};
  const double trSeconds = study.grid.trMilliseconds / 1000.0;
  std::vector<ResolvedResponse> resolved;
  std::vector<RegionResponse> responses;
  for (const RegionEntry& region : file.regions) {
    resolved.push_back(resolvedFor(file, region, trSeconds));
    responses.push_back(resolved.back().response);
  }
  for (int subject = 1; subject <= study.subjects; ++subject) {
    const std::vector<Values> values = drawnValues(study.seed, responses, subject);
    for (std::size_t r = 0; r < values.size(); ++r) {
      if (responses[r].model == design::ResponseModel::Fir || !responses[r].varies()) continue;
      const std::string problem = problemWith(responses[r].model, values[r]);
      if (problem.empty()) continue;
      failAt(file, resolved[r].modelPlace,
             "sub-" + study.subjectLabel(subject) + "'s draw in region " +
                 formats::inQuotes(study.regions[r].name) +
                 ": " + problem + "; make the sd or region_sd smaller");
    }
  }
  return responses;
}

design::ResponseShape drawnResponse(const Study& study, std::size_t region, int subject) {
  return shapeOf(study.responses[region],
                 drawnValues(study.seed, study.responses, subject)[region]);
}

}  // namespace tolvane::study
