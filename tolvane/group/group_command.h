// tolvane group: a dataset's runs combined into subject and group maps of a contrast.
//
// For each contrast: every run's first-level maps (first_level.h); each subject's runs
// by fixed effects; the subjects by the second-level model, with a covariate from a
// table when asked (group_statistics.h). Files as dataset/analysis_files.h names them, each map
// with a JSON sidecar (the contrast, the statistic, the model, the degrees of freedom
// and the files it came from).
//
// The covariate table is tab-separated with a header row: a participant_id column
// (sub-01, ...; participants.tsv is such a table) and the named column of numbers,
// one row per subject of the dataset.
//
// First-level maps are reused from the glm root when they match, and fitted there when
// missing, unless the root was given (--glm-dir), which is only read (first_level.h).
//
// The output folder and the covariate are checked before any run is read; problems
// are InputError, a map that cannot be written OutputError.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/progress.h"

namespace tolvane::group {

struct GroupRequest {
  std::filesystem::path dataset;
  std::vector<std::string> contrasts;
  std::optional<std::filesystem::path> glmRoot;  // default: see dataset/analysis_files.h
  // The first-level model; absent: the study's (first_level.h, chooseNoiseModel).
  std::optional<analysis::Prewhitening> prewhiten;
  analysis::MaskChoice mask;  // the first-level fits' mask
  std::optional<std::filesystem::path> covariateTable;
  std::string covariateColumn;
  std::optional<std::filesystem::path> output;
  int gzipLevel = 1;
  bool allowIncomplete = false;  // analyse a dataset missing runs its study promises
};

struct GroupSummary {
  std::filesystem::path output;
  int subjects = 0, runs = 0;
  int firstLevelFitted = 0, firstLevelReused = 0;  // over runs and contrasts
  int degreesOfFreedom = 0;
  std::vector<std::filesystem::path> files;
};

GroupSummary runGroup(const GroupRequest& request, const analysis::Progress& progress);

// The covariate of each subject ("sub-01") from the table; InputError naming the file
// and line for a missing column, subject or number.
std::vector<double> readCovariate(const std::filesystem::path& table, const std::string& column,
                                  const std::vector<std::string>& subjects);

}  // namespace tolvane::group
