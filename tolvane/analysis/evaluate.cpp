// Scoring a map against the truth; see evaluate.h.
#include "tolvane/analysis/evaluate.h"

#include <algorithm>
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

// The residuals' smoothness that glm recorded beside the map, over `voxels` voxels.
Smoothness recordedSmoothness(const std::filesystem::path& stat,
                              const formats::MapGeometry& geometry, std::int64_t voxels) {
  const nlohmann::json sidecar = readSidecar(stat);
  const auto fwhm = sidecar.find("SmoothnessFWHMmm");
  if (fwhm == sidecar.end() || !fwhm->is_array() || fwhm->size() != 3 ||
      !std::all_of(fwhm->begin(), fwhm->end(), [](const auto& v) { return v.is_number(); })) {
    throw formats::InputError(
        dataset::sidecarOf(stat).string() +
        ": --cluster-p needs the residuals' smoothness (SmoothnessFWHMmm) that tolvane glm "
        "records beside its maps; fit the run again with tolvane glm");
  }
  const formats::Point3 sizes = formats::voxelSizes(geometry.frame.voxelToWorld);
  Smoothness smoothness;
  smoothness.voxels = voxels;
  double volume = 1.0;
  for (std::size_t d = 0; d < 3; ++d) {
    smoothness.fwhmMm[d] = (*fwhm)[d].get<double>();
    smoothness.fwhmVoxels[d] = smoothness.fwhmMm[d] / sizes[d];
    volume *= smoothness.fwhmVoxels[d];
  }
  smoothness.resels = double(voxels) / volume;
  return smoothness;
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
  const EvaluationRequest& request = evaluation.request;
  if (request.clusterThreshold) {
    scores.largestCluster =
        largestCluster(sided, geometry.dims, *request.clusterThreshold, request.connectivity);
  }
  if (request.clusterP) {
    if (!evaluation.degreesOfFreedom) {
      throw formats::InputError(request.stat.string() +
                                ": --cluster-p needs the map's degrees of freedom; its sidecar "
                                "has none, so give --dof");
    }
    RandomFieldClusters clusters;
    clusters.formingP = *request.clusterP;
    clusters.threshold = tThresholdOfP(clusters.formingP, *evaluation.degreesOfFreedom, twoSided);
    clusters.smoothness = recordedSmoothness(request.stat, geometry, evaluation.mask.voxels);
    clusters.theory = clusterExtentTheory(clusters.smoothness, clusters.formingP, twoSided ? 2 : 1);
    clusters.sizeThreshold = clusterSizeThreshold(clusters.theory);
    clusters.largestCluster =
        largestCluster(sided, geometry.dims, clusters.threshold, request.connectivity);
    scores.randomField = clusters;
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
  const bool truthFolder = std::filesystem::is_directory(request.truth);
  const std::string prefix = !request.runPrefix.empty() ? request.runPrefix
                             : truthFolder              ? runPrefixOf(request.stat)
                                                        : runPrefixOf(request.truth);
  // The run's truth mask lies beside its truth.
  EvaluationRequest withMask = request;
  if (withMask.truthMask.empty() && !prefix.empty()) {
    withMask.truthMask = truthMaskOf(truthFolder ? request.truth : request.truth.parent_path(), prefix);
  }
  if (!request.contrast) return evaluate(withMask, formats::readScalarVolume(request.truth), {});
  const ContrastTruth made = contrastTruth(request.truth, prefix, *request.contrast);
  return evaluate(withMask, made.values, ContrastTruthSummary{made.conditions, made.weights});
}

namespace {

// The thresholds as given, then those of the p values on the test's side.
void setThresholds(Evaluation& evaluation) {
  const EvaluationRequest& request = evaluation.request;
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
}

// Per region of the (masked) truth: size, peak, detection and the effect's error.
void scoreRegions(Evaluation& evaluation, const std::vector<double>& positiveTruth,
                  const std::vector<double>& sided, const formats::ScalarVolume& truth,
                  const std::optional<formats::ScalarVolume>& effect) {
  const std::vector<TruthRegion> regions = evaluation.labelTruth
                                               ? labelRegions(positiveTruth)
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
    if (effect) {
      score.effect = effectError(region.voxels, effect->values, truth.values,
                                 evaluation.request.trueEffect);
    }
    evaluation.regions.push_back(std::move(score));
  }
}

// The positives and the scores of a truth with effects, over the mask's voxels.
void scoreEffects(Evaluation& evaluation, const std::vector<double>& sided,
                  const formats::ScalarVolume& truth,
                  const std::optional<formats::ScalarVolume>& effect) {
  const EvaluationRequest& request = evaluation.request;
  const AnalysisMask& mask = evaluation.mask;
  std::vector<char> positive(truth.values.size());
  std::vector<double> positiveTruth(truth.values.size(), 0.0);
  std::vector<double> sidedInside;
  std::vector<char> positiveInside;
  for (std::size_t v = 0; v < positive.size(); ++v) {
    if (!mask.contains(v)) continue;
    positive[v] = isPositive(truth.values[v], evaluation.sign, bool(request.contrast));
    if (positive[v]) positiveTruth[v] = truth.values[v];
    sidedInside.push_back(sided[v]);
    positiveInside.push_back(positive[v]);
  }
  const auto positives = std::count(positiveInside.begin(), positiveInside.end(), char(1));
  if (positives == 0 || positives == std::int64_t(positiveInside.size())) {
    throw formats::InputError(
        request.truth.string() + ": expected both positive and negative voxels for a " +
        sidednessName(evaluation.sign) + " test inside " + mask.describe() + ", found " +
        std::to_string(positives) + " positives among " + std::to_string(positiveInside.size()) +
        " voxels");
  }
  const RocCurve counted = rocCurve(sidedInside, positiveInside);
  evaluation.roc = counted;
  evaluation.roc.points = thinned(counted.points, kWrittenCurveStep);
  for (double threshold : evaluation.thresholds) {
    evaluation.counts.push_back(countsAt(sidedInside, positiveInside, threshold));
  }
  scoreRegions(evaluation, positiveTruth, sided, truth, effect);
  if (effect) {
    std::vector<std::size_t> positiveVoxels;
    for (std::size_t v = 0; v < positive.size(); ++v) {
      if (positive[v]) positiveVoxels.push_back(v);
    }
    evaluation.effect =
        effectError(positiveVoxels, effect->values, truth.values, request.trueEffect);
  }
}

}  // namespace

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
  evaluation.mask = resolveMask(request.mask, request.truthMask, truth.geometry);
  const AnalysisMask& mask = evaluation.mask;

  std::int64_t nonZero = 0;
  for (std::size_t v = 0; v < truth.values.size(); ++v)
    nonZero += mask.contains(v) && truth.values[v] != 0.0;
  const bool nullStudy = nonZero == 0;
  evaluation.sign = request.sign                      ? *request.sign
                    : (request.contrast || nullStudy) ? Sidedness::TwoSided
                                                      : Sidedness::Positive;
  evaluation.degreesOfFreedom =
      request.degreesOfFreedom ? request.degreesOfFreedom : sidecarDegreesOfFreedom(request.stat);
  setThresholds(evaluation);
  // Outside the mask the statistic is undefined: not counted, and no cluster reaches it.
  std::vector<double> sided = sidedStatistic(stat.values, evaluation.sign);
  for (std::size_t v = 0; v < sided.size(); ++v) {
    if (!mask.contains(v)) {
      sided[v] = std::numeric_limits<double>::quiet_NaN();
    } else {
      evaluation.undefinedStatistics += std::isnan(sided[v]);
    }
  }

  if (nullStudy) {
    for (std::size_t v = 0; v < sided.size(); ++v) {
      if (mask.contains(v)) evaluation.nullStatistics.push_back(stat.values[v]);
    }
    evaluation.null = nullScores(evaluation, sided, truth.geometry);
  } else {
    scoreEffects(evaluation, sided, truth, effect);
  }
  evaluation.mask.inside.clear();
  evaluation.mask.inside.shrink_to_fit();
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
