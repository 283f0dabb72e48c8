// The anatomical volume (VMR) that the plug-in works on.
//
// Without an anatomical file it is an empty 256 x 256 x 256 volume of 1 mm voxels
// whose centre voxel (128, 128, 128) sits at the world origin (scanner space). From a
// NIfTI anatomical it takes that image's dimensions and voxel-to-world transform. The
// cross cursor starts at the centre, (dim / 2) along each axis.
#pragma once

#include <array>

#include "formats/nifti/nifti_io.h"
#include "host/shared_names.h"

namespace hvhost {

class VmrDocument {
 public:
  static VmrDocument empty256();
  explicit VmrDocument(const formats::Anatomical& anatomical);

  const std::array<int, 3>& dims() const { return dims_; }
  const formats::SpatialFrame& frame() const { return frame_; }
  const std::array<int, 3>& cross() const { return cross_; }
  // Throws InputError when the position lies outside the volume.
  void setCross(const std::array<int, 3>& position);

 private:
  VmrDocument(std::array<int, 3> dims, formats::SpatialFrame frame);
  std::array<int, 3> dims_;
  formats::SpatialFrame frame_;
  std::array<int, 3> cross_;
};

}  // namespace hvhost
