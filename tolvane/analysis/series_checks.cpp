// Unfittable voxels of a BOLD series; see series_checks.h.
#include "tolvane/analysis/series_checks.h"

#include <cmath>
#include <cstdint>

#include "formats/errors.h"

namespace tolvane::analysis {

std::string voxelPlace(std::size_t index, const std::array<std::int64_t, 3>& dims) {
  const auto x = static_cast<std::int64_t>(index) % dims[0];
  const auto y = static_cast<std::int64_t>(index) / dims[0] % dims[1];
  const auto z = static_cast<std::int64_t>(index) / (dims[0] * dims[1]);
  return "(" + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(z) + ")";
}

std::vector<std::string> checkSeriesValues(const formats::FloatSeries& series,
                                           const std::filesystem::path& file) {
  const std::size_t voxels = series.geometry.voxelCount();
  const auto volumes = static_cast<std::size_t>(series.volumes);
  std::vector<unsigned char> nonFinite(voxels, 0), varying(voxels, 0);
  std::size_t firstBadValue = voxels * volumes;
  for (std::size_t t = 0; t < volumes; ++t) {
    const float* volume = series.values.data() + t * voxels;
    const float* first = series.values.data();
    for (std::size_t v = 0; v < voxels; ++v) {
      if (!std::isfinite(volume[v])) {
        nonFinite[v] = 1;
        firstBadValue = std::min(firstBadValue, t * voxels + v);
      }
      varying[v] |= static_cast<unsigned char>(volume[v] != first[v]);
    }
  }
  std::size_t badVoxels = 0, constant = 0, firstConstant = voxels;
  for (std::size_t v = 0; v < voxels; ++v) {
    badVoxels += nonFinite[v];
    if (!nonFinite[v] && !varying[v]) {
      ++constant;
      firstConstant = std::min(firstConstant, v);
    }
  }
  const std::string where = file.string() + ": ";
  std::vector<std::string> warnings;
  if (badVoxels > 0) {
    warnings.push_back(where + std::to_string(badVoxels) + " of " + std::to_string(voxels) +
                       " voxels have values that are not finite (NaN or infinite), the first at "
                       "voxel " +
                       voxelPlace(firstBadValue % voxels, series.geometry.dims) + " in volume " +
                       std::to_string(firstBadValue / voxels + 1) + "; their maps are NaN");
  }
  if (constant > 0) {
    warnings.push_back(where + std::to_string(constant) + " of " + std::to_string(voxels) +
                       " voxels are constant over the run, the first at voxel " +
                       voxelPlace(firstConstant, series.geometry.dims) +
                       "; their t and p are NaN (outside a mask, or no signal)");
  }
  if (badVoxels + constant == voxels) {
    throw formats::InputError(
        where + "expected a series that varies in some voxel, found " + std::to_string(badVoxels) +
        " voxels with values that are not "
        "finite and " +
        std::to_string(constant) + " constant ones, so every map would be NaN");
  }
  return warnings;
}

}  // namespace tolvane::analysis
