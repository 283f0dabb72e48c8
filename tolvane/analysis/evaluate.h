// Scoring a statistical map against the truth of a simulation.
//
// The truth is a 3-D image on the map's grid; voxels where it is non-zero are the
// positives, all others the negatives. An image stored as integers is a label image:
// each distinct non-zero label is one region ("label 3"). An image stored as floats is
// an amplitude map (a condition's effect in data units): its regions are the
// face-connected groups of non-zero voxels ("region 1", "region 2", ... in file
// order), and its values are the true effects.
//
// Larger statistics are stronger evidence (t, z, F; a p map must be turned around first,
// for example into 1 - p).
//
// Scores: the ROC curve over all thresholds and its area (roc.h); at each requested
// threshold the confusion counts and rates (active means statistic > threshold); per
// region its size, its peak statistic and where, and whether any of its voxels is
// active at each threshold. Given the estimated effect map as well, the bias (mean of
// estimate - truth) and root-mean-square error over the positives and per region; a
// label truth has no amplitudes, so it needs the true effect as a number.
//
// Maps on another grid (dimensions, or voxel-to-world transform beyond
// kAffineTolerance) are refused with both grids in the message, as is a truth without
// positives or without negatives; every refusal is an InputError.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/analysis/roc.h"

namespace tolvane::analysis {

// In world units (mm): the single-precision storage of a transform rounds far less.
constexpr double kAffineTolerance = 1e-3;
// The written curve keeps points at least this far apart in one rate or the other.
constexpr double kWrittenCurveStep = 1e-3;

struct EvaluationRequest {
  std::filesystem::path truth;
  std::filesystem::path stat;
  std::vector<double> thresholds;
  std::optional<std::filesystem::path> effect;
  std::optional<double> trueEffect;  // for a label truth with an effect map
};

struct EffectError {
  double bias = 0.0;
  double rootMeanSquareError = 0.0;
};

struct RegionScore {
  std::string name;
  std::int64_t voxels = 0;
  double peakStatistic = 0.0;  // NaN when every statistic in it is undefined
  std::array<std::int64_t, 3> peakVoxel{};
  std::vector<bool> detected;  // one per threshold
  std::optional<EffectError> effect;
};

struct Evaluation {
  EvaluationRequest request;
  bool labelTruth = false;
  RocCurve roc;  // points thinned to kWrittenCurveStep
  std::int64_t undefinedStatistics = 0;
  std::vector<ThresholdCounts> counts;
  std::vector<RegionScore> regions;
  std::optional<EffectError> effect;
};

Evaluation evaluate(const EvaluationRequest& request);

// The evaluation as JSON, through a temporary file; throws OutputError.
void writeEvaluationJson(const Evaluation& evaluation, const std::filesystem::path& file);

// For a label truth X_dseg.nii[.gz] with X_dseg.tsv beside it, each region "label N"
// becomes "NAME (label N)". Other truths are left as they are.
void nameLabelRegions(Evaluation& evaluation, const std::filesystem::path& truth);

}  // namespace tolvane::analysis
