// The NIfTI-1 export of a VTC, plain or gzip-compressed in parallel; see nifti_io.h.
#include <nifti2_io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_image_handle.h"
#include "formats/nifti/nifti_io.h"
#include "formats/nifti/parallel_gzip.h"

namespace tolvane::formats {
namespace {

// The 4-D image that a VTC exports to, header only: float, or int16 with its scale;
// voxel size and placement from the VMR's frame composed with the grid, TR in seconds,
// units mm and s.
NiftiImagePtr vtcNiftiImage(const std::filesystem::path& file, const VtcGeometry& grid,
                            const SpatialFrame& vmrFrame, const std::string& description,
                            const std::optional<Int16Scale>& int16) {
  nifti_set_debug_level(0);
  const std::int64_t dims[8] = {4, grid.dimX(), grid.dimY(), grid.dimZ(), grid.timePoints, 1, 1, 1};
  NiftiImagePtr image(nifti_make_new_nim(dims, int16 ? NIFTI_TYPE_INT16 : NIFTI_TYPE_FLOAT32, 0));
  if (!image) throw OutputError(file.string() + ": cannot prepare the NIfTI header");
  if (int16) {
    image->scl_slope = int16->slope;
    image->scl_inter = int16->inter;
  }

  placeImage(*image, vtcVoxelToWorld(grid, vmrFrame), vmrFrame.code);
  image->dt = image->pixdim[4] = grid.trMilliseconds / 1000.0;
  image->time_units = NIFTI_UNITS_SEC;
  image->nifti_type = NIFTI_FTYPE_NIFTI1_1;
  std::strncpy(image->descrip, description.c_str(), sizeof image->descrip - 1);
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
  // Write option 2: the header without the voxels, the stream left open. After a failed
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
// NIfTI order (x fastest, then y, z, t). Floats are gathered from the VTC's time-fastest
// layout only when a piece is asked for, so that no second copy of the VTC is ever
// held; int16 values are copied from their volumes, already in NIfTI order.
class VolumeOrderStream {
 public:
  VolumeOrderStream(const std::vector<unsigned char>& header, const VtcGeometry& grid,
                    const float* data, const std::int16_t* int16Volumes)
      : header_(header),
        voxels_(grid.voxelCount()),
        timePoints_(static_cast<std::size_t>(grid.timePoints)),
        data_(data),
        int16Volumes_(int16Volumes),
        valueBytes_(int16Volumes ? sizeof(std::int16_t) : sizeof(float)) {}

  std::size_t size() const { return header_.size() + voxels_ * timePoints_ * valueBytes_; }
  std::size_t valueBytes() const { return valueBytes_; }

  // `offset` and the piece's end must fall on whole values.
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
    if (int16Volumes_) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(int16Volumes_);
      std::memcpy(out, bytes + (offset - header_.size()), end - offset);
      return;
    }
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
      // The courses are read a line or two each, a whole course apart, which the
      // processor does not fetch ahead of its own accord.
      const float* ahead = data_ + std::min(v + kVoxelsAhead, voxelEnd - 1) * timePoints_;
      __builtin_prefetch(ahead + firstT);
      __builtin_prefetch(ahead + lastT);
      const std::size_t tBegin = v < firstV ? firstT + 1 : firstT;
      const std::size_t tEnd = v <= lastV ? lastT + 1 : lastT;
      const float* series = data_ + v * timePoints_;
      for (std::size_t t = tBegin; t < tEnd; ++t) {
        std::memcpy(out + (t * voxels_ + v - first) * sizeof(float), series + t, sizeof(float));
      }
    }
  }

 private:
  static constexpr std::size_t kVoxelsAhead = 16;

  const std::vector<unsigned char>& header_;
  const std::size_t voxels_;
  const std::size_t timePoints_;
  const float* data_;
  const std::int16_t* int16Volumes_;
  const std::size_t valueBytes_;
};

// --gzip-level keeps zlib's scale, 1 fastest to 9 smallest, and is spread evenly over
// libdeflate's 1 to 12, rounded, so that both ends keep their meaning: on simulated noise
// libdeflate's 9 gives a larger file than its 1, and only its 12 a smaller one.
int libdeflateLevel(int gzipLevel) { return 1 + ((gzipLevel - 1) * 11 + 4) / 8; }

bool isGzipName(const std::filesystem::path& file) { return file.extension() == ".gz"; }

// The stream gathers each voxel's time points from its time course, and a cache line of
// a course holds 16 floats: a fill that spans fewer volumes fetches the same lines again
// for the next fill. On a large grid a piece spans only a few volumes, so pieces are
// filled several at a time, up to kMaxPiecesPerFill (a thread then holds that many
// pieces and members).
constexpr std::size_t kVolumesPerFill = 16;
constexpr std::size_t kMaxPiecesPerFill = 4;

std::size_t piecesPerFill(std::size_t volumeBytes) {
  const std::size_t wanted =
      (kVolumesPerFill * volumeBytes + kGzipPieceBytes - 1) / kGzipPieceBytes;
  return std::clamp<std::size_t>(wanted, 1, kMaxPiecesPerFill);
}

}  // namespace

Affine vtcVoxelToWorld(const VtcGeometry& grid, const SpatialFrame& vmrFrame) {
  return compose(vmrFrame.voxelToWorld, grid.gridToVmr());
}

void writeVtcNifti(const std::filesystem::path& file, const VtcGeometry& grid,
                   const SpatialFrame& vmrFrame, const float* data, int gzipLevel,
                   const VtcNiftiOptions& options) {
  if (gzipLevel < 1 || gzipLevel > 9) {
    throw std::invalid_argument("gzip level " + std::to_string(gzipLevel) + " is not 1 to 9");
  }
  AtomicFileWriter writer(file);
  try {
    const NiftiImagePtr image =
        vtcNiftiImage(file, grid, vmrFrame, options.description,
                      options.int16 ? std::optional(options.int16->scale) : std::nullopt);
    const std::vector<unsigned char> header = niftiHeaderBytes(*image, file);
    const unsigned threads = options.threads == 0 ? usableCores() : options.threads;
    const VolumeOrderStream stream(header, grid, data,
                                   options.int16 ? options.int16->values : nullptr);
    const auto fill = [&](std::size_t offset, std::span<unsigned char> piece) {
      stream.fill(offset, piece);
    };
    CheckedOutputFile output(writer.temporaryPath(), file.string());
    // The stream's bytes written so far, told as whole volumes.
    const std::size_t volumeBytes = grid.voxelCount() * stream.valueBytes();
    const auto wrote = [&](std::size_t streamBytes) {
      if (options.progress && streamBytes > header.size() && volumeBytes > 0) {
        options.progress(static_cast<std::int64_t>((streamBytes - header.size()) / volumeBytes));
      }
    };
    if (isGzipName(file)) {
      // Each member holds one piece of the stream, the pieces in order.
      std::size_t members = 0;
      const auto write = [&](std::span<const unsigned char> member) {
        output.write(member.data(), member.size());
        wrote(std::min(++members * kGzipPieceBytes, stream.size()));
      };
      compressAsGzipMembers(stream.size(), fill, write, libdeflateLevel(gzipLevel), threads,
                            options.helpers, piecesPerFill(volumeBytes));
    } else {
      std::vector<unsigned char> piece(std::min(stream.size(), kGzipPieceBytes));
      for (std::size_t offset = 0; offset < stream.size(); offset += piece.size()) {
        const std::size_t bytes = std::min(piece.size(), stream.size() - offset);
        fill(offset, {piece.data(), bytes});
        output.write(piece.data(), bytes);
        wrote(offset + bytes);
      }
    }
    output.close();
  } catch (const std::bad_alloc&) {
    throw OutputError(file.string() + ": cannot be written: not enough memory");
  }
  writer.commit();
}

}  // namespace tolvane::formats
