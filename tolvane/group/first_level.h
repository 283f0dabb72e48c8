// The first-level maps of a dataset's runs for one contrast: those tolvane glm already
// wrote when they match, a fresh fit otherwise.
//
// A run's maps match when its effect, variance and t maps of the contrast's label exist
// and the t map's sidecar records the same prewhitening and high-pass cutoff. A fit
// runs tolvane glm on the run (its own events, the default HRF and high-pass) and
// writes its usual outputs into the run's folder under the glm root, so that the next
// command finds them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/report/truth_files.h"

namespace tolvane::group {

struct FirstLevelRequest {
  std::filesystem::path glmRoot;
  std::string contrast;  // as typed, "Faces - Houses"
  analysis::Prewhitening prewhiten = analysis::Prewhitening::None;
};

struct FirstLevelMaps {
  std::filesystem::path effect, variance, t;
  int degreesOfFreedom = 0;
  bool fitted = false;  // false: reused
};

// Throws InputError for a run that cannot be analysed, OutputError when its maps cannot
// be written, and InputError when a reused map has no degrees of freedom in its sidecar.
FirstLevelMaps firstLevelMaps(const report::DatasetRun& run, const FirstLevelRequest& request,
                              const analysis::Progress& progress);

}  // namespace tolvane::group
