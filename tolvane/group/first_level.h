// The first-level maps of a dataset's runs for one contrast: those tolvane glm already
// wrote when they match the asked model, a fresh fit otherwise.
//
// A run's maps are its effect, variance and t maps of the contrast's label under the
// glm root. They match when the t map's sidecar records the asked prewhitening, the
// default high-pass cutoff and the asked mask (analysis_mask.h; a sidecar without a
// mask was fitted on the whole grid). Maps that exist but do not match are never
// refitted over: the refusal names each difference and how to use or replace them.
// Missing maps are fitted (tolvane glm on the run: its own events, the default HRF and
// high-pass) and written under the glm root, unless the root is the user's own
// (`userFolder`, given with --glm-dir), which is only ever read: there, a missing map is
// a refusal naming the glm command that would make it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/glm.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::group {

struct FirstLevelRequest {
  std::filesystem::path glmRoot;
  bool userFolder = false;  // the root was given by the user: read only
  std::string contrast;     // as typed, "Faces - Houses"
  analysis::Prewhitening prewhiten = analysis::Prewhitening::None;
  // Why that model, for messages: "--prewhiten" or the study's noise.
  std::string prewhitenReason = "--prewhiten";
  analysis::MaskChoice mask;
};

struct FirstLevelMaps {
  std::filesystem::path effect, variance, t;
  int degreesOfFreedom = 0;
  bool fitted = false;  // false: reused
};

// Throws InputError for a run that cannot be analysed, for maps that do not match the
// request (naming the differences), for maps missing from a user's folder, and when a
// reused map has no degrees of freedom in its sidecar; OutputError when a fit cannot be
// written.
FirstLevelMaps firstLevelMaps(const dataset::DatasetRun& run, const FirstLevelRequest& request,
                              const analysis::Progress& progress);

// Whether the run's maps exist and match (true), or are missing where they may be
// fitted (false); throws InputError as firstLevelMaps does for maps that do not match
// or are missing from a user's folder. Reads no image.
bool checkFirstLevelMaps(const dataset::DatasetRun& run, const FirstLevelRequest& request);

// The differences between a t map's sidecar and the request ("prewhitening: fitted
// none, asked AR(1), pooled (...)"); empty when they match.
std::vector<std::string> modelDifferences(const std::filesystem::path& tMap,
                                          const dataset::DatasetRun& run,
                                          const FirstLevelRequest& request);

// The prewhitening that a sidecar records for `prewhiten`.
const char* prewhiteningRecord(analysis::Prewhitening prewhiten);

// The first-level request's noise model: `asked` (--prewhiten) when given, else the
// study's (AR(1) prewhitening when its noise is autocorrelated, dataset/study_noise.h),
// with the reason for messages.
void chooseNoiseModel(FirstLevelRequest& request, const dataset::DatasetRun& run,
                      std::optional<analysis::Prewhitening> asked);

}  // namespace tolvane::group
