// 3-D map images through libnifti2; see nifti_map_writer.h.
#include "formats/nifti_map_writer.h"

#include <nifti2_io.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "formats/atomic_file.h"
#include "formats/nifti_io.h"

namespace tolvane::formats {
namespace {

struct NiftiImageDeleter {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

void writeMap(const std::filesystem::path& file, const VtcGrid& grid, const SpatialFrame& vmrFrame,
              int datatype, const void* values, int gzipLevel) {
  nifti_set_debug_level(0);
  const std::int64_t dims[8] = {3, grid.dimX(), grid.dimY(), grid.dimZ(), 1, 1, 1, 1};
  NiftiImagePtr image(nifti_make_new_nim(dims, datatype, 0));
  if (!image) throw OutputError(file.string() + ": cannot prepare the NIfTI header");

  const Affine affine = vtcVoxelToWorld(grid, vmrFrame);
  nifti_dmat44 matrix{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) matrix.m[r][c] = affine.m[r][c];
  }
  matrix.m[3][3] = 1.0;
  double voxelSize[3];
  for (int c = 0; c < 3; ++c) {
    voxelSize[c] = std::sqrt(affine.m[0][c] * affine.m[0][c] + affine.m[1][c] * affine.m[1][c] +
                             affine.m[2][c] * affine.m[2][c]);
  }
  image->dx = image->pixdim[1] = voxelSize[0];
  image->dy = image->pixdim[2] = voxelSize[1];
  image->dz = image->pixdim[3] = voxelSize[2];
  image->xyz_units = NIFTI_UNITS_MM;
  image->sform_code = vmrFrame.code;
  image->qform_code = vmrFrame.code;
  image->sto_xyz = matrix;
  image->sto_ijk = nifti_dmat44_inverse(matrix);
  double unusedSize[3];
  nifti_dmat44_to_quatern(matrix, &image->quatern_b, &image->quatern_c, &image->quatern_d,
                          &image->qoffset_x, &image->qoffset_y, &image->qoffset_z, &unusedSize[0],
                          &unusedSize[1], &unusedSize[2], &image->qfac);
  image->qto_xyz = nifti_quatern_to_dmat44(image->quatern_b, image->quatern_c, image->quatern_d,
                                           image->qoffset_x, image->qoffset_y, image->qoffset_z,
                                           image->dx, image->dy, image->dz, image->qfac);
  image->qto_ijk = nifti_dmat44_inverse(image->qto_xyz);
  image->nifti_type = NIFTI_FTYPE_NIFTI1_1;

  AtomicFileWriter writer(file);
  image->fname = nifti_strdup(writer.temporaryPath().c_str());
  image->iname = nifti_strdup(writer.temporaryPath().c_str());
  const std::string mode = "wb" + std::to_string(gzipLevel);
  znzFile stream = nifti_image_write_hdr_img(image.get(), 2, mode.c_str());
  if (znz_isnull(stream)) throw OutputError(file.string() + ": cannot be written (header)");
  const std::size_t count = grid.voxelCount();
  const std::size_t bytes = static_cast<std::size_t>(image->nbyper);
  const bool written = znzwrite(values, bytes, count, stream) == count;
  const bool closed = znzclose(stream) == 0;
  if (!written || !closed) {
    throw OutputError(file.string() + ": cannot be written (disk full or not writable?)");
  }
  writer.commit();
}

}  // namespace

void writeFloatMapNifti(const std::filesystem::path& file, const VtcGrid& grid,
                        const SpatialFrame& vmrFrame, const float* values, int gzipLevel) {
  writeMap(file, grid, vmrFrame, NIFTI_TYPE_FLOAT32, values, gzipLevel);
}

void writeLabelMapNifti(const std::filesystem::path& file, const VtcGrid& grid,
                        const SpatialFrame& vmrFrame, const std::int32_t* labels, int gzipLevel) {
  writeMap(file, grid, vmrFrame, NIFTI_TYPE_INT32, labels, gzipLevel);
}

}  // namespace tolvane::formats
