// Finding the runs of a dataset written by tolvane simulate, with their truth and, when
// the user has run the analysis, its outputs; and reading the truth's tables. The
// files' names are those of names.h.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tolvane/dataset/names.h"

namespace tolvane::dataset {

struct EffectMapFile {
  std::string condition;  // from the sidecar's Condition
  std::filesystem::path file;
};

// A run found on disk: its files (bold as found, .nii or .nii.gz) and the effect maps
// its truth holds, with the conditions their sidecars name.
struct DatasetRun : RunFiles {
  std::vector<EffectMapFile> effectMaps;
};

// The runs in file-name order, all of them or those that `selection` names
// ("sub-01" or "sub-01/run-2"). Throws InputError when the folder holds no run, a run
// lacks its truth, or a selection matches none; and, for all runs, when runs that the
// dataset's study promises (promised_runs.h) are missing, unless `allowIncomplete`.
std::vector<DatasetRun> findRuns(const std::filesystem::path& dataset,
                                 const std::vector<std::string>& selection,
                                 bool allowIncomplete = false);

// A BIDS segmentation table (_dseg.tsv): label value to name, from its index and name
// columns. Throws InputError naming the file and line.
std::map<long, std::string> readRegionNames(const std::filesystem::path& table);

// A table of numbers with a header row (the predictors): one column per name.
struct NumberTable {
  std::vector<std::string> names;
  std::vector<std::vector<double>> columns;
};
NumberTable readNumberTable(const std::filesystem::path& file);

}  // namespace tolvane::dataset
