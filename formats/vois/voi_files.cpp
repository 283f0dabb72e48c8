// Choosing the VOI reader, and the reference spaces; see voi_files.h.
#include "formats/vois/voi_files.h"

#include "formats/nifti/nifti_io.h"

namespace tolvane::formats {

VoiFile readVoiFile(const std::filesystem::path& file, const std::array<int, 3>& vmrDims) {
  if (hasNiftiExtension(file)) return readVoiLabelImage(file, vmrDims);
  std::ifstream in = openTextFile(file, kVoiTextLimits);
  return readVoiText(in, file, vmrDims);
}

std::array<std::int64_t, 3> vmrVoxelOf(std::int32_t referenceSpace,
                                       const std::array<std::int32_t, 3>& stored) {
  const std::int64_t c0 = stored[0], c1 = stored[1], c2 = stored[2];
  if (referenceSpace == kFlippedVoiSpace) {
    return {kVoiFlipOrigin - c1, kVoiFlipOrigin - c2, kVoiFlipOrigin - c0};
  }
  return {c0, c1, c2};
}

}  // namespace tolvane::formats
