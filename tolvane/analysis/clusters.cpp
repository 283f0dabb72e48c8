// Clusters above a threshold; see clusters.h.
#include "tolvane/analysis/clusters.h"

#include <algorithm>
#include <functional>

namespace tolvane::analysis {
namespace {

// The neighbour offsets of a connectivity, as (dx, dy, dz): the 26 around a voxel with
// at most 1, 2 or 3 non-zero components.
std::vector<std::array<int, 3>> neighbourOffsets(Connectivity connectivity) {
  const int most = connectivity == Connectivity::Faces ? 1 : connectivity == Connectivity::Edges ? 2 : 3;
  std::vector<std::array<int, 3>> offsets;
  for (int dz = -1; dz <= 1; ++dz) {
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const int nonZero = (dx != 0) + (dy != 0) + (dz != 0);
        if (nonZero > 0 && nonZero <= most) offsets.push_back({dx, dy, dz});
      }
    }
  }
  return offsets;
}

}  // namespace

std::optional<Connectivity> connectivityOf(int neighbours) {
  switch (neighbours) {
    case 6:
      return Connectivity::Faces;
    case 18:
      return Connectivity::Edges;
    case 26:
      return Connectivity::Corners;
    default:
      return std::nullopt;
  }
}

int neighbourCount(Connectivity connectivity) { return static_cast<int>(connectivity); }

ClusterMap labelClusters(const std::vector<double>& statistic,
                         const std::array<std::int64_t, 3>& dims, double threshold,
                         Connectivity connectivity) {
  const std::vector<std::array<int, 3>> offsets = neighbourOffsets(connectivity);
  // -1: above the threshold and not yet in a cluster; 0: below it.
  ClusterMap clusters;
  clusters.labels.resize(statistic.size());
  for (std::size_t v = 0; v < statistic.size(); ++v) clusters.labels[v] = -(statistic[v] > threshold);
  std::vector<std::size_t> stack;
  for (std::size_t seed = 0; seed < statistic.size(); ++seed) {
    if (clusters.labels[seed] != -1) continue;
    // A flood fill from the seed, depth first through an explicit stack.
    const auto label = static_cast<std::int32_t>(clusters.sizes.size() + 1);
    clusters.labels[seed] = label;
    stack.assign(1, seed);
    std::int64_t size = 0;
    while (!stack.empty()) {
      const auto v = static_cast<std::int64_t>(stack.back());
      stack.pop_back();
      ++size;
      const std::int64_t x = v % dims[0], y = (v / dims[0]) % dims[1], z = v / (dims[0] * dims[1]);
      for (const auto& [dx, dy, dz] : offsets) {
        const std::int64_t nx = x + dx, ny = y + dy, nz = z + dz;
        if (nx < 0 || ny < 0 || nz < 0 || nx >= dims[0] || ny >= dims[1] || nz >= dims[2]) continue;
        const auto n = static_cast<std::size_t>((nz * dims[1] + ny) * dims[0] + nx);
        if (clusters.labels[n] == -1) {
          clusters.labels[n] = label;
          stack.push_back(n);
        }
      }
    }
    clusters.sizes.push_back(size);
  }
  return clusters;
}

std::vector<std::int64_t> clusterSizes(const std::vector<double>& statistic,
                                       const std::array<std::int64_t, 3>& dims, double threshold,
                                       Connectivity connectivity) {
  std::vector<std::int64_t> sizes =
      labelClusters(statistic, dims, threshold, connectivity).sizes;
  std::sort(sizes.begin(), sizes.end(), std::greater<>());
  return sizes;
}

}  // namespace tolvane::analysis
