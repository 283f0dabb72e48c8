// The brain mask of an analysis: the voxels that are fitted, pooled and counted.
//
// Outside the brain a run holds air, whose noise is thermal and white: pooled with the
// brain's voxels it dilutes the AR(1) coefficient that prewhitening estimates (the
// brain template study reads 0.058 over the grid for 0.145 inside the brain), and
// counted by evaluate it dilutes every rate with voxels nobody would analyse. So every
// analysis command works inside a mask:
//   - by default the run's truth mask, PREFIX_desc-brain_mask.nii.gz in the dataset's
//     truth folder (tolvane simulate writes it for studies with scanner-like noise),
//     and the whole grid when there is none (a box study, where every voxel is brain);
//   - --mask IMAGE: a 3-D image on the map's grid (same dimensions and voxel-to-world
//     transform), non-zero inside;
//   - --no-mask: the whole grid.
// What the mask was, and how many voxels it holds, is recorded with every result, so
// that a rate always says what it is a rate over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"

namespace tolvane::analysis {

// What the user asked for.
struct MaskChoice {
  std::optional<std::filesystem::path> image;  // --mask
  bool wholeGrid = false;                      // --no-mask
};

// The mask as resolved on a grid.
struct AnalysisMask {
  std::vector<std::uint8_t> inside;  // 1 inside, per voxel; empty: the whole grid
  std::string source = kWholeGrid;   // the image's file name, or kWholeGrid
  std::int64_t voxels = 0;           // inside

  static constexpr const char* kWholeGrid = "whole grid";

  bool wholeGrid() const { return source == kWholeGrid; }
  bool contains(std::size_t voxel) const { return inside.empty() || inside[voxel] != 0; }
  // "the mask X_mask.nii.gz (1234 voxels)" or "the whole grid (8000 voxels)".
  std::string describe() const;
};

// The whole grid of `geometry`.
AnalysisMask wholeGridMask(const formats::MapGeometry& geometry);

// Resolves `choice` on `grid`; `truthMask` is the run's truth mask, used by default when
// the file exists (empty: there is none). Throws InputError for an image on another grid
// or without any voxel inside.
AnalysisMask resolveMask(const MaskChoice& choice, const std::filesystem::path& truthMask,
                         const formats::MapGeometry& grid);

// The truth mask of a run: PREFIX_desc-brain_mask.nii.gz in `truthFolder`.
std::filesystem::path truthMaskOf(const std::filesystem::path& truthFolder,
                                  const std::string& prefix);
// The truth mask of a BIDS series DATASET/sub-XX/func/PREFIX_bold.nii[.gz] in a dataset
// that tolvane simulate wrote; empty when the path is not laid out so.
std::filesystem::path truthMaskOfBold(const std::filesystem::path& bold);

}  // namespace tolvane::analysis
