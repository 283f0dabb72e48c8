// The baseline connectivity estimate of a run; see matrix_scores.h.
#include <cmath>
#include <fstream>
#include <numbers>

#include "formats/nifti/nifti_maps.h"
#include "formats/text_parsing.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/least_squares.h"
#include "tolvane/analysis/matrix_scores.h"

namespace tolvane::analysis {
namespace {

using formats::InputError;

// The label of each of `names` in the run's region table (its own label, not an
// overlap's).
std::vector<double> labelsOf(const std::filesystem::path& table,
                             const std::vector<std::string>& names) {
  std::ifstream in(table);
  if (!in.is_open()) throw InputError(table.string() + ": expected the run's region table");
  std::vector<double> labels(names.size(), 0.0);
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string_view> cells = formats::splitTabs(line);
    if (cells.size() < 3 || cells[2] == "overlap") continue;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (cells[1] == names[i]) labels[i] = formats::parseFiniteNumber(cells[0]).value_or(0.0);
    }
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (labels[i] == 0.0) {
      throw InputError(table.string() + ": has no region " + formats::inQuotes(names[i]));
    }
  }
  return labels;
}

// Constant, cosines of periods above the cutoff, and the run's predictors when given:
// volumes x columns, row-major, the constant first.
std::vector<double> nuisanceDesign(int volumes, double trSeconds, double highpassSeconds,
                                   const std::filesystem::path& predictors, int& columns) {
  std::vector<std::vector<double>> columnValues{std::vector<double>(volumes, 1.0)};
  const int cosines =
      highpassSeconds > 0.0 ? static_cast<int>(std::floor(2.0 * volumes * trSeconds / highpassSeconds)) : 0;
  for (int k = 1; k <= cosines; ++k) {
    std::vector<double> values(static_cast<std::size_t>(volumes));
    for (int n = 0; n < volumes; ++n) {
      values[n] = std::cos(std::numbers::pi * k * (2.0 * n + 1.0) / (2.0 * volumes));
    }
    columnValues.push_back(std::move(values));
  }
  std::ifstream in(predictors);
  std::string line;
  for (int row = -1; in.is_open() && std::getline(in, line); ++row) {
    const std::vector<std::string_view> cells = formats::splitTabs(line);
    if (row < 0) {
      columnValues.resize(columnValues.size() + cells.size(), std::vector<double>(volumes));
      continue;
    }
    for (std::size_t c = 0; c < cells.size() && row < volumes; ++c) {
      columnValues[columnValues.size() - cells.size() + c][static_cast<std::size_t>(row)] =
          formats::parseFiniteNumber(cells[c]).value_or(0.0);
    }
  }
  columns = static_cast<int>(columnValues.size());
  std::vector<double> design(static_cast<std::size_t>(volumes) * columnValues.size());
  for (int n = 0; n < volumes; ++n) {
    for (std::size_t c = 0; c < columnValues.size(); ++c) {
      design[static_cast<std::size_t>(n) * columnValues.size() + c] = columnValues[c][n];
    }
  }
  return design;
}

}  // namespace

LabelledMatrix connectivityFromRun(const std::filesystem::path& bold,
                                   const std::filesystem::path& truth, double highpassSeconds) {
  LabelledMatrix estimate;
  estimate.names = readLabelledMatrix(truth).names;
  const std::filesystem::path folder = truth.parent_path();
  const std::string prefix = runPrefixOf(truth);
  const std::vector<double> labels =
      labelsOf(folder / (prefix + "_desc-regions_dseg.tsv"), estimate.names);
  const formats::ScalarVolume image =
      formats::readScalarVolume(folder / (prefix + "_desc-regions_dseg.nii.gz"));
  const formats::FloatSeries series = formats::readFloatSeries(bold);
  if (image.geometry.dims != series.geometry.dims) {
    throw InputError(bold.string() + ": expected the grid of the run's regions image");
  }
  const std::size_t voxels = series.geometry.voxelCount(), n = estimate.names.size();
  const auto volumes = static_cast<int>(series.volumes);
  std::vector<std::vector<double>> courses(n, std::vector<double>(volumes, 0.0));
  for (std::size_t r = 0; r < n; ++r) {
    std::size_t count = 0;
    for (std::size_t v = 0; v < voxels; ++v) {
      if (image.values[v] != labels[r]) continue;
      ++count;
      for (int t = 0; t < volumes; ++t) courses[r][t] += series.values[t * voxels + v];
    }
    for (double& value : courses[r]) value /= static_cast<double>(count);
  }
  int columns = 0;
  const std::vector<double> design =
      nuisanceDesign(volumes, series.trSeconds, highpassSeconds,
                     folder / (prefix + "_desc-predictors_timeseries.tsv"), columns);
  const std::optional<LeastSquaresModel> model =
      makeLeastSquaresModel(design, volumes, columns, 0, 0.0);
  if (!model) throw InputError(bold.string() + ": the drift and task design is singular");
  for (std::vector<double>& course : courses) {
    std::vector<double> beta(static_cast<std::size_t>(columns), 0.0);
    for (int c = 0; c < columns; ++c) {
      for (int t = 0; t < volumes; ++t) beta[c] += model->pseudoInverse[c * volumes + t] * course[t];
    }
    for (int t = 0; t < volumes; ++t) {
      for (int c = 0; c < columns; ++c) course[t] -= design[t * columns + c] * beta[c];
    }
  }
  estimate.values.assign(n * n, 1.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      double sxy = 0.0, sxx = 0.0, syy = 0.0;
      for (int t = 0; t < volumes; ++t) {
        sxy += courses[i][t] * courses[j][t];
        sxx += courses[i][t] * courses[i][t];
        syy += courses[j][t] * courses[j][t];
      }
      if (i != j) estimate.values[i * n + j] = sxy / std::sqrt(sxx * syy);
    }
  }
  return estimate;
}

}  // namespace tolvane::analysis
