// Orthogonal slices of a volume as pictures: the background in grey, a region's outline
// and a statistical map overlaid where it passes a threshold.
//
// Volumes are given as the files store them: x fastest, then y, then z, on one grid.
// A slice is shown along the voxel axes, the first in-plane axis to the right and the
// second upwards: axial (fixed z) shows x across and y up, coronal (fixed y) x across
// and z up, sagittal (fixed x) y across and z up. Each voxel becomes a square block of
// `scale` pixels, so that a 3 mm grid is legible at a laptop's width without the
// browser blurring it.
//
// The background's grey runs from kDimmedBlack to kDimmedWhite rather than the full
// range, so that the overlay's darkest and brightest colours and the outline stand out.
//
// The overlay's colours: t >= threshold from dark red through orange to yellow at
// `top`, t <= -threshold from dark blue through blue to cyan at -top; |t| below the
// threshold, and NaN, leave the background visible.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/report/png_image.h"

namespace tolvane::report {

enum class Plane { Axial, Coronal, Sagittal };

const char* planeName(Plane plane);

struct GreyWindow {
  double low = 0.0, high = 1.0;
};

// From the 2nd to the 98th percentile of the finite values: a few extreme voxels
// should not wash out the rest. A constant image gets a window around its value.
GreyWindow robustWindow(const std::vector<double>& values);

// Black at window.low, white at window.high, clamped; NaN is black.
Rgb greyLevel(double value, const GreyWindow& window);

inline constexpr Rgb kDimmedBlack{35, 35, 35}, kDimmedWhite{190, 190, 190};
Rgb dimmedGreyLevel(double value, const GreyWindow& window);

// The overlay colour of a statistic, or nothing below the threshold (see above).
std::optional<Rgb> statisticColour(double t, double threshold, double top);

inline constexpr Rgb kOutlineColour{0, 230, 118};

struct SliceLayers {
  std::array<std::int64_t, 3> dims{};
  const std::vector<double>* background = nullptr;
  GreyWindow window;
  const std::vector<char>* outlined = nullptr;    // optional: nonzero inside the region
  const std::vector<float>* statistic = nullptr;  // optional
  double threshold = 3.0, top = 8.0;
};

// The slice through voxel `index` along the plane's fixed axis.
RgbImage renderSlice(const SliceLayers& layers, Plane plane, std::int64_t index, int scale);

// The slice's fixed axis (0 x, 1 y, 2 z).
int fixedAxis(Plane plane);

// The voxel (x, y, z) of an index.
std::array<std::int64_t, 3> voxelAt(std::size_t index, const std::array<std::int64_t, 3>& dims);
// The voxel of a region nearest its centroid: where the slices through it go.
std::array<std::int64_t, 3> centreVoxel(const std::vector<std::size_t>& voxels,
                                        const std::array<std::int64_t, 3>& dims);

}  // namespace tolvane::report
