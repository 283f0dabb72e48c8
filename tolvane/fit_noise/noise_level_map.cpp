// The smoothed map of the noise sd; see noise_level_map.h.
#include "tolvane/fit_noise/noise_level_map.h"

#include <algorithm>
#include <cmath>

namespace tolvane::fit_noise {
namespace {

// Convolves `values` (grid order, x fastest) with `taps` (centre first, symmetric) along
// one axis, taps beyond the grid left out.
void smoothAlong(std::vector<double>& values, const std::array<std::int64_t, 3>& dims, int axis,
                 const std::vector<double>& taps) {
  const std::int64_t stride = axis == 0 ? 1 : axis == 1 ? dims[0] : dims[0] * dims[1];
  const std::vector<double> before = values;
  const int reach = static_cast<int>(taps.size()) - 1;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::int64_t position = (static_cast<std::int64_t>(i) / stride) % dims[axis];
    double sum = taps[0] * before[i];
    for (int d = 1; d <= reach; ++d) {
      if (position - d >= 0) sum += taps[d] * before[i - d * stride];
      if (position + d < dims[axis]) sum += taps[d] * before[i + d * stride];
    }
    values[i] = sum;
  }
}

}  // namespace

std::vector<float> smoothedNoiseSd(const std::vector<float>& residualSquares,
                                   const std::vector<std::uint8_t>& mask,
                                   const std::array<std::int64_t, 3>& dims, double trace,
                                   double thermalVariance) {
  std::vector<double> taps;
  const int reach = static_cast<int>(std::ceil(3.0 * kLevelSmoothingVoxels));
  for (int d = 0; d <= reach; ++d) {
    taps.push_back(std::exp(-0.5 * d * d / (kLevelSmoothingVoxels * kLevelSmoothingVoxels)));
  }
  std::vector<double> level(mask.size(), 0.0), weight(mask.size(), 0.0);
  for (std::size_t v = 0; v < mask.size(); ++v) {
    if (!mask[v]) continue;
    level[v] = std::sqrt(std::max(0.0, residualSquares[v] / trace - thermalVariance));
    weight[v] = 1.0;
  }
  for (int axis = 0; axis < 3; ++axis) {
    smoothAlong(level, dims, axis, taps);
    smoothAlong(weight, dims, axis, taps);
  }
  std::vector<float> map(mask.size(), 0.0f);
  for (std::size_t v = 0; v < mask.size(); ++v) {
    if (mask[v] && weight[v] > 0.0) map[v] = static_cast<float>(level[v] / weight[v]);
  }
  return map;
}

}  // namespace tolvane::fit_noise
