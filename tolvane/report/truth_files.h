// Finding the runs of a dataset written by tolvane simulate, with their truth and, when
// the user has run the analysis, its outputs; and reading the truth's tables.
//
// For a run DATASET/sub-XX/func/PREFIX_bold.nii[.gz]:
//   DATASET/derivatives/tolvane/sub-XX/func/PREFIX_desc-regions_dseg.nii.gz   labels
//                                           PREFIX_desc-regions_dseg.tsv      regions
//                                           PREFIX_desc-C_effect.nii.gz (+ .json)
//                                           PREFIX_desc-predictors_timeseries.tsv
//   DATASET/derivatives/tolvane-glm/sub-XX/func/                              analysis
//     PREFIX_contrast-L_stat-t_statmap.nii.gz   the output of tolvane glm --output there
//     PREFIX_design.tsv
//     PREFIX_contrast-L_*evaluation.json        tolvane evaluate --output there
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "formats/nifti_maps.h"
#include "tolvane/analysis/evaluate.h"

namespace tolvane::report {

struct EffectMapFile {
  std::string condition;  // from the sidecar's Condition
  std::filesystem::path file;
};

struct DatasetRun {
  std::string subject;  // "sub-01"
  std::string prefix;   // "sub-01_task-blocks_run-1"
  std::filesystem::path bold, events;
  std::filesystem::path labels, regionTable, predictors;
  std::vector<EffectMapFile> effectMaps;
  std::filesystem::path glmFolder;
};

// The runs in file-name order, all of them or those that `selection` names
// ("sub-01" or "sub-01/run-2"). Throws InputError when the folder holds no run, a run
// lacks its truth, or a selection matches none.
std::vector<DatasetRun> findRuns(const std::filesystem::path& dataset,
                                 const std::vector<std::string>& selection);

// The truth of a contrast for a whole group: from the group truth that simulate writes
// when subjects differ (DATASET/derivatives/tolvane/task-T_desc-C_effect.nii.gz, the
// population's mean effects), else the mean over `runs` of their contrast truths.
formats::ScalarVolume groupContrastTruth(const std::filesystem::path& dataset,
                                         const std::vector<DatasetRun>& runs,
                                         const std::string& expression);

// A BIDS segmentation table (_dseg.tsv): label value to name, from its index and name
// columns. Throws InputError naming the file and line.
std::map<long, std::string> readRegionNames(const std::filesystem::path& table);

// A table of numbers with a header row (the predictors): one column per name.
struct NumberTable {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;
};
NumberTable readNumberTable(const std::filesystem::path& file);

// For a label truth X_dseg.nii[.gz] with X_dseg.tsv beside it, each region "label N"
// becomes "NAME (label N)". Other truths are left as they are.
void nameLabelRegions(analysis::Evaluation& evaluation, const std::filesystem::path& truth);

// For an amplitude or contrast truth, each region ("region 1", ...) takes the name of
// the label that the run's label image `labels` (a _dseg.nii[.gz] with its _dseg.tsv)
// holds at the region's peak voxel. Regions there without a label, and every region when
// the files are missing or on another grid, keep their names.
void nameAmplitudeRegions(analysis::Evaluation& evaluation, const std::filesystem::path& labels);

}  // namespace tolvane::report
