// Where the analysis of a dataset lives: the first-level maps of each run, the
// per-subject fixed-effects maps and the group maps. Every name the group command and
// the dataset's evaluation use is made here.
//
//   GLM_ROOT/sub-XX/func/PREFIX_contrast-L_stat-K_statmap.nii.gz (+ .json)
//       tolvane glm's maps of a run (K = effect, variance, t, p); GLM_ROOT defaults to
//       DATASET/derivatives/tolvane-glm
//   GROUP_ROOT/sub-XX/sub-XX_contrast-L_stat-K_statmap.nii.gz (+ .json)
//       a subject's runs combined (K = effect, variance, t)
//   GROUP_ROOT/group_contrast-L_stat-K_statmap.nii.gz (+ .json)
//       the subjects combined (K = effect, variance, t, p); with a covariate also
//   GROUP_ROOT/group_contrast-L_desc-COLUMN_stat-K_statmap.nii.gz (+ .json)
//       the covariate's coefficient
//   GROUP_ROOT/dataset_description.json
//       GROUP_ROOT defaults to DATASET/derivatives/tolvane-group
//
// L is the contrast's label (contrasts.h), COLUMN the covariate's name made a label the
// same way.
#pragma once

#include <filesystem>
#include <string>

#include "tolvane/dataset/runs.h"

namespace tolvane::dataset {

std::filesystem::path defaultGlmRoot(const std::filesystem::path& dataset);
std::filesystem::path defaultGroupRoot(const std::filesystem::path& dataset);

// A first-level map of a run.
std::filesystem::path runMap(const std::filesystem::path& glmRoot, const DatasetRun& run,
                             const std::string& contrastLabel, const std::string& statistic);
// A subject's fixed-effects map.
std::filesystem::path subjectMap(const std::filesystem::path& groupRoot, const std::string& subject,
                                 const std::string& contrastLabel, const std::string& statistic);
// A group map; `covariateLabel` (the covariate's name as a contrast label) empty for
// the mean.
std::filesystem::path groupMap(const std::filesystem::path& groupRoot,
                               const std::string& contrastLabel, const std::string& covariateLabel,
                               const std::string& statistic);

}  // namespace tolvane::dataset
