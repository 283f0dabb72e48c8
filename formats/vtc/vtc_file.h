// The native VTC file format, version 1. All numbers little-endian.
//
//   offset  size  type        field
//        0     4  char[4]     magic "HVTC"
//        4     4  uint32      format version (1)
//        8     4  uint32      header size H = offset of the first data value (168 + L)
//       12    12  int32[3]    grid dimensions dimX, dimY, dimZ
//       24     4  int32       number of time points nT
//       28    24  int32[6]    bounding box XStart, XEnd, YStart, YEnd, ZStart, ZEnd
//       52     4  int32       resolution (VMR voxels per VTC voxel edge)
//       56     8  float64     TR in milliseconds
//       64    96  float64[12] VMR voxel-to-world transform, rows 1-3 of the 4x4 matrix
//      160     4  int32       NIfTI code of the world space (0 = unknown)
//      164     4  uint32      L = length of the linked protocol path
//      168     L  char[L]     linked protocol path, no terminator (may be empty)
//        H  4*N   float32[N]  N = dimX*dimY*dimZ*nT values; voxel (x, y, z) at time t is
//                             value ((z*dimY + y)*dimX + x)*nT + t
//
// The file ends right after the data. Readers check every field and the exact file
// size before allocating anything, so a damaged or truncated file is an InputError.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "formats/geometry.h"

namespace tolvane::formats {

struct VtcFileHeader {
  VtcGeometry grid;
  SpatialFrame frame;
  std::string protocolFile;
  std::uint64_t dataOffset = 0;
};

constexpr std::uint32_t kVtcFormatVersion = 1;
constexpr std::uint32_t kMaxStoredPathLength = 4096;

// Writes straight from the storage, through a temporary file; throws OutputError.
void writeVtcFile(const std::filesystem::path& file, const VtcGeometry& grid, const SpatialFrame& frame,
                  const std::string& protocolFile, const float* data);

// Throws InputError naming the file and what is wrong.
VtcFileHeader readVtcFileHeader(const std::filesystem::path& file);
// The same from a stream positioned at the file's start; `fileSize` is the whole
// file's size in bytes and `file` names it in messages.
VtcFileHeader readVtcFileHeader(std::istream& in, std::uint64_t fileSize,
                                const std::filesystem::path& file);

// Streams the data in file order, in chunks; throws InputError.
void readVtcFileData(const std::filesystem::path& file, const VtcFileHeader& header,
                     const std::function<void(const float* values, std::size_t count)>& consume);
void readVtcFileData(std::istream& in, const VtcFileHeader& header,
                     const std::filesystem::path& file,
                     const std::function<void(const float* values, std::size_t count)>& consume);

}  // namespace tolvane::formats
