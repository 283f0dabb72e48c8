// The regions of a truth image: its labels, or the face-connected groups of its
// non-zero voxels (see evaluate.h for which).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::analysis {

struct TruthRegion {
  std::string name;
  std::vector<std::size_t> voxels;  // indices, x fastest, in increasing order
};

// One region per distinct non-zero value, in increasing order of value.
std::vector<TruthRegion> labelRegions(const std::vector<double>& truth);

// One region per face-connected group of non-zero voxels, in the order of each group's
// first voxel.
std::vector<TruthRegion> connectedRegions(const std::vector<double>& truth,
                                          const std::array<std::int64_t, 3>& dims);

}  // namespace tolvane::analysis
