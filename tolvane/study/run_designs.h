// The events of every run of a study, and the predictors they give.
//
// A study's events come from one of:
//   protocol = "FILE"  the same events in every run;
//   protocol = "events/sub-{subject}_run-{run}_events.tsv"  a file per run, {subject}
//                      replaced by the subject's label as the dataset writes it ("01")
//                      and {run} by the run's number ("1");
//   [design]           events generated per run from the study seed
//                      (generated_design.h).
// Every run has the same conditions in the same order: those of the first run's events,
// then any that a later run adds. A condition that a run lacks has no event there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "design/protocol.h"
#include "tolvane/study/study.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

// Reports a problem with the study file's key; never returns.
using KeyFailure = std::function<void(const std::string& key, const std::string& what)>;

// One protocol per run place when they differ, else one; conditions aligned. Paths are
// resolved against `folder`.
// The files read are added to `read`.
std::vector<design::Protocol> readRunProtocols(const StudyFile& file,
                                               const std::filesystem::path& folder,
                                               const Study& study, const KeyFailure& fail,
                                               std::vector<std::filesystem::path>& read);

// The predictors of each protocol over the study's grid.timePoints volumes.
std::vector<RunDesign> buildRunDesigns(const std::vector<design::Protocol>& protocols,
                                       const formats::VtcGeometry& grid);

}  // namespace tolvane::study
