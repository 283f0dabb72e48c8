// Headers read and images placed; see nifti_image_handle.h.
#include "formats/nifti/nifti_image_handle.h"

#include <cmath>
#include <system_error>

#include "formats/errors.h"

namespace tolvane::formats {

NiftiImagePtr readNiftiHeader(const std::filesystem::path& file) {
  nifti_set_debug_level(0);
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    throw InputError(file.string() + ": expected a NIfTI file, found no such file");
  }
  NiftiImagePtr image(nifti_image_read(file.c_str(), 0));
  if (!image) {
    throw InputError(file.string() +
                     ": expected a NIfTI image, found none (empty, damaged or another format)");
  }
  return image;
}

Affine affineOf(const nifti_dmat44& matrix) {
  Affine affine{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) affine.m[r][c] = matrix.m[r][c];
  }
  return affine;
}

SpatialFrame frameOf(const nifti_image& image) {
  if (image.sform_code > 0) return {affineOf(image.sto_xyz), image.sform_code};
  if (image.qform_code > 0) return {affineOf(image.qto_xyz), image.qform_code};
  SpatialFrame frame;
  frame.voxelToWorld = {{{image.dx, 0, 0, 0}, {0, image.dy, 0, 0}, {0, 0, image.dz, 0}}};
  return frame;
}

bool isIntegerType(int datatype) {
  switch (datatype) {
    case NIFTI_TYPE_UINT8:
    case NIFTI_TYPE_INT8:
    case NIFTI_TYPE_INT16:
    case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32:
    case NIFTI_TYPE_UINT32:
    case NIFTI_TYPE_INT64:
    case NIFTI_TYPE_UINT64:
      return true;
    default:
      return false;
  }
}

bool isRealType(int datatype) {
  return isIntegerType(datatype) || datatype == NIFTI_TYPE_FLOAT32 ||
         datatype == NIFTI_TYPE_FLOAT64;
}

void placeImage(nifti_image& image, const Affine& voxelToWorld, int frameCode) {
  const Affine& affine = voxelToWorld;
  nifti_dmat44 matrix{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) matrix.m[r][c] = affine.m[r][c];
  }
  matrix.m[3][3] = 1.0;
  const Point3 voxelSize = voxelSizes(affine);
  image.dx = image.pixdim[1] = voxelSize[0];
  image.dy = image.pixdim[2] = voxelSize[1];
  image.dz = image.pixdim[3] = voxelSize[2];
  image.xyz_units = NIFTI_UNITS_MM;
  image.sform_code = frameCode;
  image.qform_code = frameCode;
  image.sto_xyz = matrix;
  image.sto_ijk = nifti_dmat44_inverse(matrix);
  double unusedSize[3];
  nifti_dmat44_to_quatern(matrix, &image.quatern_b, &image.quatern_c, &image.quatern_d,
                          &image.qoffset_x, &image.qoffset_y, &image.qoffset_z, &unusedSize[0],
                          &unusedSize[1], &unusedSize[2], &image.qfac);
  image.qto_xyz = nifti_quatern_to_dmat44(image.quatern_b, image.quatern_c, image.quatern_d,
                                          image.qoffset_x, image.qoffset_y, image.qoffset_z,
                                          image.dx, image.dy, image.dz, image.qfac);
  image.qto_ijk = nifti_dmat44_inverse(image.qto_xyz);
}

}  // namespace tolvane::formats
