// The shared fluctuations of a study's networks in one run: the nodes' time courses
// (the truth) and their addition to the nodes' voxels.
//
// Node g of the study (the networks' nodes in order, numbered from 0 across networks)
// has the independent course
//   u_g(t) = sum_k (a_k cos(2 pi k t / N) + b_k sin(2 pi k t / N)) / sqrt(K),
// t = 0 .. N - 1 the volume, k the K frequency indices of the band (networks.h:
// bandFrequencies), a_k and b_k standard normal draws: 2K of them in the order a_1, b_1,
// a_2, ... from the Philox sequence of slot the run's place, stream kNetworkStream,
// purpose g. u_g has variance exactly 1 and a spectrum flat over the band and zero
// elsewhere. Each network mixes its nodes' courses by the factor of its subject's
// correlation (correlation_matrix.h) and scales them by its amplitude, evaluated in
// double and rounded to float.
//
// Every voxel v of a node's region (moved as the subject's region moves) gets
//   value <- value + w_v * x[t],
// w_v = 1 (uniform), or exp(-4 ln 2 d^2 / F^2) with d the voxel's distance in mm from the
// region's centre and F the profile's FWHM; w_v is evaluated in double and rounded to
// float, and multiplied, for an amplitude in percent on an image baseline, by the
// voxel's baseline over the mask's mean (as effects are).
#pragma once

#include <string>
#include <vector>

#include "simulation/synthesis.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct NetworkRunTruth {
  std::vector<std::string> nodeNames;       // the regions' names, nodes of all networks
  std::vector<std::size_t> nodeRegions;     // their indices in the study's regions
  std::vector<std::vector<float>> courses;  // per node, per volume: x, in data units
  // nodes x nodes, row-major: the population correlation of the courses in this run
  // (the subject's matrix of each network; 0 between networks).
  std::vector<double> correlation;
};

// Empty without networks.
NetworkRunTruth networkRunTruth(const study::Study& study, int runPlace);

// Adds every node's course to its region's voxels, the region moved by `offsets` (per
// region, in grid voxels).
void addNetworkFluctuations(const study::Study& study, const NetworkRunTruth& truth,
                            const std::vector<std::array<int, 3>>& offsets,
                            const simulation::VtcGrid& grid);

}  // namespace tolvane::simulate
