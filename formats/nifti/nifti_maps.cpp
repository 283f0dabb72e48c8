// Reading series and volumes, writing float maps, with libnifti2; see nifti_maps.h.
#include "formats/nifti/nifti_maps.h"

#include <nifti2_io.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_image_handle.h"
#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

bool isScaled(const nifti_image& image) {
  return image.scl_slope != 0.0 && !(image.scl_slope == 1.0 && image.scl_inter == 0.0);
}

MapGeometry geometryOf(const nifti_image& image) {
  return {{image.nx, image.ny, image.nz}, frameOf(image)};
}

void checkReal(const nifti_image& image, const std::filesystem::path& file) {
  if (!isRealType(image.datatype)) {
    throw InputError(file.string() + ": expected integer or float voxels, found NIfTI datatype " +
                     std::to_string(image.datatype));
  }
}

// The voxels as stored. libnifti's own loader replaces every non-finite float with 0,
// but NaN is how a map marks a voxel without a value (t where the fit is exact), and
// must stay NaN for whoever scores the map.
void loadVoxels(nifti_image& image, const std::filesystem::path& file) {
  const auto fail = [&] {
    throw InputError(file.string() +
                     ": cannot read the voxels of the NIfTI image "
                     "(truncated or damaged?)");
  };
  const auto bytes = static_cast<std::size_t>(image.nvox) * static_cast<std::size_t>(image.nbyper);
  image.data = std::malloc(bytes);  // the library frees it with the image
  if (image.data == nullptr) {
    throw InputError(file.string() + ": not enough memory for " + std::to_string(bytes) +
                     " bytes of voxels");
  }
  znzFile stream = znzopen(image.iname, "rb", nifti_is_gzfile(image.iname));
  if (znz_isnull(stream)) fail();
  const bool read = znzseek(stream, static_cast<znz_off_t>(image.iname_offset), SEEK_SET) >= 0 &&
                    znzread(image.data, 1, bytes, stream) == bytes;
  znzclose(stream);
  if (!read) fail();
  if (image.byteorder != nifti_short_order() && image.swapsize > 1) {
    nifti_swap_Nbytes(image.nvox, image.swapsize, image.data);
  }
}

template <typename T>
std::vector<T> allocate(std::size_t count, const std::filesystem::path& file) {
  try {
    return std::vector<T>(count);
  } catch (const std::bad_alloc&) {
    throw InputError(file.string() + ": not enough memory for " + std::to_string(count) +
                     " values");
  }
}

double secondsPerTimeUnit(int unit) {
  switch (unit) {
    case NIFTI_UNITS_MSEC:
      return 1e-3;
    case NIFTI_UNITS_USEC:
      return 1e-6;
    default:
      return 1.0;  // seconds, or not given: BIDS requires seconds
  }
}

// pixdim[4] as the file stores it: the library's image replaces a zero or negative
// spacing with 1, which would pass a series without a TR as one of 1 s.
double storedTimeStep(const std::filesystem::path& file) {
  int version = 0;
  void* header = nifti_read_header(file.c_str(), &version, 0);
  if (header == nullptr) return 0.0;
  const double step = version == 2 ? static_cast<nifti_2_header*>(header)->pixdim[4]
                                   : static_cast<nifti_1_header*>(header)->pixdim[4];
  std::free(header);
  return step;
}

// A 3-D map of `datatype` values on `geometry`, through a temporary file.
void writeMap(const std::filesystem::path& file, const MapGeometry& geometry, int datatype,
              const void* values, const MapIntent& intent, int gzipLevel) {
  nifti_set_debug_level(0);
  const std::int64_t dims[8] = {3, geometry.dims[0], geometry.dims[1], geometry.dims[2], 1, 1, 1,
                                1};
  NiftiImagePtr image(nifti_make_new_nim(dims, datatype, 0));
  if (!image) throw OutputError(file.string() + ": cannot prepare the NIfTI header");
  placeImage(*image, geometry.frame.voxelToWorld, geometry.frame.code);
  image->intent_code = intent.code;
  image->intent_p1 = intent.parameter;
  image->nifti_type = NIFTI_FTYPE_NIFTI1_1;

  AtomicFileWriter writer(file);
  // The library frees these names with the image.
  image->fname = nifti_strdup(writer.temporaryPath().c_str());
  image->iname = nifti_strdup(writer.temporaryPath().c_str());
  const std::string mode = "wb" + std::to_string(gzipLevel);
  znzFile stream = nifti_image_write_hdr_img(image.get(), 2, mode.c_str());
  if (znz_isnull(stream)) throw OutputError(file.string() + ": cannot be written (header)");
  const std::size_t count = geometry.voxelCount();
  const auto bytes = static_cast<std::size_t>(image->nbyper);
  const bool written = znzwrite(values, bytes, count, stream) == count;
  const bool closed = znzclose(stream) == 0;
  if (!written || !closed) {
    throw OutputError(file.string() + ": cannot be written (disk full or not writable?)");
  }
  writer.commit();
}

}  // namespace

FloatSeries readFloatSeries(const std::filesystem::path& file) {
  NiftiImagePtr image = readNiftiHeader(file);
  if (image->nt < 2 || image->nu > 1 || image->nv > 1 || image->nw > 1) {
    throw InputError(file.string() + ": expected a 4-D series of at least two volumes, found " +
                     std::to_string(image->nt) + " volume(s) in " + std::to_string(image->ndim) +
                     " dimensions");
  }
  checkReal(*image, file);
  const double tr = storedTimeStep(file) * secondsPerTimeUnit(image->time_units);
  if (!(tr > 0.0) || !std::isfinite(tr)) {
    throw InputError(file.string() + ": expected the repetition time in pixdim[4], found " +
                     std::to_string(storedTimeStep(file)) + " (a BOLD series needs its TR)");
  }
  loadVoxels(*image, file);
  FloatSeries series{geometryOf(*image), image->nt, tr, {}};
  const auto count = static_cast<std::size_t>(image->nvox);
  series.values = allocate<float>(count, file);
  if (image->datatype == NIFTI_TYPE_FLOAT32 && !isScaled(*image)) {
    std::memcpy(series.values.data(), image->data, count * sizeof(float));
  } else {
    const bool scaled = isScaled(*image);
    for (std::size_t i = 0; i < count; ++i) {
      double value = voxelValue(*image, i);
      if (scaled) value = value * image->scl_slope + image->scl_inter;
      series.values[i] = static_cast<float>(value);
    }
  }
  return series;
}

ScalarVolume readScalarVolume(const std::filesystem::path& file) {
  NiftiImagePtr image = readNiftiHeader(file);
  if (image->nt > 1 || image->nu > 1 || image->nv > 1 || image->nw > 1) {
    throw InputError(file.string() + ": expected a 3-D image, found " +
                     std::to_string(image->ndim) + " dimensions");
  }
  checkReal(*image, file);
  loadVoxels(*image, file);
  ScalarVolume volume{geometryOf(*image), isIntegerType(image->datatype), {}};
  const auto count = static_cast<std::size_t>(image->nvox);
  volume.values = allocate<double>(count, file);
  const bool scaled = isScaled(*image);
  for (std::size_t i = 0; i < count; ++i) {
    const double value = voxelValue(*image, i);
    volume.values[i] = scaled ? value * image->scl_slope + image->scl_inter : value;
  }
  return volume;
}

MapGeometry mapGeometryOf(const VtcGeometry& grid, const SpatialFrame& vmrFrame) {
  return {{grid.dimX(), grid.dimY(), grid.dimZ()},
          {vtcVoxelToWorld(grid, vmrFrame), vmrFrame.code}};
}

void writeFloatMapNifti(const std::filesystem::path& file, const MapGeometry& geometry,
                        const float* values, const MapIntent& intent, int gzipLevel) {
  writeMap(file, geometry, NIFTI_TYPE_FLOAT32, values, intent, gzipLevel);
}

void writeLabelMapNifti(const std::filesystem::path& file, const MapGeometry& geometry,
                        const std::int32_t* labels, int gzipLevel) {
  writeMap(file, geometry, NIFTI_TYPE_INT32, labels, {}, gzipLevel);
}

std::string describeGeometry(const MapGeometry& geometry) {
  std::ostringstream text;
  text << geometry.dims[0] << " x " << geometry.dims[1] << " x " << geometry.dims[2]
       << ", affine [";
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) text << (c ? " " : "") << geometry.frame.voxelToWorld.m[r][c];
    text << (r < 2 ? "; " : "]");
  }
  return text.str();
}

}  // namespace tolvane::formats
