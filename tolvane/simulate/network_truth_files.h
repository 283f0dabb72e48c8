// A run's network and pattern truth as files: the nodes' courses and their correlation, as tables
// with JSON sidecars, for a user's connectivity estimate to be scored against.
//
//   PREFIX_desc-network_timeseries.tsv    a column per node (the region's name), a row
//                                         per volume: the course added at the node's
//                                         centre (weight 1), in data units
//   PREFIX_desc-network_connectivity.tsv  the nodes' population correlation in the run:
//                                         a first column "region" with the row's name,
//                                         then a column per node; 0 between networks
// Values are written in their shortest round-trip form.
#pragma once

#include <string>

#include "tolvane/simulate/dataset_layout.h"
#include "tolvane/simulate/network_fluctuations.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

std::string networkTimeseriesText(const NetworkRunTruth& truth);
std::string networkConnectivityText(const NetworkRunTruth& truth);

// The similarity table of a study with patterns: a row per (region, condition) of a
// pattern, columns "region", "condition" and one per condition of the study, holding the
// correlation between the two conditions' patterns over the region's voxels (the
// study's, which every subject's patterns are drawn with), n/a for a condition outside
// the region's pattern.
std::string patternSimilarityText(const study::Study& study);
void writePatternTruth(const study::Study& study, const RunFiles& files, bool keepExisting);

// Writes the four files of a study with networks (each unless it exists and
// `keepExisting`).
void writeNetworkTruth(const study::Study& study, const RunFiles& files,
                       const NetworkRunTruth& truth, bool keepExisting);

}  // namespace tolvane::simulate
