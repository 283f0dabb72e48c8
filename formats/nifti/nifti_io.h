// NIfTI input and output through libnifti2: the anatomical that defines the VMR, label
// images that define VOIs, and the 4-D export of a VTC.
//
// Every function throws InputError (reading) or OutputError (writing) with a message
// naming the file; the library's own diagnostics are silenced.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/geometry.h"
#include "formats/nifti/parallel_gzip.h"

namespace tolvane::formats {

struct AnatomicalHeader {
  std::int64_t dims[3];
  SpatialFrame frame;
};

// Dimensions and voxel-to-world transform (the sform when it has a code, else the
// qform, else the voxel sizes alone with code 0). Reads the header only.
AnatomicalHeader readAnatomicalHeader(const std::filesystem::path& file);

// An anatomical's grid as documents hold it: dimensions that fit an int, each at
// least 1, and the voxel-to-world transform. Reads the header only.
struct Anatomical {
  std::array<int, 3> dims;
  SpatialFrame frame;
};
Anatomical readAnatomical(const std::filesystem::path& file);

struct LabelVolume {
  std::int64_t dims[3];
  std::vector<std::int32_t> labels;  // x fastest, then y, then z
};

// A 3-D image of whole-number labels (any integer or float storage, scaling applied).
LabelVolume readLabelVolume(const std::filesystem::path& file);

// A NIfTI image as a summary describes it: grid, voxel size and time step with their
// units, the world space and the file's kind.
struct NiftiImageInfo {
  std::int64_t dims[4];   // x, y, z, t (t is 1 for a 3-D image)
  double voxelSize[3];    // in xyzUnits
  double timeStep;        // in timeUnits
  const char* xyzUnits;   // as the library names them: "mm", "Unknown", ...
  const char* timeUnits;  // "s", "ms", "Unknown", ...
  const char* datatype;   // "FLOAT32", "INT16", ...
  int worldCode;          // sform code, else qform code, else 0
  bool niftiTwo;          // NIfTI-2 rather than NIfTI-1
};

// Reads a NIfTI image and streams its values, scaling applied, to `consume` in
// chunks, x fastest, then y, z and t. Integer or float voxels; throws InputError.
NiftiImageInfo readNiftiImage(
    const std::filesystem::path& file,
    const std::function<void(const float* values, std::size_t count)>& consume);

// Whether a file's first bytes are those of a NIfTI file (plain or gzip-compressed).
bool looksLikeNifti(const std::filesystem::path& file);

// Writes a VTC as a 4-D NIfTI-1 image (x, y, z, t): voxel size and placement from
// vmrFrame composed with the grid, pixdim[4] = TR in seconds, units mm and s. The header
// is libnifti2's own. `data` is in the VTC's layout (time fastest); floats are reordered
// a few MiB at a time, so no second copy of the VTC is held, while int16 values come
// already quantised, in NIfTI order (Int16Volumes). ".nii.gz" is compressed as a
// series of gzip members, with the same bytes for any number of threads (see
// parallel_gzip.h), at `gzipLevel`, 1 fastest to 9 smallest (another level is an
// std::invalid_argument). Goes through a temporary file; throws OutputError naming the
// file, also when memory runs out.
using VolumesWritten = std::function<void(std::int64_t volumes)>;

// Values stored as 16-bit integers q with the header's scale, value = slope * q + inter
// (scl_slope, scl_inter): q = round((value - inter) / slope), evaluated in double,
// halves away from zero.
struct Int16Scale {
  double slope = 1.0;
  double inter = 0.0;
};

// A VTC's values quantised under `scale`, in NIfTI order (x fastest, then y, z, t):
// as many as the VTC has, owned by the caller.
struct Int16Volumes {
  Int16Scale scale;
  const std::int16_t* values = nullptr;
};

struct VtcNiftiOptions {
  // Compressing threads; 0 for one per core the process may run on.
  unsigned threads = 0;
  // The header's description field, cut at its 79 characters.
  std::string description = "hvhost simulated VTC";
  // When given, told the number of whole volumes written so far, from time to time as
  // the file grows, from one thread at a time.
  VolumesWritten progress{};
  // Stored as int16 when given, from these values rather than `data`; as float32 when
  // absent.
  std::optional<Int16Volumes> int16{};
  // Where threads with nothing else to do may join the compression.
  GzipHelpDesk* helpers = nullptr;
};

void writeVtcNifti(const std::filesystem::path& file, const VtcGeometry& grid,
                   const SpatialFrame& vmrFrame, const float* data, int gzipLevel,
                   const VtcNiftiOptions& options = {});

// Simulated data is mostly noise, whose low mantissa bits do not compress, so higher
// levels buy little space for much time (see the README's Performance section).
constexpr int kDefaultGzipLevel = 1;

// The voxel-to-world transform of a VTC grid placed in the VMR's space.
Affine vtcVoxelToWorld(const VtcGeometry& grid, const SpatialFrame& vmrFrame);

bool hasNiftiExtension(const std::filesystem::path& file);

}  // namespace tolvane::formats
