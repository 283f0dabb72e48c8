// Rendering slices; see slice_images.h.
#include "tolvane/report/slice_images.h"

#include <algorithm>
#include <cmath>

namespace tolvane::report {
namespace {

constexpr double kLowPercentile = 0.02, kHighPercentile = 0.98;

std::uint8_t channel(double fraction) {
  return static_cast<std::uint8_t>(std::lround(255.0 * std::clamp(fraction, 0.0, 1.0)));
}

Rgb mix(Rgb from, Rgb to, double fraction) {
  const auto blend = [fraction](std::uint8_t a, std::uint8_t b) {
    return channel((a + (b - a) * std::clamp(fraction, 0.0, 1.0)) / 255.0);
  };
  return {blend(from.r, to.r), blend(from.g, to.g), blend(from.b, to.b)};
}

// In-plane axes of a slice: across (to the right) and up.
std::array<int, 2> planeAxes(Plane plane) {
  switch (plane) {
    case Plane::Axial:
      return {0, 1};
    case Plane::Coronal:
      return {0, 2};
    case Plane::Sagittal:
      return {1, 2};
  }
  return {0, 1};
}

}  // namespace

const char* planeName(Plane plane) {
  switch (plane) {
    case Plane::Axial:
      return "axial";
    case Plane::Coronal:
      return "coronal";
    case Plane::Sagittal:
      return "sagittal";
  }
  return "";
}

int fixedAxis(Plane plane) {
  switch (plane) {
    case Plane::Axial:
      return 2;
    case Plane::Coronal:
      return 1;
    case Plane::Sagittal:
      return 0;
  }
  return 2;
}

GreyWindow robustWindow(const std::vector<double>& values) {
  std::vector<double> finite;
  finite.reserve(values.size());
  for (double value : values) {
    if (std::isfinite(value)) finite.push_back(value);
  }
  if (finite.empty()) return {};
  const auto at = [&finite](double fraction) {
    const auto k = static_cast<std::size_t>(fraction * double(finite.size() - 1));
    std::nth_element(finite.begin(), finite.begin() + static_cast<long>(k), finite.end());
    return finite[k];
  };
  GreyWindow window{at(kLowPercentile), at(kHighPercentile)};
  if (!(window.high > window.low)) {
    const double margin = std::max(1.0, std::fabs(window.low));
    window = {window.low - margin, window.low + margin};
  }
  return window;
}

Rgb greyLevel(double value, const GreyWindow& window) {
  if (!std::isfinite(value)) return {};
  const std::uint8_t level = channel((value - window.low) / (window.high - window.low));
  return {level, level, level};
}

Rgb dimmedGreyLevel(double value, const GreyWindow& window) {
  const Rgb grey = greyLevel(value, window);
  return mix(kDimmedBlack, kDimmedWhite, grey.r / 255.0);
}

std::optional<Rgb> statisticColour(double t, double threshold, double top) {
  if (!(std::fabs(t) >= threshold)) return std::nullopt;
  const double fraction = top > threshold ? (std::fabs(t) - threshold) / (top - threshold) : 1.0;
  // Two legs each, so that the middle of the range is clearly distinct from both ends.
  if (t > 0) {
    return fraction < 0.5 ? mix({150, 0, 0}, {255, 120, 0}, fraction * 2)
                          : mix({255, 120, 0}, {255, 255, 60}, fraction * 2 - 1);
  }
  return fraction < 0.5 ? mix({0, 0, 150}, {0, 110, 255}, fraction * 2)
                        : mix({0, 110, 255}, {60, 255, 255}, fraction * 2 - 1);
}

RgbImage renderSlice(const SliceLayers& layers, Plane plane, std::int64_t index, int scale) {
  // Plain variables, not a structured binding: the lambdas below capture them.
  const std::array<int, 2> axes = planeAxes(plane);
  const int across = axes[0], up = axes[1];
  const int fixed = fixedAxis(plane);
  const std::array<std::int64_t, 3>& dims = layers.dims;
  const auto voxelIndex = [&](std::int64_t a, std::int64_t u) -> std::int64_t {
    std::array<std::int64_t, 3> voxel{};
    voxel[static_cast<std::size_t>(across)] = a;
    voxel[static_cast<std::size_t>(up)] = u;
    voxel[static_cast<std::size_t>(fixed)] = index;
    return voxel[0] + dims[0] * (voxel[1] + dims[1] * voxel[2]);
  };
  const std::int64_t width = dims[static_cast<std::size_t>(across)];
  const std::int64_t height = dims[static_cast<std::size_t>(up)];
  const auto inside = [&](std::int64_t a, std::int64_t u) {
    if (a < 0 || u < 0 || a >= width || u >= height) return false;
    return (*layers.outlined)[static_cast<std::size_t>(voxelIndex(a, u))] != 0;
  };
  const int line = std::max(1, scale / 4);
  RgbImage image(static_cast<int>(width) * scale, static_cast<int>(height) * scale);
  for (std::int64_t u = 0; u < height; ++u) {
    for (std::int64_t a = 0; a < width; ++a) {
      const auto v = static_cast<std::size_t>(voxelIndex(a, u));
      Rgb colour = dimmedGreyLevel((*layers.background)[v], layers.window);
      if (layers.statistic) {
        const auto overlay = statisticColour((*layers.statistic)[v], layers.threshold, layers.top);
        if (overlay) colour = *overlay;
      }
      const bool outlined = layers.outlined && inside(a, u);
      // Image rows run downwards, the slice's up axis upwards.
      const int top = static_cast<int>(height - 1 - u) * scale;
      const int left = static_cast<int>(a) * scale;
      for (int dy = 0; dy < scale; ++dy) {
        for (int dx = 0; dx < scale; ++dx) {
          // The outline runs along the region's inner edge, where a neighbour is outside.
          const bool edge =
              outlined &&
              ((dx < line && !inside(a - 1, u)) || (dx >= scale - line && !inside(a + 1, u)) ||
               (dy < line && !inside(a, u + 1)) || (dy >= scale - line && !inside(a, u - 1)));
          image.set(left + dx, top + dy, edge ? kOutlineColour : colour);
        }
      }
    }
  }
  return image;
}

std::array<std::int64_t, 3> voxelAt(std::size_t index, const std::array<std::int64_t, 3>& dims) {
  const auto v = static_cast<std::int64_t>(index);
  return {v % dims[0], (v / dims[0]) % dims[1], v / (dims[0] * dims[1])};
}

std::array<std::int64_t, 3> centreVoxel(const std::vector<std::size_t>& voxels,
                                     const std::array<std::int64_t, 3>& dims) {
  std::array<double, 3> centroid{};
  for (std::size_t v : voxels) {
    const auto voxel = voxelAt(v, dims);
    for (int a = 0; a < 3; ++a) centroid[a] += double(voxel[a]) / double(voxels.size());
  }
  std::array<std::int64_t, 3> nearest{};
  double best = INFINITY;
  for (std::size_t v : voxels) {
    const auto voxel = voxelAt(v, dims);
    double distance = 0.0;
    for (int a = 0; a < 3; ++a) distance += std::pow(double(voxel[a]) - centroid[a], 2);
    if (distance < best) best = distance, nearest = voxel;
  }
  return nearest;
}

}  // namespace tolvane::report
