// tolvane report: one self-contained HTML page for a dataset written by tolvane
// simulate: the dataset's summary (dataset_section.h), then a section per run
// (run_section.h).
//
// Every picture is a PNG embedded as a data: URI and every plot inline SVG; the page
// has no script and loads nothing, so it can be mailed or archived as one file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/progress.h"

namespace tolvane::report {

inline constexpr double kDefaultTThreshold = 3.0;
// Without --run, runs beyond this many are summarised in the dataset's table only, so
// that the page of a large study stays small and quick to open.
inline constexpr std::size_t kMostRunSections = 4;

struct ReportOptions {
  std::filesystem::path dataset;
  std::optional<std::filesystem::path> output;  // default: defaultReportFile(dataset)
  std::vector<std::string> runs;                // "sub-01" or "sub-01/run-1"; empty: all
  std::vector<std::string> contrasts;           // fitted where a run has no GLM outputs
  double tThreshold = kDefaultTThreshold;
  bool allowIncomplete = false;  // report on a dataset missing runs its study promises
  analysis::MaskChoice mask;  // the fits it makes and the rates it shows are inside it
  // The glm outputs' root (sub-XX/func/ below it); default DATASET/derivatives/tolvane-glm.
  std::optional<std::filesystem::path> glmRoot;
};

std::filesystem::path defaultReportFile(const std::filesystem::path& dataset);

// Writes the page through a temporary file and returns its path. Throws InputError for
// a dataset that cannot be shown and OutputError when the page cannot be written.
std::filesystem::path writeReport(const ReportOptions& options, const analysis::Progress& progress);

}  // namespace tolvane::report
