// 3-D NIfTI-1 images on a VTC grid: the maps that accompany a simulated run (a label
// image of its regions, the amplitude added per condition).
//
// The image's voxel (x, y, z) is grid voxel (x, y, z); values are given x fastest,
// then y, then z. Placement, voxel size and units are those of writeVtcNifti for the
// same grid and frame, so a map lies exactly on the 4-D image it describes.
// ".nii.gz" is compressed at the given zlib level; zlib writes no time stamp into the
// gzip header, so equal maps give equal files. Goes through a temporary file; throws
// OutputError naming the file.
#pragma once

#include <cstdint>
#include <filesystem>

#include "formats/geometry.h"

namespace tolvane::formats {

void writeFloatMapNifti(const std::filesystem::path& file, const VtcGrid& grid,
                        const SpatialFrame& vmrFrame, const float* values, int gzipLevel);

void writeLabelMapNifti(const std::filesystem::path& file, const VtcGrid& grid,
                        const SpatialFrame& vmrFrame, const std::int32_t* labels, int gzipLevel);

}  // namespace tolvane::formats
