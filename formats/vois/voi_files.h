// Volumes of interest as files give them: named voxel lists in one reference space.
//
// A voxel is a triple (c0, c1, c2) of int32. In reference space 3 (the flipped
// system) it stands for VMR voxel (X, Y, Z) = (128 - c1, 128 - c2, 128 - c0); in every
// other space it is (X, Y, Z) = (c0, c1, c2) directly. VOIs come from text files, whose
// first line gives their space, and from NIfTI label images on the VMR grid (space 1).
// Every voxel lies inside the VMR: readers refuse one that does not, which also keeps
// the arithmetic of the flip and of the plug-in's grid indices within range.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <string>
#include <vector>

#include "formats/text_input.h"

namespace tolvane::formats {

// The reference spaces of the VOI files, the same codes as the host's VOI records.
constexpr std::int32_t kVmrReferenceSpace = 1;
constexpr std::int32_t kFlippedVoiSpace = 3;
constexpr std::int32_t kVoiFlipOrigin = 128;
// A VOI name travels in a 260-byte record, terminator included.
constexpr std::size_t kMaxVoiNameLength = 259;
// The plug-in asks for a predictor once per VOI; a fine parcellation has a thousand
// regions, and ten thousand keeps a run of prompts within reason.
constexpr std::size_t kMaxVois = 10000;
// Room for a VOI of every voxel of a 256^3 VMR, one "X Y Z" line each.
constexpr TextLimits kVoiTextLimits{256u << 20, 64u << 10};

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
// The text format, from text that comes from `file`.
VoiFile readVoiText(std::istream& in, const std::filesystem::path& file,
                    const std::array<int, 3>& vmrDims);
VoiFile readVoiLabelImage(const std::filesystem::path& file, const std::array<int, 3>& vmrDims);

// The VMR voxel (X, Y, Z) that a stored triple stands for in a reference space,
// widened so that no triple can overflow.
std::array<std::int64_t, 3> vmrVoxelOf(std::int32_t referenceSpace,
                                       const std::array<std::int32_t, 3>& stored);

}  // namespace tolvane::formats
