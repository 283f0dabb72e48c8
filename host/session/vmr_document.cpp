// The VMR document; see vmr_document.h.
#include "host/session/vmr_document.h"

#include <string>

#include "formats/nifti/nifti_io.h"
#include "formats/text_parsing.h"
#include "host/shared_names.h"

namespace hvhost {

using namespace tolvane::formats;

namespace {}  // namespace

VmrDocument::VmrDocument(std::array<int, 3> dims, SpatialFrame frame)
    : dims_(dims), frame_(frame), cross_{dims[0] / 2, dims[1] / 2, dims[2] / 2} {}

VmrDocument VmrDocument::empty256() {
  return VmrDocument({kEmptyVmrDim, kEmptyVmrDim, kEmptyVmrDim}, emptyVmrFrame());
}

VmrDocument::VmrDocument(const Anatomical& anatomical)
    : VmrDocument(anatomical.dims, anatomical.frame) {}

void VmrDocument::setCross(const std::array<int, 3>& position) {
  for (int axis = 0; axis < 3; ++axis) {
    if (position[axis] < 0 || position[axis] >= dims_[axis]) {
      throw InputError("cross position " + std::to_string(position[0]) + "," +
                       std::to_string(position[1]) + "," + std::to_string(position[2]) +
                       " lies outside the VMR of " + std::to_string(dims_[0]) + " x " +
                       std::to_string(dims_[1]) + " x " + std::to_string(dims_[2]) + " voxels");
    }
  }
  cross_ = position;
}

}  // namespace hvhost
