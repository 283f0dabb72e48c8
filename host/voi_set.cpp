// Merging VOI files into one set; see voi_set.h.
#include "host/voi_set.h"

#include "host/nifti_io.h"

namespace hvhost {
namespace {

bool isFlipped(std::int32_t space) { return space == kFlippedReferenceSpace; }

// Rewrites every triple from one family of spaces (flipped or not) into the other.
void convertVoxels(Voi& voi, bool toFlipped) {
  for (std::size_t i = 0; i + 2 < voi.voxels.size(); i += 3) {
    const std::int32_t a = voi.voxels[i], b = voi.voxels[i + 1], c = voi.voxels[i + 2];
    if (toFlipped) {  // (X, Y, Z) -> (128 - Z, 128 - X, 128 - Y)
      voi.voxels[i] = kFlipOrigin - c;
      voi.voxels[i + 1] = kFlipOrigin - a;
      voi.voxels[i + 2] = kFlipOrigin - b;
    } else {  // (c0, c1, c2) -> (128 - c1, 128 - c2, 128 - c0)
      voi.voxels[i] = kFlipOrigin - b;
      voi.voxels[i + 1] = kFlipOrigin - c;
      voi.voxels[i + 2] = kFlipOrigin - a;
    }
  }
}

}  // namespace

VoiFile readVoiFile(const std::filesystem::path& file, const std::array<int, 3>& vmrDims) {
  if (hasNiftiExtension(file)) return readVoiLabelImage(file, vmrDims);
  std::ifstream in = openTextFile(file, kVoiTextLimits);
  return readVoiText(in, file, vmrDims);
}

std::array<std::int64_t, 3> vmrVoxelOf(std::int32_t referenceSpace,
                                       const std::array<std::int32_t, 3>& stored) {
  const std::int64_t c0 = stored[0], c1 = stored[1], c2 = stored[2];
  if (isFlipped(referenceSpace)) return {kFlipOrigin - c1, kFlipOrigin - c2, kFlipOrigin - c0};
  return {c0, c1, c2};
}

void VoiSet::add(VoiFile file) {
  if (!hasFiles_) referenceSpace_ = file.referenceSpace;
  hasFiles_ = true;
  const bool convert = isFlipped(file.referenceSpace) != isFlipped(referenceSpace_);
  for (Voi& voi : file.vois) {
    if (convert) convertVoxels(voi, isFlipped(referenceSpace_));
    vois_.push_back(std::move(voi));
  }
}

std::int32_t* VoiSet::voxelList(std::size_t index) {
  std::vector<std::int32_t>& voxels = vois_[index].voxels;
  // An empty vector may have no storage at all, and a null list means "no such VOI".
  voxels.reserve(3);
  return voxels.data();
}

}  // namespace hvhost
