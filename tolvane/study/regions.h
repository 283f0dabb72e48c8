// Regions of a study: spheres, VOIs and labels of a label image, resolved to the grid
// voxels they cover and the amplitudes they carry.
//
// A sphere's centre is an anatomical (VMR) voxel, snapped to the grid by the plug-in's
// rounding of (c - start) / resolution, or a world position in mm, taken to the
// nearest grid voxel. With radius_voxels r it covers the grid offsets d with
// sqrt(dx^2 + dy^2 + dz^2) <= r, evaluated in single precision as the plug-in does for
// its sphere of radius 2; with radius_mm R those whose centres lie within R mm of the
// centre voxel's. A VOI covers the grid voxels its VMR voxels fall in (by the plug-in's
// rounding, as the plug-in writes a VOI). A labels region samples the label image at
// the grid voxels' centres: grid voxel (x, y, z) belongs to it when the VMR voxel
// (xStart + r x, yStart + r y, zStart + r z) holds the label, so that a region's grid
// volume matches the label's volume and labels that never touch never share a voxel.
// Voxels outside the grid are left out (and the share kept is recorded); a region with
// none inside is refused.
#pragma once

#include <array>
#include <filesystem>
#include <vector>

#include "design/protocol.h"
#include "formats/geometry.h"
#include "tolvane/study/study.h"

namespace tolvane::study {

struct RegionContext {
  std::filesystem::path studyFile;
  std::filesystem::path folder;  // relative paths start here
  formats::VtcGeometry grid;
  formats::SpatialFrame frame;
  std::array<int, 3> vmrDims;
  const design::Protocol* protocol;
  double baseline;
  // A region may leave out its effects (all 0): the study has networks, whose nodes
  // need none; the study checks that such a region is a node.
  bool effectsOptional = false;
};

// Throws InputError naming the study file, the region's key and line.
Region resolveRegion(const RegionEntry& entry, std::size_t index, const RegionContext& context);

}  // namespace tolvane::study
