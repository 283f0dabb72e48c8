// Scoring a map against the truth; see evaluate.h.
#include "tolvane/analysis/evaluate.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/truth_regions.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::analysis {
namespace {

void checkSameGrid(const formats::ScalarVolume& truth, const std::filesystem::path& truthFile,
                   const formats::ScalarVolume& map, const std::filesystem::path& mapFile) {
  bool same = truth.geometry.dims == map.geometry.dims;
  for (int r = 0; r < 3 && same; ++r) {
    for (int c = 0; c < 4; ++c) {
      same = same && std::fabs(truth.geometry.frame.voxelToWorld.m[r][c] -
                               map.geometry.frame.voxelToWorld.m[r][c]) <= kAffineTolerance;
    }
  }
  if (!same) {
    throw formats::InputError(mapFile.string() + ": expected the grid of the truth " +
                              truthFile.string() + " (" + describeGeometry(truth.geometry) +
                              "), found " + describeGeometry(map.geometry));
  }
}

std::array<std::int64_t, 3> voxelOf(std::size_t index, const std::array<std::int64_t, 3>& dims) {
  const auto v = static_cast<std::int64_t>(index);
  return {v % dims[0], (v / dims[0]) % dims[1], v / (dims[0] * dims[1])};
}

// Error of the estimate over `voxels`, against the truth's values or one true effect.
EffectError effectError(const std::vector<std::size_t>& voxels, const std::vector<double>& estimate,
                        const std::vector<double>& truth, std::optional<double> trueEffect) {
  double sum = 0.0, squares = 0.0;
  for (std::size_t v : voxels) {
    const double error = estimate[v] - (trueEffect ? *trueEffect : truth[v]);
    sum += error;
    squares += error * error;
  }
  const double count = double(voxels.size());
  return {sum / count, std::sqrt(squares / count)};
}

nlohmann::ordered_json effectJson(const EffectError& error) {
  return {{"bias", error.bias}, {"rootMeanSquareError", error.rootMeanSquareError}};
}

// NaN has no JSON number; it is written as null.
nlohmann::ordered_json number(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json();
}

}  // namespace

Evaluation evaluate(const EvaluationRequest& request) {
  Evaluation evaluation;
  evaluation.request = request;
  const formats::ScalarVolume truth = formats::readScalarVolume(request.truth);
  const formats::ScalarVolume stat = formats::readScalarVolume(request.stat);
  checkSameGrid(truth, request.truth, stat, request.stat);
  std::optional<formats::ScalarVolume> effect;
  if (request.effect) {
    effect = formats::readScalarVolume(*request.effect);
    checkSameGrid(truth, request.truth, *effect, *request.effect);
  }
  evaluation.labelTruth = truth.integerStorage;
  if (effect && evaluation.labelTruth && !request.trueEffect) {
    throw formats::InputError(request.truth.string() +
                              ": a label image holds no amplitudes; "
                              "scoring the effect map needs the true effect as a number");
  }

  std::vector<char> positive(truth.values.size());
  for (std::size_t v = 0; v < positive.size(); ++v) positive[v] = truth.values[v] != 0.0;
  const RocCurve counted = [&] {
    std::int64_t positives = 0;
    for (char p : positive) positives += p;
    if (positives == 0 || positives == std::int64_t(positive.size())) {
      throw formats::InputError(request.truth.string() +
                                ": expected both positive (non-zero) and negative (zero) "
                                "voxels, found " +
                                std::to_string(positives) + " positives among " +
                                std::to_string(positive.size()) + " voxels");
    }
    return rocCurve(stat.values, positive);
  }();
  evaluation.roc = counted;
  evaluation.roc.points = thinned(counted.points, kWrittenCurveStep);
  for (double value : stat.values) evaluation.undefinedStatistics += std::isnan(value);
  for (double threshold : request.thresholds) {
    evaluation.counts.push_back(countsAt(stat.values, positive, threshold));
  }

  const std::vector<TruthRegion> regions =
      evaluation.labelTruth ? labelRegions(truth.values)
                            : connectedRegions(truth.values, truth.geometry.dims);
  for (const TruthRegion& region : regions) {
    RegionScore score{region.name,
                      std::int64_t(region.voxels.size()),
                      std::numeric_limits<double>::quiet_NaN(),
                      {},
                      {},
                      {}};
    std::size_t peak = region.voxels.front();
    for (std::size_t v : region.voxels) {
      if (!std::isnan(stat.values[v]) && !(stat.values[v] <= score.peakStatistic)) {
        score.peakStatistic = stat.values[v];
        peak = v;
      }
    }
    score.peakVoxel = voxelOf(peak, truth.geometry.dims);
    for (double threshold : request.thresholds)
      score.detected.push_back(score.peakStatistic > threshold);
    if (effect)
      score.effect = effectError(region.voxels, effect->values, truth.values, request.trueEffect);
    evaluation.regions.push_back(std::move(score));
  }
  if (effect) {
    std::vector<std::size_t> positives;
    for (std::size_t v = 0; v < positive.size(); ++v) {
      if (positive[v]) positives.push_back(v);
    }
    evaluation.effect = effectError(positives, effect->values, truth.values, request.trueEffect);
  }
  return evaluation;
}

void writeEvaluationJson(const Evaluation& evaluation, const std::filesystem::path& file) {
  using Json = nlohmann::ordered_json;
  const EvaluationRequest& request = evaluation.request;
  Json json;
  json["truth"] = request.truth.string();
  json["truthKind"] = evaluation.labelTruth ? "labels" : "amplitudes";
  json["statistic"] = request.stat.string();
  if (request.effect) json["effectMap"] = request.effect->string();
  if (request.trueEffect) json["trueEffect"] = *request.trueEffect;
  json["activeWhen"] = "statistic > threshold";
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

  formats::AtomicFileWriter writer(file);
  formats::CheckedOutputFile out(writer.temporaryPath(), file.string());
  out.write(json.dump(2) + "\n");
  out.close();
  writer.commit();
}

void nameLabelRegions(Evaluation& evaluation, const std::filesystem::path& truth) {
  const std::filesystem::path table = dataset::regionTableOf(truth);
  if (table.empty() || !std::filesystem::is_regular_file(table)) return;
  const std::map<long, std::string> names = dataset::readRegionNames(table);
  const std::string prefix = "label ";
  for (RegionScore& region : evaluation.regions) {
    if (region.name.compare(0, prefix.size(), prefix) != 0) continue;
    const auto label = formats::parseInt(region.name.substr(prefix.size()));
    const auto found = label ? names.find(*label) : names.end();
    if (found != names.end()) region.name = found->second + " (" + region.name + ")";
  }
}

}  // namespace tolvane::analysis
