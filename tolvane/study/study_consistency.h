// Checks across a loaded study's parts, made once its regions, networks and run
// designs are known: the conditions that carry effects against rest and against each
// run's events, and the regions (cut by the grid's edge, overlapping, or without
// effects). Refusals name the study file's key (study_checker.h); what the user should
// only know about goes to Study::warnings.
#pragma once

#include <vector>

#include "tolvane/study/study.h"
#include "tolvane/study/study_checker.h"

namespace tolvane::study {

// Per condition: whether some region gives it an effect.
std::vector<bool> conditionsWithEffects(const Study& study);

// Sets study.rest: the written rest conditions (each of the protocol, none with an
// effect), or the default rule's.
void checkRest(const StudyFile& file, const KeyChecker& check, Study& study,
               const std::vector<bool>& modelled);

// Warns about events beyond the runs' end and refuses a run in which a condition with
// an effect has no event at all, or a peak effect no response.
void checkEventsAgainstRuns(const StudyFile& file, const KeyChecker& check, Study& study,
                            const std::vector<bool>& modelled);

// Warns about regions cut by the grid's edge and regions that share voxels.
void warnAboutRegions(Study& study);

// A region without effects is allowed only as a network's node.
void checkRegionsWithoutEffects(const StudyFile& file, const Study& study);

}  // namespace tolvane::study
