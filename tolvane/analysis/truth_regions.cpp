// Finding the regions of a truth image; see truth_regions.h.
#include "tolvane/analysis/truth_regions.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace tolvane::analysis {

std::vector<TruthRegion> labelRegions(const std::vector<double>& truth) {
  std::map<double, std::vector<std::size_t>> byLabel;
  for (std::size_t v = 0; v < truth.size(); ++v) {
    if (truth[v] != 0.0) byLabel[truth[v]].push_back(v);
  }
  std::vector<TruthRegion> regions;
  for (auto& [label, voxels] : byLabel) {
    regions.push_back({"label " + std::to_string(std::llround(label)), std::move(voxels)});
  }
  return regions;
}

std::vector<TruthRegion> connectedRegions(const std::vector<double>& truth,
                                          const std::array<std::int64_t, 3>& dims) {
  const auto nx = static_cast<std::size_t>(dims[0]), ny = static_cast<std::size_t>(dims[1]),
             nz = static_cast<std::size_t>(dims[2]);
  std::vector<char> seen(truth.size(), 0);
  std::vector<TruthRegion> regions;
  std::vector<std::size_t> pending;
  for (std::size_t first = 0; first < truth.size(); ++first) {
    if (truth[first] == 0.0 || seen[first]) continue;
    TruthRegion region{"region " + std::to_string(regions.size() + 1), {}};
    seen[first] = 1;
    pending.push_back(first);
    while (!pending.empty()) {
      const std::size_t v = pending.back();
      pending.pop_back();
      region.voxels.push_back(v);
      const std::size_t x = v % nx, y = (v / nx) % ny, z = v / (nx * ny);
      const auto visit = [&](bool inside, std::size_t neighbour) {
        if (inside && truth[neighbour] != 0.0 && !seen[neighbour]) {
          seen[neighbour] = 1;
          pending.push_back(neighbour);
        }
      };
      visit(x > 0, v - 1);
      visit(x + 1 < nx, v + 1);
      visit(y > 0, v - nx);
      visit(y + 1 < ny, v + nx);
      visit(z > 0, v - nx * ny);
      visit(z + 1 < nz, v + nx * ny);
    }
    std::sort(region.voxels.begin(), region.voxels.end());
    regions.push_back(std::move(region));
  }
  return regions;
}

}  // namespace tolvane::analysis
