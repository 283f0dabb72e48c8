// The names of a dataset's files, in one place for every command that writes or reads
// them (simulate, glm, evaluate, group, report).
//
//   dataset_description.json, README, participants.tsv
//   sub-XX/func/PREFIX_bold.nii.gz, PREFIX_bold.json, PREFIX_events.tsv
//     PREFIX = sub-XX_task-T_run-N: the run's prefix
//   derivatives/tolvane/dataset_description.json                       the truth
//   derivatives/tolvane/task-T_desc-C_effect.nii.gz (+ .json)          the group truth
//   derivatives/tolvane/sub-XX/func/PREFIX_desc-regions_dseg.nii.gz     region labels
//                                   PREFIX_desc-regions_dseg.tsv        region table
//                                   PREFIX_desc-C_effect.nii.gz (+ .json), per condition
//                                   PREFIX_desc-predictors_timeseries.tsv
//                                   PREFIX_desc-brain_mask.nii.gz       with scanner-like
//                                   PREFIX_desc-expectedtsnr_boldmap.nii.gz  noise only
//                                   PREFIX_desc-peaklatency_boldmap.nii.gz (+ .json)
//                                                                      with hrf keys only
//                                   PREFIX_desc-trials_events.tsv      with trial_sd only
//                                   PREFIX_desc-network_timeseries.tsv (+ .json)  with
//                                   PREFIX_desc-network_connectivity.tsv (+ .json) networks
//                                   PREFIX_desc-patterns_similarity.tsv (+ .json) patterns
//                                   PREFIX_desc-confounds_timeseries.tsv (+ .json) the
//                                   head's true motion, with [motion] only
//   derivatives/tolvane-glm/sub-XX/func/                               glm's default place
//     PREFIX_contrast-L_stat-S_statmap.nii.gz (+ .json), S one of effect, variance, t, p
//     PREFIX_design.tsv
//     PREFIX_contrast-L_evaluation.json                                evaluate's scores
//   group_contrast-L_stat-S_statmap.nii.gz (+ .json)   group outputs, without a subject
//   code/tolvane/STUDY.toml, code/tolvane/study.json   the study file and its identity
//
// Subjects are numbered from 01 (three digits from the hundredth subject), runs from 1.
// C and L are BIDS labels: letters and digits only (bidsLabel).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::dataset {

// The name's letters and digits, in order ("Task - Rest" gives "TaskRest").
std::string bidsLabel(const std::string& name);

// Each condition's desc label: bidsLabel of its name, or "conditionN" (its place from 1)
// when that is empty or an earlier condition already has it.
std::vector<std::string> conditionLabels(const std::vector<std::string>& names);

// "sub-01" for subject 1 of a study of `subjects` (zero-padded to two or three digits).
std::string subjectEntity(int subject, int subjects);

// "sub-01_task-T_run-2".
std::string runPrefix(const std::string& subjectEntity, const std::string& task, int run);

// File names of glm's, evaluate's and group's outputs.
std::string statMapStem(const std::string& prefix, const std::string& contrastLabel,
                        const std::string& stat);
std::string designTableName(const std::string& prefix);
std::string evaluationName(const std::string& prefix, const std::string& contrastLabel);
std::string groupStatMapStem(const std::string& contrastLabel, const std::string& stat);

// Reading those names back: the contrast label of a file named
// statMapStem(prefix, L, stat) + kMapExtension (empty when it is not one), and whether a
// file holds an evaluation of the run's contrast L (evaluationName, or any name that
// starts like it and ends in kEvaluationSuffix).
std::string statMapContrast(const std::string& fileName, const std::string& prefix,
                            const std::string& stat);
bool isEvaluationOf(const std::string& fileName, const std::string& prefix,
                    const std::string& contrastLabel);

// Extensions and name parts that readers look for.
inline constexpr const char* kMapExtension = ".nii.gz";
inline constexpr const char* kBoldSuffixes[] = {"_bold.nii.gz", "_bold.nii"};
inline constexpr const char* kEvaluationSuffix = "evaluation.json";

// The folders of a dataset rooted at `root`.
class DatasetFolders {
 public:
  explicit DatasetFolders(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path description() const { return root_ / "dataset_description.json"; }
  std::filesystem::path readme() const { return root_ / "README"; }
  std::filesystem::path participants() const { return root_ / "participants.tsv"; }
  std::filesystem::path truthRoot() const { return root_ / "derivatives" / "tolvane"; }
  std::filesystem::path truthDescription() const {
    return truthRoot() / "dataset_description.json";
  }
  // The group truth's map of a condition (by desc label) and its sidecar.
  std::filesystem::path groupEffectMap(const std::string& task,
                                       const std::string& conditionLabel) const {
    return truthRoot() / ("task-" + task + "_desc-" + conditionLabel + "_effect" + kMapExtension);
  }
  std::filesystem::path groupEffectSidecar(const std::string& task,
                                           const std::string& conditionLabel) const {
    return truthRoot() / ("task-" + task + "_desc-" + conditionLabel + "_effect.json");
  }
  std::filesystem::path glmRoot() const { return root_ / "derivatives" / "tolvane-glm"; }
  std::filesystem::path codeFolder() const { return root_ / "code" / "tolvane"; }
  std::filesystem::path identity() const { return codeFolder() / "study.json"; }

  // A subject's func folder in the raw data, the truth and glm's default place.
  std::filesystem::path funcFolder(const std::string& subject) const {
    return root_ / subject / "func";
  }
  std::filesystem::path truthFolder(const std::string& subject) const {
    return truthRoot() / subject / "func";
  }
  std::filesystem::path glmFolder(const std::string& subject) const {
    return glmRoot() / subject / "func";
  }

 private:
  std::filesystem::path root_;
};

// Every file of one run, raw and truth, and where glm puts its outputs by default.
struct RunFiles {
  std::string subject;  // "sub-01"
  std::string prefix;   // "sub-01_task-blocks_run-1"
  std::filesystem::path bold, boldSidecar, events;
  std::filesystem::path labels, regionTable, predictors;
  std::filesystem::path brainMask, expectedTsnr;  // written with scanner-like noise only
  std::filesystem::path peakLatency, peakLatencySidecar;  // written with hrf keys only
  std::filesystem::path trials;  // written with trial_sd only
  // With networks only: the nodes' courses and their correlation (JSON sidecars beside).
  std::filesystem::path networkTimeseries, networkConnectivity;
  // With patterns only: the similarity between conditions' patterns (+ .json).
  std::filesystem::path patternSimilarity;
  std::filesystem::path confounds, confoundsSidecar;  // written with head motion only
  std::filesystem::path truthFolder, glmFolder;

  // The condition's effect map and its sidecar, by desc label.
  std::filesystem::path effectMap(const std::string& conditionLabel) const;
  std::filesystem::path effectSidecar(const std::string& conditionLabel) const;
};

RunFiles runFiles(const DatasetFolders& folders, const std::string& subject,
                  const std::string& prefix);

// The region table beside a label truth X_dseg.nii[.gz] (X_dseg.tsv), or an empty path
// when the truth is not a segmentation.
std::filesystem::path regionTableOf(const std::filesystem::path& truth);

// The JSON sidecar of an image: X.json beside X.nii.gz or X.nii.
std::filesystem::path sidecarOf(const std::filesystem::path& image);

}  // namespace tolvane::dataset
