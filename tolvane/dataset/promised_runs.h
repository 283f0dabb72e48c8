// The runs a dataset promises: a dataset written by tolvane simulate records its study's
// subjects and runs per subject (code/tolvane/study.json), so an analysis can tell a
// complete dataset from one whose simulate was interrupted or is still running, and
// does not average over fewer subjects than the study has without saying so.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tolvane::dataset {

// The promised runs ("sub-02 run 1") that are not among `found` (each given as its
// subject entity and run number). None when the dataset records no study.
std::vector<std::string> missingPromisedRuns(const std::filesystem::path& dataset,
                                             const std::vector<std::pair<std::string, int>>& found);

}  // namespace tolvane::dataset
