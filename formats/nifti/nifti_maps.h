// NIfTI images for analysis and ground truth: a 4-D series read whole with its TR and
// placement, a 3-D scalar volume read as numbers, and 3-D float and label maps written
// with the placement of the series they describe.
//
// Voxel order everywhere is the file's: x fastest, then y, then z, then (for a series)
// time, so volume t of a series starts at element t * voxelCount(). Stored values are
// scaled by the header's slope and intercept when it has them. Reading throws
// InputError, writing OutputError, each naming the file.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/geometry.h"

namespace tolvane::formats {

// Where a 3-D grid lies: its dimensions and voxel-to-world transform (the sform when it
// has a code, else the qform, else the voxel sizes alone with code 0).
struct MapGeometry {
  std::array<std::int64_t, 3> dims{};
  SpatialFrame frame;

  std::size_t voxelCount() const { return static_cast<std::size_t>(dims[0] * dims[1] * dims[2]); }
};

struct FloatSeries {
  MapGeometry geometry;
  std::int64_t volumes = 0;
  double trSeconds = 0.0;
  std::vector<float> values;  // volume-major, see above
};

// A 4-D series of at least two volumes, any real storage type converted to float. The
// TR is pixdim[4] in the header's time unit (seconds when the unit is not given); a
// series without a positive, finite TR is refused.
FloatSeries readFloatSeries(const std::filesystem::path& file);

struct ScalarVolume {
  MapGeometry geometry;
  bool integerStorage = false;  // stored as an integer type (a label image)
  std::vector<double> values;
};

// A 3-D image of any real storage type.
ScalarVolume readScalarVolume(const std::filesystem::path& file);

// The NIfTI intent of a statistical map: its code (NIFTI_INTENT_*) and first parameter
// (the degrees of freedom of a t map).
struct MapIntent {
  int code = 0;
  double parameter = 0.0;
};

// The grid of a VTC's volumes, placed as writeVtcNifti places them (nifti_io.h), so that
// a map written on it lies exactly on the 4-D image it describes.
MapGeometry mapGeometryOf(const VtcGeometry& grid, const SpatialFrame& vmrFrame);

// Writes a 3-D float32 map on `geometry` (voxel sizes from the transform, mm units, the
// frame's code for sform and qform), through a temporary file. ".nii.gz" is compressed
// at the given zlib level; zlib writes no time stamp into the gzip header, so equal maps
// give equal files.
void writeFloatMapNifti(const std::filesystem::path& file, const MapGeometry& geometry,
                        const float* values, const MapIntent& intent, int gzipLevel);

// The same for an int32 label image (0 outside every region), with no intent.
void writeLabelMapNifti(const std::filesystem::path& file, const MapGeometry& geometry,
                        const std::int32_t* labels, int gzipLevel);

// "DIMX x DIMY x DIMZ, affine [r0; r1; r2]", for messages that compare two grids.
std::string describeGeometry(const MapGeometry& geometry);

}  // namespace tolvane::formats
