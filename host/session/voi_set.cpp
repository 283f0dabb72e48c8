// Merging VOI files into one set; see voi_set.h.
#include "host/session/voi_set.h"

#include "plugin/host_interface.h"

namespace hvhost {

using namespace tolvane::formats;

// VOI files and the plug-in read voxel triples alike.
static_assert(kFlippedVoiSpace == ::kFlippedReferenceSpace && kVoiFlipOrigin == ::kFlipOrigin);

namespace {

bool isFlipped(std::int32_t space) { return space == kFlippedVoiSpace; }

// Rewrites every triple from one family of spaces (flipped or not) into the other.
void convertVoxels(Voi& voi, bool toFlipped) {
  for (std::size_t i = 0; i + 2 < voi.voxels.size(); i += 3) {
    const std::int32_t a = voi.voxels[i], b = voi.voxels[i + 1], c = voi.voxels[i + 2];
    if (toFlipped) {  // (X, Y, Z) -> (128 - Z, 128 - X, 128 - Y)
      voi.voxels[i] = kVoiFlipOrigin - c;
      voi.voxels[i + 1] = kVoiFlipOrigin - a;
      voi.voxels[i + 2] = kVoiFlipOrigin - b;
    } else {  // (c0, c1, c2) -> (128 - c1, 128 - c2, 128 - c0)
      voi.voxels[i] = kVoiFlipOrigin - b;
      voi.voxels[i + 1] = kVoiFlipOrigin - c;
      voi.voxels[i + 2] = kVoiFlipOrigin - a;
    }
  }
}

}  // namespace

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
