// Trial-by-trial amplitudes (the trial_sd key, docs/haemodynamics.md).
//
// Trial i of condition c in a run (the i-th interval of the condition in the run's
// events) has, in a region whose effect on c is a, the amplitude
//   a (1 + sd z_ci)   relative spread,
//   a + sd z_ci       absolute spread (sd in data units; a region without an effect on c
//                     keeps none),
// z_ci a standard normal deviate shared by every region: a trial that draws a strong
// response draws it everywhere, as attention or arousal would. The deviates come from
// the run's draw sequence of purpose Trial (study_random.h): for each condition in
// order, one per interval of the run's events in their order, whether or not the
// condition has a spread, so adding one leaves the others' draws.
#pragma once

#include <vector>

#include "tolvane/study/study.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

// One spread per condition, or none without trial_sd; a percentage is of `baseline`.
// Throws InputError naming the key of a condition that the events lack.
std::vector<TrialSpread> resolveTrialSpreads(const StudyFile& file, const Study& study,
                                             double baseline);

// z_ci for run `place`: per condition, per interval of the run's events.
std::vector<std::vector<double>> trialDeviates(const Study& study, int place);

// The factor of trial i's response in a region of effect `amplitude`: 1 + sd z
// (relative) or 1 + sd z / amplitude (absolute; 1 where the amplitude is 0).
double trialFactor(const TrialSpread& spread, double deviate, double amplitude);

}  // namespace tolvane::study
