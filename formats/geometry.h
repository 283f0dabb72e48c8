// Grids and the transforms between them.
//
// A VMR voxel coordinate is an integer index (X, Y, Z) into the anatomical volume.
// A VTC covers the VMR's bounding box [XStart, XEnd) x [YStart, YEnd) x [ZStart, ZEnd)
// with cubic voxels of Resolution VMR voxels each; VTC grid voxel (gx, gy, gz) is
// centred on VMR voxel (XStart + Resolution*gx, YStart + Resolution*gy, ...), which is
// where the plug-in's rounding of (c - start) / Resolution puts it. Affines and their
// arithmetic are in affine.h.
#pragma once

#include <cstdint>

#include "formats/affine.h"

namespace tolvane::formats {

// The VMR's voxel-to-world transform and the NIfTI code of the space it leads to
// (0 when the world position is unknown).
struct SpatialFrame {
  Affine voxelToWorld = Affine::identity();
  int code = 0;
};

// The grid and time axis of a VTC.
struct VtcGeometry {
  std::int32_t xStart = 0, xEnd = 0, yStart = 0, yEnd = 0, zStart = 0, zEnd = 0;
  std::int32_t resolution = 1;
  std::int32_t timePoints = 0;
  double trMilliseconds = 2000.0;

  std::int32_t dimX() const { return (xEnd - xStart) / resolution; }
  std::int32_t dimY() const { return (yEnd - yStart) / resolution; }
  std::int32_t dimZ() const { return (zEnd - zStart) / resolution; }
  std::uint64_t voxelCount() const {
    return static_cast<std::uint64_t>(dimX()) * static_cast<std::uint64_t>(dimY()) *
           static_cast<std::uint64_t>(dimZ());
  }
  std::uint64_t valueCount() const { return voxelCount() * static_cast<std::uint64_t>(timePoints); }
  // VTC grid index to VMR voxel coordinate.
  Affine gridToVmr() const {
    const double r = resolution;
    return {{{r, 0, 0, double(xStart)}, {0, r, 0, double(yStart)}, {0, 0, r, double(zStart)}}};
  }
};

// Without an anatomical file the VMR is an empty volume of kEmptyVmrDim^3 voxels of
// 1 mm whose centre voxel (128, 128, 128) sits at the world origin, in scanner space.
constexpr int kEmptyVmrDim = 256;
constexpr int kScannerSpaceCode = 1;  // NIFTI_XFORM_SCANNER_ANAT
inline SpatialFrame emptyVmrFrame() {
  const double half = kEmptyVmrDim / 2;
  return {{{{1, 0, 0, -half}, {0, 1, 0, -half}, {0, 0, 1, -half}}}, kScannerSpaceCode};
}

// The default VTC bounding box within that volume, resolution and TR: a grid of
// 58 x 40 x 46 voxels of 3 x 3 x 3 VMR voxels; the time points come with each run.
inline VtcGeometry defaultVtcBox() {
  VtcGeometry grid;
  grid.xStart = 57;
  grid.xEnd = 231;
  grid.yStart = 52;
  grid.yEnd = 172;
  grid.zStart = 59;
  grid.zEnd = 197;
  grid.resolution = 3;
  grid.trMilliseconds = 2000.0;
  return grid;
}

}  // namespace tolvane::formats
