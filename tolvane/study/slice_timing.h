// Slice timing: the time within its volume at which each slice is acquired, and the
// design's predictors sampled at those times. The manual is docs/motion.md.
//
// Slices are the grid's planes along its third axis (z, BIDS's default slice encoding
// direction k), numbered from 0. With a multiband factor m the Z slices form m bands of
// n = Z / m slices excited together: slice z takes the place j = z mod n in the order,
// and the order gives each place its excitation k, acquired at k TR / n:
//   ascending    k = j;
//   descending   k = n - 1 - j;
//   interleaved  the even places first, then the odd ones: k = j / 2 for even j,
//                ceil(n / 2) + (j - 1) / 2 for odd j (0, 2, 4, ..., 1, 3, 5, ...).
// A list gives the Z times in seconds directly, each in [0, TR).
//
// A slice acquired at s seconds sees, in volume t, the predictors at t TR + s: the
// design's fine signal (kSamplesPerVolume samples per TR, the HRF applied) taken by
// linear interpolation in double at sample (t + s / TR) kSamplesPerVolume, rounded to
// float (past the run's last fine sample, its last value). At s = 0 this is exactly the
// predictor of a volume, which every slice sees without slice timing.
#pragma once

#include <optional>
#include <vector>

#include "tolvane/study/study.h"

namespace tolvane::study {

// The study's slice timing, or none without the keys; throws InputError naming the key.
std::optional<SliceTiming> resolveSliceTiming(const StudyFile& file, const Study& study);

// Per slice, per condition, the run's predictors at that slice's time.
std::vector<std::vector<std::vector<float>>> slicePredictors(const Study& study, int place);

}  // namespace tolvane::study
