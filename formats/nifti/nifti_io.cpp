// NIfTI reading with libnifti2; see nifti_io.h (the VTC export is in nifti_export.cpp).
#include "formats/nifti/nifti_io.h"

#include <nifti2_io.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <string>

#include "formats/nifti/nifti_image_handle.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
bool hasNiftiExtension(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  const auto endsWith = [&](std::string_view suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return endsWith(".nii") || endsWith(".nii.gz");
}

AnatomicalHeader readAnatomicalHeader(const std::filesystem::path& file) {
  const NiftiImagePtr image = readNiftiHeader(file);
  AnatomicalHeader header{{image->nx, image->ny, image->nz}, frameOf(*image)};
  return header;
}

Anatomical readAnatomical(const std::filesystem::path& file) {
  const AnatomicalHeader header = readAnatomicalHeader(file);
  Anatomical anatomical{{}, header.frame};
  for (int axis = 0; axis < 3; ++axis) {
    if (header.dims[axis] < 1 || header.dims[axis] > std::numeric_limits<int>::max()) {
      throw InputError(file.string() + ": expected positive image dimensions");
    }
    anatomical.dims[axis] = static_cast<int>(header.dims[axis]);
  }
  return anatomical;
}

LabelVolume readLabelVolume(const std::filesystem::path& file) {
  // The header is judged before the voxels are loaded, so that a 4-D series or an
  // unusable type is refused without reading it.
  const NiftiImagePtr image = readNiftiHeader(file);
  if (image->nt > 1 || image->nu > 1 || image->nv > 1 || image->nw > 1) {
    throw InputError(file.string() + ": expected a 3-D label image, found " +
                     std::to_string(image->ndim) + " dimensions");
  }
  if (!isRealType(image->datatype)) {
    throw InputError(file.string() + ": expected integer or float voxels, found NIfTI datatype " +
                     std::to_string(image->datatype));
  }
  if (nifti_image_load(image.get()) != 0 || image->data == nullptr) {
    throw InputError(file.string() +
                     ": cannot read the voxels of the NIfTI image "
                     "(truncated or damaged?)");
  }
  const bool scaled =
      image->scl_slope != 0.0 && !(image->scl_slope == 1.0 && image->scl_inter == 0.0);
  LabelVolume volume{{image->nx, image->ny, image->nz}, {}};
  const auto count = static_cast<std::size_t>(image->nvox);
  try {
    volume.labels.resize(count);
  } catch (const std::bad_alloc&) {
    throw InputError(file.string() + ": not enough memory for a label image of " +
                     std::to_string(count) + " voxels");
  }
  for (std::size_t i = 0; i < count; ++i) {
    double value = voxelValue(*image, i);
    if (scaled) value = value * image->scl_slope + image->scl_inter;
    if (value != std::floor(value) || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      throw InputError(file.string() + ": expected whole-number labels, found " +
                       std::to_string(value) + " at voxel index " + std::to_string(i));
    }
    volume.labels[i] = static_cast<std::int32_t>(value);
  }
  return volume;
}

NiftiImageInfo readNiftiImage(
    const std::filesystem::path& file,
    const std::function<void(const float* values, std::size_t count)>& consume) {
  const NiftiImagePtr image = readNiftiHeader(file);
  if (!isRealType(image->datatype)) {
    throw InputError(file.string() + ": expected integer or float voxels, found NIfTI datatype " +
                     std::to_string(image->datatype));
  }
  if (image->nu > 1 || image->nv > 1 || image->nw > 1) {
    throw InputError(file.string() + ": expected an image of at most 4 dimensions, found " +
                     std::to_string(image->ndim));
  }
  if (nifti_image_load(image.get()) != 0 || image->data == nullptr) {
    throw InputError(file.string() +
                     ": cannot read the voxels of the NIfTI image "
                     "(truncated or damaged?)");
  }
  NiftiImageInfo info{
      {image->nx, image->ny, image->nz, std::max<std::int64_t>(image->nt, 1)},
      {image->dx, image->dy, image->dz},
      image->dt,
      nifti_units_string(image->xyz_units),
      nifti_units_string(image->time_units),
      nifti_datatype_string(image->datatype),
      image->sform_code > 0 ? image->sform_code : image->qform_code,
      image->nifti_type == NIFTI_FTYPE_NIFTI2_1 || image->nifti_type == NIFTI_FTYPE_NIFTI2_2};
  const bool scaled =
      image->scl_slope != 0.0 && !(image->scl_slope == 1.0 && image->scl_inter == 0.0);
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  std::vector<float> chunk;
  chunk.reserve(kChunk);
  const auto count = static_cast<std::size_t>(image->nvox);
  for (std::size_t i = 0; i < count; ++i) {
    double value = voxelValue(*image, i);
    if (scaled) value = value * image->scl_slope + image->scl_inter;
    chunk.push_back(static_cast<float>(value));
    if (chunk.size() == kChunk || i + 1 == count) {
      consume(chunk.data(), chunk.size());
      chunk.clear();
    }
  }
  return info;
}

bool looksLikeNifti(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char start[4] = {};
  if (!in.read(reinterpret_cast<char*>(start), sizeof start)) return false;
  const bool gzip = start[0] == 0x1f && start[1] == 0x8b;
  // The header begins with its own size: 348 for NIfTI-1, 540 for NIfTI-2.
  const std::uint32_t headerSize =
      start[0] | (start[1] << 8) | (start[2] << 16) | (static_cast<std::uint32_t>(start[3]) << 24);
  return gzip || headerSize == 348 || headerSize == 540;
}

}  // namespace tolvane::formats
