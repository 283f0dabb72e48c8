// Otsu's threshold, the largest connected component and hole filling; see
// automatic_mask.h.
#include "tolvane/study/automatic_mask.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace tolvane::study {
namespace {

constexpr int kHistogramBins = 256;

// The value above which a voxel is inside: the upper edge of the last bin of the lower
// class. Returns false when the image has no spread to separate.
bool otsuThreshold(const float* image, std::size_t count, double& threshold) {
  double low = INFINITY, high = -INFINITY;
  for (std::size_t i = 0; i < count; ++i) {
    if (!std::isfinite(image[i])) return false;
    low = std::min(low, static_cast<double>(image[i]));
    high = std::max(high, static_cast<double>(image[i]));
  }
  if (!(high > low)) return false;
  const double width = (high - low) / kHistogramBins;
  std::array<double, kHistogramBins> counts{};
  for (std::size_t i = 0; i < count; ++i) {
    const int bin = std::min(kHistogramBins - 1, static_cast<int>((image[i] - low) / width));
    counts[bin] += 1.0;
  }
  double totalWeighted = 0.0;
  for (int bin = 0; bin < kHistogramBins; ++bin) totalWeighted += bin * counts[bin];
  const double total = static_cast<double>(count);
  double below = 0.0, belowWeighted = 0.0, best = -1.0;
  int bestBin = 0;
  for (int bin = 0; bin < kHistogramBins - 1; ++bin) {
    below += counts[bin];
    belowWeighted += bin * counts[bin];
    const double above = total - below;
    if (below == 0.0 || above == 0.0) continue;
    const double meanBelow = belowWeighted / below;
    const double meanAbove = (totalWeighted - belowWeighted) / above;
    const double between = below * above * (meanBelow - meanAbove) * (meanBelow - meanAbove);
    if (between > best) {
      best = between;
      bestBin = bin;
    }
  }
  threshold = low + (bestBin + 1) * width;
  return true;
}

// Labels the 6-connected components of the voxels where mask == value, 1, 2, ... in
// x-fastest order of their first voxel; returns their sizes (index 0 unused).
std::vector<std::size_t> labelComponents(const std::vector<std::uint8_t>& mask, std::uint8_t value,
                                         int dimX, int dimY, int dimZ,
                                         std::vector<std::int32_t>& labels) {
  const std::size_t slab = static_cast<std::size_t>(dimX) * dimY;
  labels.assign(mask.size(), 0);
  std::vector<std::size_t> sizes{0};
  std::vector<std::size_t> stack;
  for (std::size_t start = 0; start < mask.size(); ++start) {
    if (mask[start] != value || labels[start] != 0) continue;
    const auto label = static_cast<std::int32_t>(sizes.size());
    std::size_t size = 0;
    labels[start] = label;
    stack.push_back(start);
    while (!stack.empty()) {
      const std::size_t at = stack.back();
      stack.pop_back();
      ++size;
      const int x = static_cast<int>(at % dimX);
      const int y = static_cast<int>((at / dimX) % dimY);
      const int z = static_cast<int>(at / slab);
      const auto visit = [&](bool inside, std::size_t neighbour) {
        if (inside && mask[neighbour] == value && labels[neighbour] == 0) {
          labels[neighbour] = label;
          stack.push_back(neighbour);
        }
      };
      visit(x > 0, at - 1);
      visit(x + 1 < dimX, at + 1);
      visit(y > 0, at - dimX);
      visit(y + 1 < dimY, at + dimX);
      visit(z > 0, at - slab);
      visit(z + 1 < dimZ, at + slab);
    }
    sizes.push_back(size);
  }
  return sizes;
}

}  // namespace

std::vector<std::uint8_t> automaticMask(const float* meanImage, int dimX, int dimY, int dimZ) {
  const std::size_t count = static_cast<std::size_t>(dimX) * dimY * dimZ;
  std::vector<std::uint8_t> mask(count, 0);
  double threshold = 0.0;
  if (count == 0 || !otsuThreshold(meanImage, count, threshold)) return mask;
  for (std::size_t i = 0; i < count; ++i) mask[i] = meanImage[i] > threshold ? 1 : 0;

  std::vector<std::int32_t> labels;
  const std::vector<std::size_t> sizes = labelComponents(mask, 1, dimX, dimY, dimZ, labels);
  if (sizes.size() < 2) return mask;
  const auto largest =
      static_cast<std::int32_t>(std::max_element(sizes.begin() + 1, sizes.end()) - sizes.begin());
  for (std::size_t i = 0; i < count; ++i) mask[i] = labels[i] == largest ? 1 : 0;

  // Holes: the outside's components that never reach a face of the grid.
  const std::vector<std::size_t> outside = labelComponents(mask, 0, dimX, dimY, dimZ, labels);
  std::vector<std::uint8_t> touchesFace(outside.size(), 0);
  const std::size_t slab = static_cast<std::size_t>(dimX) * dimY;
  for (std::size_t i = 0; i < count; ++i) {
    if (labels[i] == 0) continue;
    const int x = static_cast<int>(i % dimX);
    const int y = static_cast<int>((i / dimX) % dimY);
    const int z = static_cast<int>(i / slab);
    if (x == 0 || y == 0 || z == 0 || x == dimX - 1 || y == dimY - 1 || z == dimZ - 1) {
      touchesFace[labels[i]] = 1;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (labels[i] != 0 && !touchesFace[labels[i]]) mask[i] = 1;
  }
  return mask;
}

}  // namespace tolvane::study
