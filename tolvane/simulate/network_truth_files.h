// A run's network truth as files: the nodes' courses and their correlation, as tables
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

// Writes the four files of a study with networks (each unless it exists and
// `keepExisting`).
void writeNetworkTruth(const study::Study& study, const RunFiles& files,
                       const NetworkRunTruth& truth, bool keepExisting);

}  // namespace tolvane::simulate
