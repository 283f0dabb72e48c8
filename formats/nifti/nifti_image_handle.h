// libnifti2's images inside formats/: an owning handle, freed with the library's own
// function; a file's header read into one; the placement of an image read or about to
// be written; and the value of a loaded image's voxel whatever its storage type.
#pragma once

#include <nifti2_io.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>

#include "formats/geometry.h"

namespace tolvane::formats {

struct NiftiImageDeleter {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

// The header of a NIfTI-1 or NIfTI-2 file, without its voxels, which are loaded only
// once the caller has judged the header usable. Throws InputError naming the file when
// there is no such file or no image in it.
NiftiImagePtr readNiftiHeader(const std::filesystem::path& file);

// The top three rows of a 4 x 4 transform of the library.
Affine affineOf(const nifti_dmat44& matrix);

// Where a read image lies: its sform when that has a code, else its qform, else its
// voxel sizes alone with code 0.
SpatialFrame frameOf(const nifti_image& image);

// The storage types read as numbers: the integer types, and with them float32 and
// float64 the real ones (complex, RGB and the like are not).
bool isIntegerType(int datatype);
bool isRealType(int datatype);

// Places an image on the grid that `voxelToWorld` describes: voxel sizes (the lengths of
// its columns) in mm, and that transform as both sform and qform with `frameCode`, so
// that every reader finds the same placement whichever form it prefers.
void placeImage(nifti_image& image, const Affine& voxelToWorld, int frameCode);

template <typename T>
double storedValue(const void* data, std::size_t index) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(data) + index * sizeof(T), sizeof(T));
  return static_cast<double>(value);
}

// The stored value of voxel `index` (before any scaling), for the integer and float
// types; any other type is read as float64, so callers admit only these.
inline double voxelValue(const nifti_image& image, std::size_t index) {
  switch (image.datatype) {
    case NIFTI_TYPE_UINT8:
      return storedValue<std::uint8_t>(image.data, index);
    case NIFTI_TYPE_INT8:
      return storedValue<std::int8_t>(image.data, index);
    case NIFTI_TYPE_INT16:
      return storedValue<std::int16_t>(image.data, index);
    case NIFTI_TYPE_UINT16:
      return storedValue<std::uint16_t>(image.data, index);
    case NIFTI_TYPE_INT32:
      return storedValue<std::int32_t>(image.data, index);
    case NIFTI_TYPE_UINT32:
      return storedValue<std::uint32_t>(image.data, index);
    case NIFTI_TYPE_INT64:
      return storedValue<std::int64_t>(image.data, index);
    case NIFTI_TYPE_UINT64:
      return storedValue<std::uint64_t>(image.data, index);
    case NIFTI_TYPE_FLOAT32:
      return storedValue<float>(image.data, index);
    default:
      return storedValue<double>(image.data, index);  // NIFTI_TYPE_FLOAT64
  }
}

}  // namespace tolvane::formats
