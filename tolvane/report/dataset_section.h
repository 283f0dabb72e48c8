// The top of the report: what the whole dataset shows, before the sections of single
// runs.
//
//   - the study's settings: the study file that made the dataset, as written;
//   - a table across every run: each t map that glm wrote for it (those of the report's
//     --contrast, else the contrasts between conditions, else all) scored against the
//     run's contrast truth, two-sided at the report's t threshold: ROC area and rates,
//     or for a run without any true effect its false positives;
//   - for null runs, the histogram of their t values against Student's t on the fit's
//     degrees of freedom, and the family-wise rates (the share of null runs with any
//     voxel above a threshold) with Wilson intervals;
//   - for each contrast with group maps (tolvane group): slices of the group t map over
//     the first run's mean image with the group truth (analysis::groupContrastTruth)
//     outlined, and per subject and region the estimated effect against the mean of its runs'
//     truths.
// Runs without glm outputs are listed with the command that makes them; reading only
// maps, the summary stays quick for many runs.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::report {

std::string datasetSection(const std::filesystem::path& dataset,
                           const std::vector<dataset::DatasetRun>& runs,
                           const std::vector<std::string>& contrasts, double tThreshold,
                           const analysis::MaskChoice& mask, const analysis::Progress& progress);

}  // namespace tolvane::report
