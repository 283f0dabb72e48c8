// VOIs from a NIfTI label image on the VMR grid: each distinct non-zero label is one
// VOI named "label N", in increasing label order, whose voxels are the image indices
// (VMR voxel coordinates, reference space 1) in storage order, x fastest.
#include <map>

#include "host/nifti_io.h"
#include "host/text_parsing.h"
#include "host/voi_set.h"

namespace hvhost {

VoiFile readVoiLabelImage(const std::filesystem::path& file, const std::array<int, 3>& vmrDims) {
  const LabelVolume volume = readLabelVolume(file);
  for (int axis = 0; axis < 3; ++axis) {
    if (volume.dims[axis] != vmrDims[axis]) {
      throw InputError(file.string() + ": expected a label image on the VMR grid of " +
                       std::to_string(vmrDims[0]) + " x " + std::to_string(vmrDims[1]) + " x " +
                       std::to_string(vmrDims[2]) + " voxels, found " +
                       std::to_string(volume.dims[0]) + " x " + std::to_string(volume.dims[1]) +
                       " x " + std::to_string(volume.dims[2]));
    }
  }
  std::map<std::int32_t, Voi> byLabel;
  std::size_t index = 0;
  for (std::int32_t z = 0; z < vmrDims[2]; ++z) {
    for (std::int32_t y = 0; y < vmrDims[1]; ++y) {
      for (std::int32_t x = 0; x < vmrDims[0]; ++x, ++index) {
        const std::int32_t label = volume.labels[index];
        if (label == 0) continue;
        Voi& voi = byLabel[label];
        if (voi.name.empty()) voi.name = "label " + std::to_string(label);
        voi.voxels.insert(voi.voxels.end(), {x, y, z});
      }
    }
  }
  VoiFile result{kVmrReferenceSpace, {}};
  for (auto& [label, voi] : byLabel) result.vois.push_back(std::move(voi));
  return result;
}

}  // namespace hvhost
