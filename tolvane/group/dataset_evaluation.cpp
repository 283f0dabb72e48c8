// Scoring a dataset's runs and group maps; see dataset_evaluation.h.
#include "tolvane/group/dataset_evaluation.h"

#include <cmath>
#include <limits>

#include "formats/errors.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/dataset/analysis_files.h"
#include "tolvane/group/first_level.h"

namespace tolvane::group {
namespace {

void poolRunsWithEffects(DatasetEvaluation& result) {
  std::vector<double> areas;
  for (const RunEvaluation& run : result.runs) {
    const analysis::Evaluation& evaluation = run.evaluation;
    if (evaluation.null) continue;
    areas.push_back(evaluation.roc.area);
    for (std::size_t i = 0; i < evaluation.counts.size(); ++i) {
      analysis::ThresholdCounts& pooled = result.thresholds[i].counts;
      pooled.threshold = evaluation.counts[i].threshold;
      pooled.truePositives += evaluation.counts[i].truePositives;
      pooled.falsePositives += evaluation.counts[i].falsePositives;
      pooled.falseNegatives += evaluation.counts[i].falseNegatives;
      pooled.trueNegatives += evaluation.counts[i].trueNegatives;
    }
  }
  double sum = 0.0, squares = 0.0;
  for (double area : areas) sum += area;
  result.meanArea = sum / double(areas.size());
  for (double area : areas) squares += (area - result.meanArea) * (area - result.meanArea);
  result.areaStandardDeviation = areas.size() > 1 ? std::sqrt(squares / double(areas.size() - 1))
                                                  : std::numeric_limits<double>::quiet_NaN();
}

void poolNullRuns(DatasetEvaluation& result, const analysis::EvaluationRequest& scoring) {
  const std::size_t thresholds = result.thresholds.size();
  std::vector<std::int64_t> above(thresholds, 0), voxels(thresholds, 0), runsAbove(thresholds, 0);
  std::int64_t runs = 0, runsWithCluster = 0, runsWithFieldCluster = 0;
  std::vector<double> pooledT;
  std::optional<int> degreesOfFreedom;
  bool sameDegreesOfFreedom = true;
  for (RunEvaluation& run : result.runs) {
    analysis::Evaluation& evaluation = run.evaluation;
    if (!evaluation.null) continue;
    ++runs;
    for (std::size_t i = 0; i < thresholds; ++i) {
      const analysis::Proportion& rate = evaluation.null->thresholds[i].voxelwise;
      above[i] += rate.count;
      voxels[i] += rate.total;
      runsAbove[i] += rate.count > 0;
    }
    if (evaluation.null->largestCluster) {
      runsWithCluster += *evaluation.null->largestCluster >= scoring.clusterSize;
    }
    if (const auto& field = evaluation.null->randomField) {
      runsWithFieldCluster += field->largestCluster >= field->sizeThreshold;
    }
    if (degreesOfFreedom && evaluation.degreesOfFreedom != degreesOfFreedom) {
      sameDegreesOfFreedom = false;
    }
    degreesOfFreedom = evaluation.degreesOfFreedom;
    pooledT.insert(pooledT.end(), evaluation.nullStatistics.begin(),
                   evaluation.nullStatistics.end());
    evaluation.nullStatistics.clear();
    evaluation.nullStatistics.shrink_to_fit();
  }
  for (std::size_t i = 0; i < thresholds; ++i) {
    result.thresholds[i].voxelwise = analysis::proportion(above[i], voxels[i]);
    result.thresholds[i].familyWise = analysis::proportion(runsAbove[i], runs);
  }
  if (scoring.clusterThreshold) {
    result.clusterFamilyWise = analysis::proportion(runsWithCluster, runs);
  }
  if (scoring.clusterP) {
    result.randomFieldFamilyWise = analysis::proportion(runsWithFieldCluster, runs);
  }
  if (degreesOfFreedom && sameDegreesOfFreedom) {
    result.studentAgreement = analysis::cdfAgreement(std::move(pooledT), *degreesOfFreedom);
  }
}

}  // namespace

DatasetEvaluation evaluateDataset(const DatasetEvaluationRequest& request,
                                  const analysis::Progress& progress) {
  if (!request.scoring.contrast) {
    throw formats::InputError(request.dataset.string() +
                              ": scoring a dataset needs the contrast whose maps to score, "
                              "such as --contrast \"Task - Rest\"");
  }
  const std::string& contrast = *request.scoring.contrast;
  const std::vector<dataset::DatasetRun> runs =
      dataset::findRuns(request.dataset, request.runs, request.allowIncomplete);
  FirstLevelRequest firstLevel;
  firstLevel.glmRoot = request.glmRoot ? *request.glmRoot : dataset::defaultGlmRoot(request.dataset);
  firstLevel.userFolder = bool(request.glmRoot);
  firstLevel.contrast = contrast;
  firstLevel.mask = request.scoring.mask;
  // Every run's maps are checked before any is fitted, so that a mismatch costs no fit.
  for (const dataset::DatasetRun& run : runs) {
    chooseNoiseModel(firstLevel, run, request.prewhiten);
    checkFirstLevelMaps(run, firstLevel);
  }
  DatasetEvaluation result;
  for (const dataset::DatasetRun& run : runs) {
    chooseNoiseModel(firstLevel, run, request.prewhiten);
    const FirstLevelMaps maps = firstLevelMaps(run, firstLevel, progress);
    analysis::EvaluationRequest scoring = request.scoring;
    scoring.truthMask = run.brainMask;
    scoring.truth = run.labels.parent_path();
    scoring.stat = maps.t;
    scoring.runPrefix = run.prefix;
    progress("scoring " + run.prefix);
    analysis::Evaluation evaluation = analysis::evaluate(scoring);
    analysis::nameAmplitudeRegions(evaluation, run.labels);
    result.runs.push_back({run.prefix, maps.fitted, std::move(evaluation)});
  }
  const analysis::Evaluation& first = result.runs.front().evaluation;
  result.sign = first.sign;
  result.nullStudy = true;
  for (const RunEvaluation& run : result.runs) {
    result.nullStudy = result.nullStudy && run.evaluation.null;
  }
  for (std::size_t i = 0; i < first.thresholds.size(); ++i) {
    PooledThreshold pooled;
    pooled.threshold = first.thresholds[i];
    pooled.nominalRate = first.degreesOfFreedom
                             ? analysis::nominalRate(pooled.threshold, *first.degreesOfFreedom,
                                                     first.sign == analysis::Sidedness::TwoSided)
                             : std::numeric_limits<double>::quiet_NaN();
    result.thresholds.push_back(pooled);
  }
  if (result.nullStudy) {
    poolNullRuns(result, request.scoring);
  } else {
    poolRunsWithEffects(result);
  }

  const std::filesystem::path groupT = dataset::groupMap(
      request.groupRoot ? *request.groupRoot : dataset::defaultGroupRoot(request.dataset),
      analysis::bidsLabel(contrast), "", "t");
  if (std::filesystem::is_regular_file(groupT)) {
    progress("scoring " + groupT.string());
    analysis::EvaluationRequest scoring = request.scoring;
    scoring.truth = request.dataset / "derivatives" / "tolvane";
    scoring.stat = groupT;
    scoring.truthMask = runs.front().brainMask;
    scoring.degreesOfFreedom.reset();
    result.group = analysis::evaluate(
        scoring, analysis::groupContrastTruth(request.dataset, runs, contrast), std::nullopt);
    analysis::nameAmplitudeRegions(*result.group, runs.front().labels);
  }
  return result;
}

}  // namespace tolvane::group
