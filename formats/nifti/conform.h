// Conforming an anatomical: resampling it onto a grid of 256 x 256 x 256 voxels of 1 mm
// that keeps its world placement, for programs that work only on such volumes.
//
// The conformed grid keeps the image's axes: its voxel-to-world columns are the
// original's, each scaled to 1 mm, so the image is not turned and an index axis runs the
// same way through both grids. Its centre, voxel coordinate (127.5, 127.5, 127.5), lies
// at the world position of the original's centre, ((n - 1) / 2 along each axis), and it
// keeps the original's NIfTI space code. An image that already is such a grid conforms
// to itself.
//
// Intensities are interpolated trilinearly between the original's voxel centres, in
// double and rounded once to float. A grid point outside the box spanned by the
// outermost voxel centres gets 0. Voxel order is the file's: x fastest, then y, then z.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"

namespace tolvane::formats {

constexpr int kConformedDimension = 256;
constexpr double kConformedVoxelMm = 1.0;

// The conformed grid of an image on `source`, whose transform must be invertible
// (isInvertible in affine.h).
MapGeometry conformedGeometry(const MapGeometry& source);

// Whether `source` is its own conformed grid, within kSamePlacementToleranceMm.
bool isConformed(const MapGeometry& source);

// The values of `source` at the world positions of `target`'s voxel centres. The
// source's transform must be invertible and its values hold voxelCount() numbers
// (std::invalid_argument otherwise).
std::vector<float> resampleTrilinear(const ScalarVolume& source, const MapGeometry& target);

// The same by nearest neighbour, for masks and label-like weights: each target voxel
// takes the value of the source voxel whose centre is nearest (coordinates rounded half
// up), 0 where that voxel lies outside the source.
std::vector<float> resampleNearest(const ScalarVolume& source, const MapGeometry& target);

// An anatomical file conformed: its own grid, the conformed grid, and the resampled
// intensities (empty when the file already is conformed).
struct ConformedAnatomical {
  MapGeometry original;
  MapGeometry geometry;
  std::vector<float> values;

  bool alreadyConformed() const { return values.empty(); }
};

// Reads a 3-D NIfTI anatomical whole and conforms it; throws InputError naming the
// file when it cannot be read or its transform cannot be inverted.
ConformedAnatomical conformAnatomical(const std::filesystem::path& file);

// "176 x 256 x 256 voxels of 1 x 1 x 1.2 mm" (voxel sizes are the transform's column
// lengths).
std::string describeGrid(const MapGeometry& geometry);

}  // namespace tolvane::formats
