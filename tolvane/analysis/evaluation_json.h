// JSON pieces of an evaluation, shared by the evaluation of one map and of a dataset.
// Numbers that are NaN have no JSON form and are written as null.
#pragma once

#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "tolvane/analysis/evaluate.h"

namespace tolvane::analysis {

inline nlohmann::ordered_json number(double value) {
  return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json();
}

// {"count", "total", "rate", "interval95": [lower, upper]}
nlohmann::ordered_json proportionJson(const Proportion& proportion);
// Per threshold: the threshold, its nominal rate and the voxelwise rate.
nlohmann::ordered_json nullThresholdsJson(const std::vector<NullThreshold>& thresholds);
// Random field theory's cluster figures of one map: the forming p and threshold, the
// smoothness, the expected counts, K and the largest cluster.
nlohmann::ordered_json randomFieldJson(const RandomFieldClusters& clusters,
                                       Connectivity connectivity);
// Indented, through a temporary file; throws OutputError.
void writeJsonFile(const nlohmann::ordered_json& json, const std::filesystem::path& file);

}  // namespace tolvane::analysis
