// Scoring a statistical map against the truth of a simulation.
//
// The truth is a 3-D image on the map's grid; voxels where it is non-zero are the
// positives, all others the negatives. An image stored as integers is a label image:
// each distinct non-zero label is one region ("label 3"). An image stored as floats is
// an amplitude map (a condition's effect in data units): its regions are the
// face-connected groups of non-zero voxels ("region 1", "region 2", ... in file
// order), and its values are the true effects.
//
// Larger statistics are stronger evidence (t, z, F). A p map ranks backwards and is
// refused: its name (_stat-p_) or its sidecar ("Statistic": "p") gives it away.
//
// A contrast ("Faces - Houses") is scored against its own truth, built from the run's
// per-condition amplitude maps (contrast_truth.h). The side of the test: two-sided
// compares |t| and counts as positive every voxel whose true contrast is non-zero;
// positive compares t and counts as positive the voxels whose true contrast is > 0;
// negative compares -t and counts those < 0. Without a --sign, a contrast and a null
// study are two-sided, and a single condition's truth is positive (its effects are
// amplitudes added to the data).
//
// A truth without positives is a null study: there is no ROC, and the scores are those
// of null_rates.h (false-positive rates with intervals, the nominal rate of each
// threshold, the largest cluster, and the null t against Student's t).
//
// Scores: the ROC curve over all thresholds and its area (roc.h); at each requested
// threshold the confusion counts and rates (active means statistic > threshold); per
// region its size, its peak statistic and where, and whether any of its voxels is
// active at each threshold. Given the estimated effect map as well, the bias (mean of
// estimate - truth) and root-mean-square error over the positives and per region; a
// label truth has no amplitudes, so it needs the true effect as a number.
//
// Only voxels inside the brain mask (analysis_mask.h) are scored: positives, negatives,
// the ROC, the null rates and the clusters (which cannot cross the mask's edge). By
// default the mask is the run's truth mask (request.truthMask when it names a file that
// exists; evaluate(request) finds it in the truth's folder), else the whole grid.
//
// Maps on another grid (dimensions, or voxel-to-world transform beyond
// formats::kSamePlacementToleranceMm) are refused with both grids in the message, as is a truth without
// negatives; every refusal is an InputError. The degrees of freedom of a t map come from
// the request or from its sidecar (glm writes "DegreesOfFreedom"); thresholds given as
// p values and the comparison with Student's t need them.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/null_rates.h"
#include "tolvane/analysis/random_field.h"
#include "tolvane/analysis/roc.h"

namespace tolvane::analysis {

// The written curve keeps points at least this far apart in one rate or the other.
constexpr double kWrittenCurveStep = 1e-3;

enum class Sidedness { TwoSided, Positive, Negative };
const char* sidednessName(Sidedness sign);

struct EvaluationRequest {
  std::filesystem::path truth;
  std::filesystem::path stat;
  std::vector<double> thresholds;
  std::optional<std::filesystem::path> effect;
  std::optional<double> trueEffect;  // for a label truth with an effect map
  std::optional<std::string> contrast;
  std::optional<Sidedness> sign;  // default: see above
  std::vector<double> pThresholds;  // turned into thresholds on the statistic
  std::optional<int> degreesOfFreedom;
  std::optional<double> clusterThreshold;
  std::int64_t clusterSize = 0;  // the cluster-level family-wise figure's K
  // The cluster-forming p whose K comes from random field theory (random_field.h), with
  // the residuals' smoothness that glm records beside the map.
  std::optional<double> clusterP;
  Connectivity connectivity = kDefaultConnectivity;
  std::string runPrefix;  // for a contrast with a folder as truth; else from the file names
  MaskChoice mask;
  std::filesystem::path truthMask;  // the run's truth mask, the default when it exists
};

struct ContrastTruthSummary {
  std::vector<std::string> conditions;
  std::vector<double> weights;
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

// One threshold of a null study.
struct NullThreshold {
  double threshold = 0.0;
  double nominalRate = 0.0;  // NaN without degrees of freedom
  Proportion voxelwise;
};

// Cluster inference by random field theory on one map.
struct RandomFieldClusters {
  double formingP = 0.0;
  double threshold = 0.0;  // on the statistic's side
  Smoothness smoothness;   // as glm recorded it, over the evaluation's mask
  ClusterExtentTheory theory;
  std::int64_t sizeThreshold = 0;  // K at kClusterAlpha
  std::int64_t largestCluster = 0;
};

struct NullScores {
  std::vector<NullThreshold> thresholds;
  std::optional<CdfAgreement> studentAgreement;  // with degrees of freedom
  std::optional<std::int64_t> largestCluster;    // at the cluster threshold
  std::optional<RandomFieldClusters> randomField;  // with a cluster-forming p
};

struct Evaluation {
  EvaluationRequest request;
  bool labelTruth = false;
  Sidedness sign = Sidedness::Positive;
  std::optional<int> degreesOfFreedom;
  std::vector<double> thresholds;  // as given, then those of the p values
  std::optional<ContrastTruthSummary> contrast;
  std::optional<NullScores> null;  // a null study: the ROC and regions are empty
  // The map's signed t values of a null study, for pooling across runs; not written.
  std::vector<double> nullStatistics;
  RocCurve roc;  // points thinned to kWrittenCurveStep
  std::int64_t undefinedStatistics = 0;
  std::vector<ThresholdCounts> counts;
  std::vector<RegionScore> regions;
  std::optional<EffectError> effect;
  // The mask scored over; its voxels (inside) are released once scored.
  AnalysisMask mask;
};

Evaluation evaluate(const EvaluationRequest& request);
// The same against a truth already made (such as a contrast's, or the mean of many
// runs'); `request.truth` only names it in messages.
Evaluation evaluate(const EvaluationRequest& request, const formats::ScalarVolume& truth,
                    std::optional<ContrastTruthSummary> contrast);

// The evaluation as JSON, through a temporary file; throws OutputError.
void writeEvaluationJson(const Evaluation& evaluation, const std::filesystem::path& file);

// For a label truth X_dseg.nii[.gz] with X_dseg.tsv beside it, each region "label N"
// becomes "NAME (label N)". Other truths are left as they are.
void nameLabelRegions(Evaluation& evaluation, const std::filesystem::path& truth);

// For an amplitude or contrast truth, each region ("region 1", ...) takes the name of
// the label that the run's label image `labels` (a _dseg.nii[.gz] with its _dseg.tsv)
// holds at the region's peak voxel. Regions there without a label, and every region when
// the files are missing or on another grid, keep their names.
void nameAmplitudeRegions(Evaluation& evaluation, const std::filesystem::path& labels);

}  // namespace tolvane::analysis
