// VOIs from a NIfTI label image on the VMR grid: each distinct non-zero label is one
// VOI named "label N", in increasing label order, whose voxels are the image indices
// (VMR voxel coordinates, reference space 1) in storage order, x fastest.
//
// The image's dimensions are checked from its header before any voxel is read, so an
// image of the wrong size costs neither the memory nor the time of loading it.
#include <map>

#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"

namespace tolvane::formats {

VoiFile readVoiLabelImage(const std::filesystem::path& file, const std::array<int, 3>& vmrDims) {
  const AnatomicalHeader header = readAnatomicalHeader(file);
  for (int axis = 0; axis < 3; ++axis) {
    if (header.dims[axis] != vmrDims[axis]) {
      throw InputError(file.string() + ": expected a label image on the VMR grid of " +
                       std::to_string(vmrDims[0]) + " x " + std::to_string(vmrDims[1]) + " x " +
                       std::to_string(vmrDims[2]) + " voxels, found " +
                       std::to_string(header.dims[0]) + " x " + std::to_string(header.dims[1]) +
                       " x " + std::to_string(header.dims[2]));
    }
  }
  const LabelVolume volume = readLabelVolume(file);
  std::map<std::int32_t, Voi> byLabel;
  std::size_t index = 0;
  for (std::int32_t z = 0; z < vmrDims[2]; ++z) {
    for (std::int32_t y = 0; y < vmrDims[1]; ++y) {
      for (std::int32_t x = 0; x < vmrDims[0]; ++x, ++index) {
        const std::int32_t label = volume.labels[index];
        if (label == 0) continue;
        auto found = byLabel.find(label);
        if (found == byLabel.end()) {
          if (byLabel.size() == kMaxVois) {
            throw InputError(file.string() + ": expected at most " + std::to_string(kMaxVois) +
                             " distinct labels, found more");
          }
          found = byLabel.emplace(label, Voi{"label " + std::to_string(label), {}}).first;
        }
        found->second.voxels.insert(found->second.voxels.end(), {x, y, z});
      }
    }
  }
  VoiFile result{kVmrReferenceSpace, {}};
  for (auto& [label, voi] : byLabel) result.vois.push_back(std::move(voi));
  return result;
}

}  // namespace tolvane::formats
