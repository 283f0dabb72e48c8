// The host's volumes of interest: the VOIs of every file given, merged into one
// reference space.
//
// The set takes the space of the first file added and converts later VOIs into it, so
// that one reference space describes every voxel list handed to the plug-in.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/vois/voi_files.h"
#include "host/shared_names.h"

namespace hvhost {

class VoiSet {
 public:
  void add(formats::VoiFile file);
  std::int32_t referenceSpace() const { return referenceSpace_; }
  std::size_t size() const { return vois_.size(); }
  const formats::Voi& operator[](std::size_t index) const { return vois_[index]; }
  // The host's storage of a VOI's voxel list; never null, even for a VOI without voxels.
  std::int32_t* voxelList(std::size_t index);

 private:
  std::int32_t referenceSpace_ = formats::kVmrReferenceSpace;
  bool hasFiles_ = false;
  std::vector<formats::Voi> vois_;
};

}  // namespace hvhost
