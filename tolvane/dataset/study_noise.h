// What a dataset's study file says about its noise that changes how it should be
// analysed: whether the noise is autocorrelated in time, so that a first-level fit
// should prewhiten. The analysis commands take their default noise model from it.
#pragma once

#include "tolvane/dataset/runs.h"

namespace tolvane::dataset {

// True when the study file that made the run (its _bold.json's StudyFile, relative to
// the dataset) asks for temporally autocorrelated noise: noise.model = "ar1", or
// noise.ar or noise.ma. False when the file is missing or does not read (a dataset
// not written by tolvane simulate has no study file to follow).
bool studyNoiseIsAutocorrelated(const DatasetRun& run);

}  // namespace tolvane::dataset
