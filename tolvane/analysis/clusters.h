// Clusters of a thresholded statistical map: the connected groups of voxels above a
// cluster-forming threshold, as cluster inference counts them.
//
// Connectivity says which neighbours join a cluster: 6 shares a face, 18 a face or an
// edge, 26 a face, an edge or a corner. 26 is the default, as in the field's common
// packages; a cluster at 6 may split into several at 26's view, never the reverse, so
// the largest cluster grows from 6 to 18 to 26. Undefined values (NaN) are never above
// the threshold, so a cluster never crosses a voxel outside the mask.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::analysis {

enum class Connectivity { Faces = 6, Edges = 18, Corners = 26 };
inline constexpr Connectivity kDefaultConnectivity = Connectivity::Corners;

// 6, 18 or 26 as a connectivity; nullopt otherwise.
std::optional<Connectivity> connectivityOf(int neighbours);
int neighbourCount(Connectivity connectivity);

// The clusters above a threshold: each voxel's cluster (1 .. C in the order of each
// cluster's first voxel; 0 below the threshold) and each cluster's size.
struct ClusterMap {
  std::vector<std::int32_t> labels;
  std::vector<std::int64_t> sizes;  // cluster k's at k - 1
};
ClusterMap labelClusters(const std::vector<double>& statistic,
                         const std::array<std::int64_t, 3>& dims, double threshold,
                         Connectivity connectivity);

// The sizes of the clusters of voxels strictly above `threshold`, largest first; empty
// when no voxel is above it. `statistic` holds dims[0] x dims[1] x dims[2] values, x
// fastest.
std::vector<std::int64_t> clusterSizes(const std::vector<double>& statistic,
                                       const std::array<std::int64_t, 3>& dims, double threshold,
                                       Connectivity connectivity);

}  // namespace tolvane::analysis
