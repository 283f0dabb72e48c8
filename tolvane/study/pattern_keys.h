// A region's voxel pattern as written: each condition of the region's effects gets,
// per subject, a pattern over the region's voxels around its effect (patterns.h
// resolves and checks it).
//
//   [[region]]
//   effects = { Faces = "2%", Houses = "2%" }     the patterns' means
//   pattern = { sd = "1%", correlation = 0.3 }    voxel-wise sd; every pair of
//                                                 conditions' patterns correlated 0.3
//   pattern = { sd = 2.0, similarity = [[1, 0.3], [0.3, 1]] }   or the full matrix, rows
//                                                 in the protocol's order of the
//                                                 conditions of the effects table
#pragma once

#include <optional>
#include <vector>

#include "tolvane/study/key_place.h"

namespace tolvane::study {

struct PatternEntry {
  KeyPlace place;  // the pattern's table
  double sd = 0.0;
  bool sdPercent = false;
  std::optional<double> correlation;
  std::vector<std::vector<double>> similarity;
};

}  // namespace tolvane::study
