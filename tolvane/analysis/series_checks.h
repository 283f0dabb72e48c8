// What a BOLD series holds that no model can fit: voxels with values that are not
// finite (NaN, infinities: a damaged or badly converted image) and voxels whose series
// is constant (outside the head of a masked image, or a dead channel). Their maps are
// NaN; the user is told how many and where the first is, and a series in which no voxel
// can be fitted is refused, since every map of it would be NaN.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"

namespace tolvane::analysis {

// Warnings (none for a clean series) naming `file`; throws InputError when no voxel has
// a finite series that varies.
std::vector<std::string> checkSeriesValues(const formats::FloatSeries& series,
                                           const std::filesystem::path& file);

// "(x, y, z)" of a voxel's index in an image of `dims` (x fastest), from 0 as NIfTI
// viewers count.
std::string voxelPlace(std::size_t index, const std::array<std::int64_t, 3>& dims);

}  // namespace tolvane::analysis
