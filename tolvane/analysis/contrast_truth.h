// The truth of a contrast: the weighted sum of the run's per-condition amplitude maps.
//
// tolvane simulate writes one amplitude map per condition beside the run's other truth
// files, PREFIX_desc-C_effect.nii.gz, whose sidecar names the condition ("Condition").
// Given any file of that folder (or the folder itself) and the prefix of the run, the
// maps are found by their names, the expression is read against their conditions as
// glm reads it against the events' (contrasts.h), and the true contrast of each voxel
// is sum_c w_c a_c(v), in double. Its non-zero voxels are where the contrast is true.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::analysis {

struct ConditionTruth {
  std::string condition;
  std::filesystem::path file;
};

// The amplitude maps of the run `prefix` in `folder`, in file-name order.
std::vector<ConditionTruth> conditionTruthMaps(const std::filesystem::path& folder,
                                               const std::string& prefix);

// The run prefix of a truth or analysis file: the name up to "_desc-" or "_contrast-";
// empty when it has neither.
std::string runPrefixOf(const std::filesystem::path& file);

struct ContrastTruth {
  std::vector<std::string> conditions;
  std::vector<double> weights;  // one per condition
  formats::ScalarVolume values;
};

// `truth` is a file of the run's truth folder or the folder; `prefix` names the run.
// Throws InputError when no amplitude map is found, when the expression does not read,
// or when the maps lie on different grids.
ContrastTruth contrastTruth(const std::filesystem::path& truth, const std::string& prefix,
                            const std::string& expression);

// The mean over runs of their contrast truths: a group's truth. Each run is its truth
// folder and prefix; all on one grid, else InputError.
struct RunTruth {
  std::filesystem::path folder;
  std::string prefix;
};
formats::ScalarVolume meanContrastTruth(const std::vector<RunTruth>& runs,
                                        const std::string& expression);

// The truth of a contrast for a whole group: from the group truth that simulate writes
// when subjects differ (dataset::DatasetFolders::groupEffectMap, the population's mean
// effects), else the mean over `runs` of their contrast truths.
formats::ScalarVolume groupContrastTruth(const std::filesystem::path& datasetRoot,
                                         const std::vector<dataset::DatasetRun>& runs,
                                         const std::string& expression);

}  // namespace tolvane::analysis
