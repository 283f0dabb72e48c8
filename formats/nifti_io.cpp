// NIfTI reading and writing with libnifti2; see nifti_io.h.
#include "formats/nifti_io.h"

#include <nifti2_io.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

#include "formats/atomic_file.h"
#include "formats/parallel_gzip.h"
#include "formats/text_parsing.h"

namespace tolvane::formats {
namespace {

struct NiftiImageDeleter {
  void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

// The header alone; the voxels are loaded only once the header is judged usable.
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

Affine toAffine(const nifti_dmat44& matrix) {
  Affine affine{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) affine.m[r][c] = matrix.m[r][c];
  }
  return affine;
}

nifti_dmat44 toMatrix(const Affine& affine) {
  nifti_dmat44 matrix{};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 4; ++c) matrix.m[r][c] = affine.m[r][c];
  }
  matrix.m[3][3] = 1.0;
  return matrix;
}

template <typename T>
double storedValue(const void* data, std::size_t index) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(data) + index * sizeof(T), sizeof(T));
  return static_cast<double>(value);
}

double voxelValue(const nifti_image& image, std::size_t index) {
  switch (image.datatype) {
    case NIFTI_TYPE_UINT8: return storedValue<std::uint8_t>(image.data, index);
    case NIFTI_TYPE_INT8: return storedValue<std::int8_t>(image.data, index);
    case NIFTI_TYPE_INT16: return storedValue<std::int16_t>(image.data, index);
    case NIFTI_TYPE_UINT16: return storedValue<std::uint16_t>(image.data, index);
    case NIFTI_TYPE_INT32: return storedValue<std::int32_t>(image.data, index);
    case NIFTI_TYPE_UINT32: return storedValue<std::uint32_t>(image.data, index);
    case NIFTI_TYPE_INT64: return storedValue<std::int64_t>(image.data, index);
    case NIFTI_TYPE_UINT64: return storedValue<std::uint64_t>(image.data, index);
    case NIFTI_TYPE_FLOAT32: return storedValue<float>(image.data, index);
    default: return storedValue<double>(image.data, index);  // NIFTI_TYPE_FLOAT64
  }
}

bool isSupportedLabelType(int datatype) {
  switch (datatype) {
    case NIFTI_TYPE_UINT8: case NIFTI_TYPE_INT8: case NIFTI_TYPE_INT16: case NIFTI_TYPE_UINT16:
    case NIFTI_TYPE_INT32: case NIFTI_TYPE_UINT32: case NIFTI_TYPE_INT64: case NIFTI_TYPE_UINT64:
    case NIFTI_TYPE_FLOAT32: case NIFTI_TYPE_FLOAT64:
      return true;
    default:
      return false;
  }
}

// The 4-D float image that a VTC exports to, header only: voxel size and placement from
// the VMR's frame composed with the grid, TR in seconds, units mm and s.
NiftiImagePtr vtcNiftiImage(const std::filesystem::path& file, const VtcGrid& grid,
                            const SpatialFrame& vmrFrame) {
  nifti_set_debug_level(0);
  const std::int64_t dims[8] = {4, grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints, 1, 1, 1};
  NiftiImagePtr image(nifti_make_new_nim(dims, NIFTI_TYPE_FLOAT32, 0));
  if (!image) throw OutputError(file.string() + ": cannot prepare the NIfTI header");

  const Affine affine = vtcVoxelToWorld(grid, vmrFrame);
  const nifti_dmat44 matrix = toMatrix(affine);
  double voxelSize[3];
  for (int c = 0; c < 3; ++c) {
    voxelSize[c] = std::sqrt(affine.m[0][c] * affine.m[0][c] + affine.m[1][c] * affine.m[1][c] +
                             affine.m[2][c] * affine.m[2][c]);
  }
  image->dx = image->pixdim[1] = voxelSize[0];
  image->dy = image->pixdim[2] = voxelSize[1];
  image->dz = image->pixdim[3] = voxelSize[2];
  image->dt = image->pixdim[4] = grid.trMilliseconds / 1000.0;
  image->xyz_units = NIFTI_UNITS_MM;
  image->time_units = NIFTI_UNITS_SEC;
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
  std::strncpy(image->descrip, "hvhost simulated VTC", sizeof image->descrip - 1);
  // The library checks the names and frees them with the image; nothing is opened by
  // them, since the header goes to the stream that niftiHeaderBytes hands it.
  image->fname = nifti_strdup(file.c_str());
  image->iname = nifti_strdup(file.c_str());
  return image;
}

// The bytes that libnifti2 itself writes before the voxels of a one-file image (the
// header and the extension flags after it), caught in memory so that they can be
// compressed together with the voxels.
std::vector<unsigned char> niftiHeaderBytes(nifti_image& image, const std::filesystem::path& file) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* memory = ::open_memstream(&buffer, &size);
  if (memory == nullptr) throw std::bad_alloc();
  // znzlib releases a handle with free() when it closes it, so the handle is malloc'ed.
  auto* handle = static_cast<znzptr*>(std::calloc(1, sizeof(znzptr)));
  if (handle == nullptr) {
    std::fclose(memory);
    std::free(buffer);
    throw std::bad_alloc();
  }
  handle->nzfptr = memory;  // withz stays 0: plain stdio writes
  // Options 2: the header without the voxels, and the stream left open. After a failed
  // write the library has closed the stream itself, so it is closed here only on success.
  znzFile stream = nifti_image_write_hdr_img2(&image, 2, "wb", handle, nullptr);
  const bool written = !znz_isnull(stream) && znzclose(stream) == 0;
  std::vector<unsigned char> bytes;
  if (written) bytes.assign(buffer, buffer + size);
  std::free(buffer);
  // The voxels follow at the offset the header states, and the export cuts its stream
  // at whole floats.
  if (!written || bytes.size() != static_cast<std::size_t>(image.iname_offset) ||
      bytes.size() % sizeof(float) != 0) {
    throw OutputError(file.string() + ": cannot prepare the NIfTI header");
  }
  return bytes;
}

// The bytes of a one-file NIfTI-1 export of a VTC: libnifti2's header, then the values in
// NIfTI order (x fastest, then y, z, t), gathered from the VTC's time-fastest layout only
// when a piece is asked for, so that no second copy of the VTC is ever held.
class VolumeOrderStream {
 public:
  VolumeOrderStream(const std::vector<unsigned char>& header, const VtcGrid& grid,
                    const float* data)
      : header_(header),
        voxels_(grid.voxelCount()),
        timePoints_(static_cast<std::size_t>(grid.timePoints)),
        data_(data) {}

  std::size_t size() const { return header_.size() + voxels_ * timePoints_ * sizeof(float); }

  // `offset` and the piece's end must fall on whole floats of the values.
  void fill(std::size_t offset, std::span<unsigned char> piece) const {
    unsigned char* out = piece.data();
    const std::size_t end = offset + piece.size();
    if (offset < header_.size()) {
      const std::size_t bytes = std::min(end, header_.size()) - offset;
      std::memcpy(out, header_.data() + offset, bytes);
      out += bytes;
      offset += bytes;
    }
    if (offset == end) return;
    // Values [first, last) in NIfTI order, which span volumes firstT to lastT. Voxel by
    // voxel, each voxel's run of time points is read in one go while the writes go to
    // one sequential stream per volume: both kind to the caches, unlike gathering a
    // volume at a time with a stride of a whole time series.
    const std::size_t first = (offset - header_.size()) / sizeof(float);
    const std::size_t last = (end - header_.size()) / sizeof(float);
    const std::size_t firstT = first / voxels_, firstV = first % voxels_;
    const std::size_t lastT = (last - 1) / voxels_, lastV = (last - 1) % voxels_;
    const std::size_t voxelBegin = firstT == lastT ? firstV : 0;
    const std::size_t voxelEnd = firstT == lastT ? lastV + 1 : voxels_;
    for (std::size_t v = voxelBegin; v < voxelEnd; ++v) {
      const std::size_t tBegin = v < firstV ? firstT + 1 : firstT;
      const std::size_t tEnd = v <= lastV ? lastT + 1 : lastT;
      const float* series = data_ + v * timePoints_;
      for (std::size_t t = tBegin; t < tEnd; ++t) {
        std::memcpy(out + (t * voxels_ + v - first) * sizeof(float), series + t, sizeof(float));
      }
    }
  }

 private:
  const std::vector<unsigned char>& header_;
  const std::size_t voxels_;
  const std::size_t timePoints_;
  const float* data_;
};

// --gzip-level keeps zlib's scale, 1 fastest to 9 smallest. libdeflate's levels 1 to 9
// follow that scale (somewhat faster and smaller at each).
int libdeflateLevel(int gzipLevel) { return gzipLevel; }

bool isGzipName(const std::filesystem::path& file) { return file.extension() == ".gz"; }

}  // namespace

bool hasNiftiExtension(const std::filesystem::path& file) {
  const std::string name = file.filename().string();
  const auto endsWith = [&](std::string_view suffix) {
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(),
                                                       suffix) == 0;
  };
  return endsWith(".nii") || endsWith(".nii.gz");
}

AnatomicalHeader readAnatomicalHeader(const std::filesystem::path& file) {
  const NiftiImagePtr image = readNiftiHeader(file);
  AnatomicalHeader header{{image->nx, image->ny, image->nz}, {}};
  if (image->sform_code > 0) {
    header.frame = {toAffine(image->sto_xyz), image->sform_code};
  } else if (image->qform_code > 0) {
    header.frame = {toAffine(image->qto_xyz), image->qform_code};
  } else {
    header.frame.voxelToWorld = {
        {{image->dx, 0, 0, 0}, {0, image->dy, 0, 0}, {0, 0, image->dz, 0}}};
  }
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
  if (!isSupportedLabelType(image->datatype)) {
    throw InputError(file.string() + ": expected integer or float voxels, found NIfTI datatype " +
                     std::to_string(image->datatype));
  }
  if (nifti_image_load(image.get()) != 0 || image->data == nullptr) {
    throw InputError(file.string() + ": cannot read the voxels of the NIfTI image "
                     "(truncated or damaged?)");
  }
  const bool scaled = image->scl_slope != 0.0 && !(image->scl_slope == 1.0 && image->scl_inter == 0.0);
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

Affine vtcVoxelToWorld(const VtcGrid& grid, const SpatialFrame& vmrFrame) {
  return compose(vmrFrame.voxelToWorld, grid.gridToVmr());
}

unsigned defaultCompressionThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

void writeVtcNifti(const std::filesystem::path& file, const VtcGrid& grid,
                   const SpatialFrame& vmrFrame, const float* data, int gzipLevel) {
  writeVtcNifti(file, grid, vmrFrame, data, gzipLevel, defaultCompressionThreads());
}

void writeVtcNifti(const std::filesystem::path& file, const VtcGrid& grid,
                   const SpatialFrame& vmrFrame, const float* data, int gzipLevel,
                   unsigned threads) {
  if (gzipLevel < 1 || gzipLevel > 9) {
    throw std::invalid_argument("gzip level " + std::to_string(gzipLevel) + " is not 1 to 9");
  }
  AtomicFileWriter writer(file);
  try {
    const NiftiImagePtr image = vtcNiftiImage(file, grid, vmrFrame);
    const std::vector<unsigned char> header = niftiHeaderBytes(*image, file);
    const VolumeOrderStream stream(header, grid, data);
    const auto fill = [&](std::size_t offset, std::span<unsigned char> piece) {
      stream.fill(offset, piece);
    };
    CheckedOutputFile output(writer.temporaryPath(), file.string());
    if (isGzipName(file)) {
      compressAsGzipMembers(
          stream.size(), fill,
          [&](std::span<const unsigned char> member) { output.write(member.data(), member.size()); },
          libdeflateLevel(gzipLevel), threads);
    } else {
      std::vector<unsigned char> piece(std::min(stream.size(), kGzipPieceBytes));
      for (std::size_t offset = 0; offset < stream.size(); offset += piece.size()) {
        const std::size_t bytes = std::min(piece.size(), stream.size() - offset);
        fill(offset, {piece.data(), bytes});
        output.write(piece.data(), bytes);
      }
    }
    output.close();
  } catch (const std::bad_alloc&) {
    throw OutputError(file.string() + ": cannot be written: not enough memory");
  }
  writer.commit();
}

}  // namespace tolvane::formats
