// The summary of an experiment, computed from its results table alone (result_table.h),
// so that it is the same whichever shards the table was merged from.
//
// Every rate is a share of maps (or of voxels, for the voxelwise rate) with Wilson's
// 95 % interval (null_rates.h). Per cluster-forming p:
//   - voxelwise: voxels above the forming threshold over the maps' mask voxels, beside
//     the nominal p (a null study's voxelwise error rate);
//   - random field theory: the share of maps with a cluster of at least that map's K
//     (the cluster-wise family-wise error of a null study);
//   - Monte Carlo: K is taken from the experiment's own null distribution, one more
//     than the 95th percentile (nearest rank) of the largest cluster over the maps of
//     even repetitions; its family-wise rate is measured on the maps of odd
//     repetitions, which did not set it (held out), and is 5 % within its interval
//     when the maps are null.
// The maximum statistic: its 95th percentile over all maps (the family-wise threshold
// of a null experiment), and the share of maps whose maximum passes Bonferroni's
// threshold for 0.05 over the mask's voxels.
// Per region with a true contrast (power): the share of maps whose peak |t| in the
// region passes p < 0.001 uncorrected and Bonferroni's threshold, and per forming p the
// share where a cluster of at least the map's random-field K reaches into it.
#pragma once

#include <string>
#include <vector>

namespace tolvane::experiment {

inline constexpr double kUncorrectedP = 0.001;
inline constexpr double kFamilyWiseAlpha = 0.05;

// The summary as indented JSON text.
std::string summaryJson(const std::vector<std::string>& header,
                        const std::vector<std::vector<std::string>>& rows);

}  // namespace tolvane::experiment
