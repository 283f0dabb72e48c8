// Volumes of interest: named voxel lists in one reference space.
//
// A voxel is a triple (c0, c1, c2) of int32. In reference space 3 (the flipped
// system) it stands for VMR voxel (X, Y, Z) = (128 - c1, 128 - c2, 128 - c0); in every
// other space it is (X, Y, Z) = (c0, c1, c2) directly. VOIs come from text files, whose
// first line gives their space, and from NIfTI label images on the VMR grid (space 1).
// The set takes the space of the first file added and converts later VOIs into it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hvhost {

constexpr std::int32_t kVmrReferenceSpace = 1;
constexpr std::int32_t kFlippedReferenceSpace = 3;
constexpr std::int32_t kFlipOrigin = 128;
// A VOI name travels in a 260-byte record, terminator included.
constexpr std::size_t kMaxVoiNameLength = 259;

struct Voi {
  std::string name;
  std::vector<std::int32_t> voxels;  // three values per voxel
  std::size_t voxelCount() const { return voxels.size() / 3; }
};

struct VoiFile {
  std::int32_t referenceSpace = kVmrReferenceSpace;
  std::vector<Voi> vois;
};

// By extension: ".nii" / ".nii.gz" is a label image (which must match the VMR's
// dimensions), anything else the VOI text format. Throws InputError.
VoiFile readVoiFile(const std::filesystem::path& file, const std::array<int, 3>& vmrDims);
VoiFile readVoiText(const std::filesystem::path& file);
VoiFile readVoiLabelImage(const std::filesystem::path& file, const std::array<int, 3>& vmrDims);

class VoiSet {
 public:
  void add(VoiFile file);
  std::int32_t referenceSpace() const { return referenceSpace_; }
  std::size_t size() const { return vois_.size(); }
  const Voi& operator[](std::size_t index) const { return vois_[index]; }
  // The host's storage of a VOI's voxel list; never null, even for a VOI without voxels.
  std::int32_t* voxelList(std::size_t index);

 private:
  std::int32_t referenceSpace_ = kVmrReferenceSpace;
  bool hasFiles_ = false;
  std::vector<Voi> vois_;
};

}  // namespace hvhost
