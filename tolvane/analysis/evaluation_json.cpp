// Writing an evaluation as JSON; see evaluate.h.
#include <cmath>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "tolvane/analysis/evaluation_json.h"

namespace tolvane::analysis {

nlohmann::ordered_json proportionJson(const Proportion& proportion) {
  return {{"count", proportion.count},
          {"total", proportion.total},
          {"rate", number(proportion.rate)},
          {"interval95", {proportion.lower, proportion.upper}}};
}

nlohmann::ordered_json nullThresholdsJson(const std::vector<NullThreshold>& thresholds) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const NullThreshold& threshold : thresholds) {
    list.push_back({{"threshold", threshold.threshold},
                    {"nominalRate", number(threshold.nominalRate)},
                    {"falsePositiveRate", proportionJson(threshold.voxelwise)}});
  }
  return list;
}

void writeJsonFile(const nlohmann::ordered_json& json, const std::filesystem::path& file) {
  formats::AtomicFileWriter writer(file);
  formats::CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(json.dump(2) + "\n");
  out.close();
  writer.commit();
}

nlohmann::ordered_json randomFieldJson(const RandomFieldClusters& clusters,
                                       Connectivity connectivity) {
  const Smoothness& smoothness = clusters.smoothness;
  return {{"clusterFormingP", clusters.formingP},
          {"clusterFormingThreshold", clusters.threshold},
          {"connectivity", neighbourCount(connectivity)},
          {"smoothnessFWHMmm", {number(smoothness.fwhmMm[0]), number(smoothness.fwhmMm[1]),
                                number(smoothness.fwhmMm[2])}},
          {"searchVolumeVoxels", smoothness.voxels},
          {"resels", number(smoothness.resels)},
          {"expectedVoxelsAbove", number(clusters.theory.expectedVoxels)},
          {"expectedClusters", number(clusters.theory.expectedClusters)},
          {"clusterSizeThreshold", clusters.sizeThreshold},
          {"alpha", kClusterAlpha},
          {"largestCluster", clusters.largestCluster}};
}

namespace {

nlohmann::ordered_json effectJson(const EffectError& error) {
  return {{"bias", error.bias}, {"rootMeanSquareError", error.rootMeanSquareError}};
}

// A null study's figures.
void addNullScores(nlohmann::ordered_json& json, const Evaluation& evaluation) {
  const EvaluationRequest& request = evaluation.request;
  json["nullStudy"] = true;
  json["undefinedStatistics"] = evaluation.undefinedStatistics;
  if (evaluation.degreesOfFreedom) json["degreesOfFreedom"] = *evaluation.degreesOfFreedom;
  json["thresholds"] = nullThresholdsJson(evaluation.null->thresholds);
  if (const auto& agreement = evaluation.null->studentAgreement) {
    json["studentT"] = {{"values", agreement->values},
                        {"largestCdfDifference", agreement->largestDifference},
                        {"criticalValue5Percent", agreement->criticalValue5}};
  }
  if (evaluation.null->largestCluster) {
    json["clusterThreshold"] = *request.clusterThreshold;
    json["largestCluster"] = *evaluation.null->largestCluster;
    json["connectivity"] = neighbourCount(request.connectivity);
  }
  if (evaluation.null->randomField) {
    json["randomField"] = randomFieldJson(*evaluation.null->randomField, request.connectivity);
  }
}

}  // namespace

void writeEvaluationJson(const Evaluation& evaluation, const std::filesystem::path& file) {
  using Json = nlohmann::ordered_json;
  const EvaluationRequest& request = evaluation.request;
  Json json;
  json["truth"] = request.truth.string();
  json["truthKind"] = evaluation.labelTruth ? "labels" : "amplitudes";
  json["statistic"] = request.stat.string();
  json["mask"] = {{"source", evaluation.mask.source}, {"voxels", evaluation.mask.voxels}};
  if (request.effect) json["effectMap"] = request.effect->string();
  if (request.trueEffect) json["trueEffect"] = *request.trueEffect;
  if (evaluation.contrast) {
    json["contrast"] = *request.contrast;
    Json weights = Json::object();
    for (std::size_t c = 0; c < evaluation.contrast->conditions.size(); ++c) {
      if (evaluation.contrast->weights[c] != 0.0)
        weights[evaluation.contrast->conditions[c]] = evaluation.contrast->weights[c];
    }
    json["contrastWeights"] = weights;
  }
  if (request.contrast || request.sign || evaluation.null) {
    json["sign"] = sidednessName(evaluation.sign);
  }
  json["activeWhen"] = evaluation.sign == Sidedness::TwoSided   ? "|statistic| > threshold"
                       : evaluation.sign == Sidedness::Negative ? "-statistic > threshold"
                                                                : "statistic > threshold";
  if (evaluation.null) {
    addNullScores(json, evaluation);
    writeJsonFile(json, file);
    return;
  }
  json["positives"] = evaluation.roc.positives;
  json["negatives"] = evaluation.roc.negatives;
  json["undefinedStatistics"] = evaluation.undefinedStatistics;
  json["areaUnderCurve"] = evaluation.roc.area;
  json["areaNullStandardDeviation"] = evaluation.roc.nullStandardDeviation;
  Json curve = Json::array();
  for (const RocPoint& point : evaluation.roc.points) {
    curve.push_back({{"falsePositiveRate", point.falsePositiveRate},
                     {"truePositiveRate", point.truePositiveRate},
                     {"lowestActive", point.lowestActive ? number(*point.lowestActive) : Json()}});
  }
  json["rocCurve"] = curve;
  Json thresholds = Json::array();
  for (const ThresholdCounts& counts : evaluation.counts) {
    thresholds.push_back({{"threshold", counts.threshold},
                          {"truePositives", counts.truePositives},
                          {"falsePositives", counts.falsePositives},
                          {"falseNegatives", counts.falseNegatives},
                          {"trueNegatives", counts.trueNegatives},
                          {"truePositiveRate", counts.truePositiveRate()},
                          {"falsePositiveRate", counts.falsePositiveRate()}});
  }
  json["thresholds"] = thresholds;
  Json regions = Json::array();
  for (const RegionScore& region : evaluation.regions) {
    Json entry{{"name", region.name},
               {"voxels", region.voxels},
               {"peakStatistic", number(region.peakStatistic)},
               {"peakVoxel", region.peakVoxel},
               {"detected", region.detected}};
    if (region.effect) entry["effectError"] = effectJson(*region.effect);
    regions.push_back(entry);
  }
  json["regions"] = regions;
  if (evaluation.effect) json["effectError"] = effectJson(*evaluation.effect);

  writeJsonFile(json, file);
}

}  // namespace tolvane::analysis
