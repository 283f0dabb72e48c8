// Everything the report shows about one run, gathered from the dataset: the mean image,
// the truth's regions, the t maps (the analysis's outputs, or a fit made here), the
// design, and each region's time courses. The series itself is not kept.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/dataset/runs.h"

namespace tolvane::report {

// Voxel time courses kept per region at most; the plot shows their spread, not each.
inline constexpr std::size_t kShownVoxelCourses = 24;

struct RegionData {
  std::string name;
  std::vector<std::size_t> voxels;
  std::array<std::int64_t, 3> centre{};  // the region's voxel nearest its centroid
  std::vector<double> meanCourse;        // over all its voxels, per volume
  std::vector<std::vector<double>> voxelCourses;
  std::vector<double> expectedEffect;  // sum over conditions of mean amplitude x predictor
};

struct StatisticMap {
  std::string label, expression;
  std::filesystem::path file;  // empty when fitted by the report
  std::vector<float> t;
  std::vector<std::filesystem::path> evaluations;
};

struct RunData {
  dataset::DatasetRun files;
  formats::MapGeometry geometry;
  int volumes = 0;
  double trSeconds = 0.0;
  std::vector<double> mean;
  std::vector<char> truth;  // nonzero inside any region
  std::vector<RegionData> regions;
  std::vector<StatisticMap> tMaps;
  bool fitted = false;  // the t maps come from a fit made by the report
  bool prewhitened = false;  // that fit used AR(1) prewhitening (the study's noise is AR(1))
  std::vector<std::string> designColumns;
  std::vector<std::vector<double>> designValues;  // per column, per volume
};

// Contrasts fitted when the run has no GLM outputs: `requested`, or by default one per
// condition with an effect in the truth, against the mean of the conditions without
// any (such as Rest), or alone when every condition has an effect. The fit follows the
// study's noise (AR(1) prewhitening when its study file asks for autocorrelated noise)
// and works inside `mask` (by default the run's truth mask).
RunData gatherRun(const dataset::DatasetRun& run, const std::vector<std::string>& requested,
                  const analysis::MaskChoice& mask, const analysis::Progress& progress);

}  // namespace tolvane::report
