// Scoring every run of a dataset, and the group maps, in one call: a methods study's
// figures.
//
// Each run's first-level t map of the contrast (first_level.h: reused or fitted) is
// scored against the run's contrast truth as evaluate.h scores one map. The pooled
// figures depend on the study:
//   - with effects: the mean ROC area over runs with its standard deviation, and at
//     each threshold the counts summed over runs with the rates they give;
//   - a null study: at each threshold the voxelwise rate over all runs' voxels, the
//     family-wise rate (the share of runs with any voxel above the threshold), both
//     with Wilson intervals and beside the threshold's nominal rate; with a cluster
//     threshold T and size K, the cluster-level family-wise rate (the share of runs
//     with a cluster of at least K voxels above T); and every run's t values together
//     against Student's t on the runs' degrees of freedom.
// Every figure is over the brain mask (scoring.mask; by default each run's truth mask),
// and the first-level fits are made inside it. A glm folder given by the user is only
// read (first_level.h).
//
// When the group folder holds the contrast's group t map (tolvane group), it is scored
// against the group truth (analysis::groupContrastTruth).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/evaluate.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/progress.h"

namespace tolvane::group {

struct DatasetEvaluationRequest {
  std::filesystem::path dataset;
  std::optional<std::filesystem::path> glmRoot, groupRoot;  // defaults: dataset/analysis_files.h
  // The first-level model; absent: the study's (first_level.h, chooseNoiseModel).
  std::optional<analysis::Prewhitening> prewhiten;
  std::vector<std::string> runs;  // a selection as report --run takes it; empty: all
  // The contrast (required), the side, the thresholds and the cluster settings; its
  // truth and statistic are set per run.
  analysis::EvaluationRequest scoring;
  bool allowIncomplete = false;  // score a dataset missing runs its study promises
};

struct RunEvaluation {
  std::string run;  // the run's prefix
  bool fitted = false;
  analysis::Evaluation evaluation;
};

struct PooledThreshold {
  double threshold = 0.0;
  double nominalRate = 0.0;  // NaN without degrees of freedom
  // A study with effects: the summed counts.
  analysis::ThresholdCounts counts;
  // A null study.
  analysis::Proportion voxelwise, familyWise;
};

struct DatasetEvaluation {
  std::vector<RunEvaluation> runs;
  bool nullStudy = false;
  analysis::Sidedness sign = analysis::Sidedness::TwoSided;
  double meanArea = 0.0, areaStandardDeviation = 0.0;  // with effects
  std::vector<PooledThreshold> thresholds;
  std::optional<analysis::CdfAgreement> studentAgreement;  // null, with degrees of freedom
  std::optional<analysis::Proportion> clusterFamilyWise;   // null, with a cluster setting
  // Null, with a cluster-forming p: the share of runs with a cluster of at least their
  // own random-field K above the forming threshold.
  std::optional<analysis::Proportion> randomFieldFamilyWise;
  std::optional<analysis::Evaluation> group;
};

DatasetEvaluation evaluateDataset(const DatasetEvaluationRequest& request,
                                  const analysis::Progress& progress);

// The per-run table and the pooled figures, as text and as JSON.
void printDatasetEvaluation(const DatasetEvaluation& evaluation, std::ostream& out);
void writeDatasetEvaluationJson(const DatasetEvaluation& evaluation,
                                const std::filesystem::path& file);

}  // namespace tolvane::group
