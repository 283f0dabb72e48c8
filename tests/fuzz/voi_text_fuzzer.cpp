// Fuzz target: the VOI text format, and the conversion of what it accepts into the
// other family of reference spaces, as a second --voi file would be.
#include "formats/text_parsing.h"
#include "formats/vois/voi_files.h"
#include "host/session/voi_set.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr std::array<int, 3> kVmrDims = {256, 256, 256};

void requireInsideVmr(std::int32_t space, const tolvane::formats::Voi& voi) {
  for (std::size_t i = 0; i + 2 < voi.voxels.size(); i += 3) {
    const auto voxel =
        tolvane::formats::vmrVoxelOf(space, {voi.voxels[i], voi.voxels[i + 1], voi.voxels[i + 2]});
    for (int axis = 0; axis < 3; ++axis) {
      fuzzing::require(voxel[axis] >= 0 && voxel[axis] < kVmrDims[axis],
                       "voxels lie inside the VMR");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream in = fuzzing::inputStream(data, size);
  try {
    const tolvane::formats::VoiFile file = tolvane::formats::readVoiText(in, "fuzz.voi", kVmrDims);
    fuzzing::require(file.vois.size() <= tolvane::formats::kMaxVois, "at most kMaxVois VOIs");
    for (const tolvane::formats::Voi& voi : file.vois) {
      fuzzing::require(!voi.name.empty() && voi.name.size() <= tolvane::formats::kMaxVoiNameLength,
                       "VOI names fit the VOI record");
      fuzzing::require(voi.voxels.size() % 3 == 0, "voxels are triples");
      requireInsideVmr(file.referenceSpace, voi);
    }
    // A first file in the other family of spaces makes the set convert these VOIs.
    const std::int32_t other = file.referenceSpace == tolvane::formats::kFlippedVoiSpace
                                   ? tolvane::formats::kVmrReferenceSpace
                                   : tolvane::formats::kFlippedVoiSpace;
    hvhost::VoiSet set;
    set.add({other, {}});
    set.add(file);
    fuzzing::require(set.size() == file.vois.size(), "the set keeps every VOI");
    for (std::size_t v = 0; v < set.size(); ++v) {
      requireInsideVmr(set.referenceSpace(), set[v]);
      fuzzing::require(set.voxelList(v) != nullptr, "every VOI has voxel storage");
    }
  } catch (const tolvane::formats::InputError&) {
  }
  return 0;
}
