// The brain mask of an analysis; see analysis_mask.h.
#include "tolvane/analysis/analysis_mask.h"

#include "formats/affine.h"
#include "formats/errors.h"

namespace tolvane::analysis {
namespace {

constexpr std::string_view kBoldEnding = "_bold";

std::string withoutNiftiExtension(std::string name) {
  for (std::string_view extension : {".nii.gz", ".nii"}) {
    if (name.size() >= extension.size() &&
        name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
      return name.substr(0, name.size() - extension.size());
    }
  }
  return name;
}

}  // namespace

std::string AnalysisMask::describe() const {
  const std::string count = " (" + std::to_string(voxels) + " voxels)";
  return wholeGrid() ? std::string("the whole grid") + count : "the mask " + source + count;
}

AnalysisMask wholeGridMask(const formats::MapGeometry& geometry) {
  AnalysisMask mask;
  mask.voxels = static_cast<std::int64_t>(geometry.voxelCount());
  return mask;
}

AnalysisMask resolveMask(const MaskChoice& choice, const std::filesystem::path& truthMask,
                         const formats::MapGeometry& grid) {
  if (choice.wholeGrid) return wholeGridMask(grid);
  std::filesystem::path file;
  if (choice.image) {
    file = *choice.image;
  } else if (!truthMask.empty() && std::filesystem::is_regular_file(truthMask)) {
    file = truthMask;
  } else {
    return wholeGridMask(grid);
  }
  const formats::ScalarVolume image = formats::readScalarVolume(file);
  if (image.geometry.dims != grid.dims ||
      !formats::samePlacement(image.geometry.frame.voxelToWorld, grid.frame.voxelToWorld)) {
    throw formats::InputError(file.string() + ": expected a mask on the maps' grid (" +
                              formats::describeGeometry(grid) + "), found " +
                              formats::describeGeometry(image.geometry));
  }
  AnalysisMask mask;
  mask.source = file.filename().string();
  mask.inside.resize(image.values.size());
  for (std::size_t v = 0; v < image.values.size(); ++v) {
    // NaN counts as outside: it is no statement that the voxel is brain.
    mask.inside[v] = image.values[v] != 0.0 && image.values[v] == image.values[v];
    mask.voxels += mask.inside[v];
  }
  if (mask.voxels == 0) {
    throw formats::InputError(file.string() +
                              ": expected a mask with voxels inside (non-zero), found none");
  }
  return mask;
}

std::filesystem::path truthMaskOf(const std::filesystem::path& truthFolder,
                                  const std::string& prefix) {
  return truthFolder / (prefix + "_desc-brain_mask.nii.gz");
}

std::filesystem::path truthMaskOfBold(const std::filesystem::path& bold) {
  const std::string stem = withoutNiftiExtension(bold.filename().string());
  if (stem.size() <= kBoldEnding.size() ||
      stem.compare(stem.size() - kBoldEnding.size(), kBoldEnding.size(), kBoldEnding) != 0) {
    return {};
  }
  const std::filesystem::path func = bold.parent_path();
  const std::filesystem::path subject = func.parent_path();
  if (func.filename() != "func" || subject.filename().string().rfind("sub-", 0) != 0) return {};
  return truthMaskOf(subject.parent_path() / "derivatives" / "tolvane" / subject.filename() / "func",
                     stem.substr(0, stem.size() - kBoldEnding.size()));
}

}  // namespace tolvane::analysis
