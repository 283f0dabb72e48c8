// Scoring a connectivity or similarity estimate against a simulation's truth.
//
// Matrices are tables: a header row whose first cell names the label column ("region",
// "condition") and whose other cells name the columns, then a row per label starting
// with it (the truth's _desc-network_connectivity.tsv is one). An estimate's rows and
// columns may come in any order; they are matched to the truth's by name, and an
// estimate that lacks one of the truth's names, or a table that is not square,
// symmetric and finite, is refused naming the file and line (InputError).
//
// Scores over the entries above the diagonal (i < j in the truth's order):
//   correlation          Pearson's r between the estimate's and the truth's entries,
//                        in double (NaN when either is constant)
//   mean absolute error  mean of |estimate - truth|
//   sign agreement       the share of entries with a non-zero truth whose estimate has
//                        its sign (NaN when every true entry is 0)
//   Spearman             the rank correlation of the two (the module's spear, with
//                        tie corrections; NaN with fewer than three entries): the
//                        score of representational similarity analysis, which compares
//                        the order of dissimilarities rather than their values
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tolvane::analysis {

struct LabelledMatrix {
  std::vector<std::string> names;
  std::vector<double> values;  // names.size() squared, row-major
};

LabelledMatrix readLabelledMatrix(const std::filesystem::path& file);

// The similarity of one region's patterns from a _desc-patterns_similarity.tsv: the
// region named, or the only one; refused when the table has several and none is named.
LabelledMatrix readRegionSimilarity(const std::filesystem::path& file,
                                    const std::optional<std::string>& region);

struct MatrixScores {
  std::size_t entries = 0;
  double correlation = 0.0;
  double meanAbsoluteError = 0.0;
  double signAgreement = 0.0;
  double spearman = 0.0;
};

// `estimate` must hold every name of `truth`.
MatrixScores scoreMatrix(const LabelledMatrix& truth, const LabelledMatrix& estimate,
                         const std::filesystem::path& estimateFile);

// The baseline estimate of a run's connectivity: the Pearson correlation between the
// truth's regions' mean time courses in `bold`, each the mean over the voxels of the
// region's own label in the run's _desc-regions_dseg image beside `truth` (voxels that
// regions share are left out), after regressing out a constant, the discrete cosine
// set of periods above `highpassSeconds` (the drift) and, when the run's
// _desc-predictors_timeseries.tsv is beside the truth, its predictors (the task).
LabelledMatrix connectivityFromRun(const std::filesystem::path& bold,
                                   const std::filesystem::path& truth, double highpassSeconds);

// "connectivity: 28 entries; correlation 0.93, mean absolute error 0.081, ..." lines.
std::string matrixScoresText(const std::string& what, const MatrixScores& scores);
// The scores as JSON, through a temporary file; throws OutputError.
void writeMatrixScoresJson(const std::string& what, const MatrixScores& scores,
                           const std::filesystem::path& file);

}  // namespace tolvane::analysis
