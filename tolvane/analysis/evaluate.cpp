// Scoring a map against the truth; see evaluate.h.
#include "tolvane/analysis/evaluate.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

#include "formats/affine.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/truth_regions.h"
#include "tolvane/dataset/names.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::analysis {
namespace {

void checkSameGrid(const formats::ScalarVolume& truth, const std::filesystem::path& truthFile,
                   const formats::ScalarVolume& map, const std::filesystem::path& mapFile) {
  if (truth.geometry.dims != map.geometry.dims ||
      !formats::samePlacement(truth.geometry.frame.voxelToWorld, map.geometry.frame.voxelToWorld)) {
    throw formats::InputError(mapFile.string() + ": expected the grid of the truth " +
                              truthFile.string() + " (" + describeGeometry(truth.geometry) +
                              "), found " + describeGeometry(map.geometry));
  }
}

// The JSON sidecar of an image (X.json beside X.nii[.gz]); empty when it has none.
nlohmann::json readSidecar(const std::filesystem::path& image) {
  std::ifstream in(dataset::sidecarOf(image));
  if (!in) return nlohmann::json::object();
  nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
  return json.is_object() ? json : nlohmann::json::object();
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

// A map that holds p values ranks backwards: refused before it is scored.
void refusePValues(const std::filesystem::path& stat) {
  bool pValues = stat.filename().string().find("_stat-p_") != std::string::npos;
  const nlohmann::json sidecar = readSidecar(stat);
  if (sidecar.contains("Statistic") && sidecar["Statistic"] == "p") pValues = true;
  if (pValues) {
    throw formats::InputError(stat.string() +
                              ": this is a map of p values, where smaller is stronger, "
                              "so it would rank backwards; give the t map (_stat-t_) instead");
  }
}

// The degrees of freedom that glm wrote beside a t map, if any.
std::optional<int> sidecarDegreesOfFreedom(const std::filesystem::path& stat) {
  const nlohmann::json sidecar = readSidecar(stat);
  if (sidecar.contains("DegreesOfFreedom") && sidecar["DegreesOfFreedom"].is_number_integer()) {
    return sidecar["DegreesOfFreedom"].get<int>();
  }
  return std::nullopt;
}

// The statistic as the test compares it: larger is stronger evidence on the chosen side.
std::vector<double> sidedStatistic(const std::vector<double>& t, Sidedness sign) {
  std::vector<double> sided(t);
  for (double& value : sided) {
    if (sign == Sidedness::TwoSided) value = std::fabs(value);
    if (sign == Sidedness::Negative) value = -value;
  }
  return sided;
}

bool isPositive(double truth, Sidedness sign, bool contrast) {
  if (!contrast || sign == Sidedness::TwoSided) return truth != 0.0;
  return sign == Sidedness::Positive ? truth > 0.0 : truth < 0.0;
}

NullScores nullScores(const Evaluation& evaluation, const std::vector<double>& sided,
                      const formats::MapGeometry& geometry) {
  NullScores scores;
  const bool twoSided = evaluation.sign == Sidedness::TwoSided;
  for (double threshold : evaluation.thresholds) {
    scores.thresholds.push_back(
        {threshold,
         evaluation.degreesOfFreedom
             ? nominalRate(threshold, *evaluation.degreesOfFreedom, twoSided)
             : std::numeric_limits<double>::quiet_NaN(),
         voxelsAbove(sided, threshold)});
  }
  if (evaluation.degreesOfFreedom) {
    scores.studentAgreement = cdfAgreement(evaluation.nullStatistics, *evaluation.degreesOfFreedom);
  }
  if (evaluation.request.clusterThreshold) {
    scores.largestCluster =
        largestCluster(sided, geometry.dims, *evaluation.request.clusterThreshold);
  }
  return scores;
}

}  // namespace

const char* sidednessName(Sidedness sign) {
  switch (sign) {
    case Sidedness::TwoSided:
      return "two-sided";
    case Sidedness::Positive:
      return "positive";
    case Sidedness::Negative:
      return "negative";
  }
  return "";
}

Evaluation evaluate(const EvaluationRequest& request) {
  refusePValues(request.stat);
  if (!request.contrast) return evaluate(request, formats::readScalarVolume(request.truth), {});
  const std::string prefix = !request.runPrefix.empty() ? request.runPrefix
                             : std::filesystem::is_directory(request.truth)
                                 ? runPrefixOf(request.stat)
                                 : runPrefixOf(request.truth);
  const ContrastTruth made = contrastTruth(request.truth, prefix, *request.contrast);
  return evaluate(request, made.values, ContrastTruthSummary{made.conditions, made.weights});
}

Evaluation evaluate(const EvaluationRequest& request, const formats::ScalarVolume& truth,
                    std::optional<ContrastTruthSummary> contrast) {
  Evaluation evaluation;
  evaluation.request = request;
  evaluation.contrast = std::move(contrast);
  refusePValues(request.stat);
  const formats::ScalarVolume stat = formats::readScalarVolume(request.stat);
  checkSameGrid(truth, request.truth, stat, request.stat);
  std::optional<formats::ScalarVolume> effect;
  if (request.effect) {
    effect = formats::readScalarVolume(*request.effect);
    checkSameGrid(truth, request.truth, *effect, *request.effect);
  }
  evaluation.labelTruth = truth.integerStorage && !request.contrast;
  if (effect && evaluation.labelTruth && !request.trueEffect) {
    throw formats::InputError(request.truth.string() +
                              ": a label image holds no amplitudes; "
                              "scoring the effect map needs the true effect as a number");
  }

  std::int64_t nonZero = 0;
  for (double value : truth.values) nonZero += value != 0.0;
  const bool nullStudy = nonZero == 0;
  evaluation.sign = request.sign                      ? *request.sign
                    : (request.contrast || nullStudy) ? Sidedness::TwoSided
                                                      : Sidedness::Positive;
  evaluation.degreesOfFreedom =
      request.degreesOfFreedom ? request.degreesOfFreedom : sidecarDegreesOfFreedom(request.stat);
  evaluation.thresholds = request.thresholds;
  for (double p : request.pThresholds) {
    if (!evaluation.degreesOfFreedom) {
      throw formats::InputError(request.stat.string() +
                                ": a threshold given as a p value needs the map's degrees of "
                                "freedom; its sidecar has none, so give --dof");
    }
    evaluation.thresholds.push_back(
        tThresholdOfP(p, *evaluation.degreesOfFreedom, evaluation.sign == Sidedness::TwoSided));
  }
  const std::vector<double> sided = sidedStatistic(stat.values, evaluation.sign);
  for (double value : sided) evaluation.undefinedStatistics += std::isnan(value);

  if (nullStudy) {
    evaluation.nullStatistics = stat.values;
    evaluation.null = nullScores(evaluation, sided, truth.geometry);
    return evaluation;
  }

  std::vector<char> positive(truth.values.size());
  std::int64_t positives = 0;
  for (std::size_t v = 0; v < positive.size(); ++v) {
    positive[v] = isPositive(truth.values[v], evaluation.sign, bool(request.contrast));
    positives += positive[v];
  }
  if (positives == 0 || positives == std::int64_t(positive.size())) {
    throw formats::InputError(
        request.truth.string() + ": expected both positive and negative voxels for a " +
        sidednessName(evaluation.sign) + " test, found " + std::to_string(positives) +
        " positives among " + std::to_string(positive.size()) + " voxels");
  }
  const RocCurve counted = rocCurve(sided, positive);
  evaluation.roc = counted;
  evaluation.roc.points = thinned(counted.points, kWrittenCurveStep);
  for (double threshold : evaluation.thresholds) {
    evaluation.counts.push_back(countsAt(sided, positive, threshold));
  }

  std::vector<double> positiveTruth(truth.values.size(), 0.0);
  for (std::size_t v = 0; v < positive.size(); ++v) {
    if (positive[v]) positiveTruth[v] = truth.values[v];
  }
  const std::vector<TruthRegion> regions =
      evaluation.labelTruth ? labelRegions(truth.values)
                            : connectedRegions(positiveTruth, truth.geometry.dims);
  for (const TruthRegion& region : regions) {
    RegionScore score{region.name,
                      std::int64_t(region.voxels.size()),
                      std::numeric_limits<double>::quiet_NaN(),
                      {},
                      {},
                      {}};
    std::size_t peak = region.voxels.front();
    for (std::size_t v : region.voxels) {
      if (!std::isnan(sided[v]) && !(sided[v] <= score.peakStatistic)) {
        score.peakStatistic = sided[v];
        peak = v;
      }
    }
    score.peakVoxel = voxelOf(peak, truth.geometry.dims);
    for (double threshold : evaluation.thresholds)
      score.detected.push_back(score.peakStatistic > threshold);
    if (effect)
      score.effect = effectError(region.voxels, effect->values, truth.values, request.trueEffect);
    evaluation.regions.push_back(std::move(score));
  }
  if (effect) {
    std::vector<std::size_t> positiveVoxels;
    for (std::size_t v = 0; v < positive.size(); ++v) {
      if (positive[v]) positiveVoxels.push_back(v);
    }
    evaluation.effect =
        effectError(positiveVoxels, effect->values, truth.values, request.trueEffect);
  }
  return evaluation;
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

void nameAmplitudeRegions(Evaluation& evaluation, const std::filesystem::path& labels) {
  const std::filesystem::path table = dataset::regionTableOf(labels);
  if (evaluation.labelTruth || table.empty() || !std::filesystem::is_regular_file(labels) ||
      !std::filesystem::is_regular_file(table)) {
    return;
  }
  const formats::ScalarVolume image = formats::readScalarVolume(labels);
  const std::map<long, std::string> names = dataset::readRegionNames(table);
  const auto& dims = image.geometry.dims;
  for (RegionScore& region : evaluation.regions) {
    const auto& voxel = region.peakVoxel;
    if (voxel[0] >= dims[0] || voxel[1] >= dims[1] || voxel[2] >= dims[2]) continue;
    const auto index =
        static_cast<std::size_t>((voxel[2] * dims[1] + voxel[1]) * dims[0] + voxel[0]);
    const auto found = names.find(std::lround(image.values[index]));
    if (found != names.end()) region.name = found->second;
  }
}

}  // namespace tolvane::analysis
