// Scoring connectivity and similarity estimates; see matrix_scores.h.
#include "tolvane/analysis/matrix_scores.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "formats/atomic_file.h"
#include "formats/nifti/nifti_maps.h"
#include "formats/text_parsing.h"
#include "numerics/arrays.h"
#include "numerics/statistics.h"
#include "tolvane/analysis/contrast_truth.h"
#include "tolvane/analysis/least_squares.h"

namespace tolvane::analysis {
namespace {

using formats::InputError;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rows of tab-separated cells, the header first.
std::vector<std::vector<std::string>> readTable(const std::filesystem::path& file) {
  std::ifstream in(file);
  if (!in.is_open()) throw InputError(file.string() + ": expected a table, found no such file");
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> cells;
    for (const std::string_view cell : formats::splitTabs(line)) cells.emplace_back(cell);
    rows.push_back(std::move(cells));
  }
  if (rows.size() < 2) formats::failAt(file, 1, "expected a header row and a row per label");
  return rows;
}

double cellValue(const std::filesystem::path& file, int line, const std::string& cell) {
  const std::optional<double> value = formats::parseFiniteNumber(formats::trim(cell));
  if (!value) formats::failAt(file, line, "expected a number, found " + formats::inQuotes(cell));
  return *value;
}

void checkSymmetric(const std::filesystem::path& file, const LabelledMatrix& matrix) {
  const std::size_t n = matrix.names.size();
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (std::fabs(matrix.values[i * n + j] - matrix.values[j * n + i]) > 1e-9) {
        formats::failAt(file, static_cast<int>(i + 2),
                        "expected a symmetric matrix; " + matrix.names[i] + "," +
                            matrix.names[j] + " differs from " + matrix.names[j] + "," +
                            matrix.names[i]);
      }
    }
  }
}

double pearson(const std::vector<double>& x, const std::vector<double>& y) {
  const double n = static_cast<double>(x.size());
  double mx = 0.0, my = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    mx += x[i] / n;
    my += y[i] / n;
  }
  double sxy = 0.0, sxx = 0.0, syy = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    sxy += (x[i] - mx) * (y[i] - my);
    sxx += (x[i] - mx) * (x[i] - mx);
    syy += (y[i] - my) * (y[i] - my);
  }
  return sxx > 0.0 && syy > 0.0 ? sxy / std::sqrt(sxx * syy) : kNaN;
}

double spearman(const std::vector<double>& x, const std::vector<double>& y) {
  const auto n = static_cast<long>(x.size());
  if (n < 3) return kNaN;
  float* a = vector(1, n);
  float* b = vector(1, n);
  for (long i = 1; i <= n; ++i) {
    a[i] = static_cast<float>(x[static_cast<std::size_t>(i - 1)]);
    b[i] = static_cast<float>(y[static_cast<std::size_t>(i - 1)]);
  }
  float d = 0, z = 0, probability = 0, rho = 0, rhoProbability = 0;
  spear(a, b, static_cast<unsigned long>(n), &d, &z, &probability, &rho, &rhoProbability);
  free_vector(b, 1, n);
  free_vector(a, 1, n);
  return rho;
}

std::string figure(double value) {
  if (std::isnan(value)) return "n/a";
  std::ostringstream text;
  text.precision(3);
  text << value;
  return text.str();
}

}  // namespace

LabelledMatrix readLabelledMatrix(const std::filesystem::path& file) {
  const auto rows = readTable(file);
  LabelledMatrix matrix;
  matrix.names.assign(rows[0].begin() + 1, rows[0].end());
  const std::size_t n = matrix.names.size();
  if (rows.size() != n + 1) {
    formats::failAt(file, 1, "expected a square table: " + std::to_string(n) +
                                 " columns of values, so as many rows; found " +
                                 std::to_string(rows.size() - 1));
  }
  matrix.values.resize(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto& row = rows[i + 1];
    const int line = static_cast<int>(i + 2);
    if (row.size() != n + 1 || row[0] != matrix.names[i]) {
      formats::failAt(file, line, "expected the row of " + formats::inQuotes(matrix.names[i]) +
                                      " with " + std::to_string(n) + " values");
    }
    for (std::size_t j = 0; j < n; ++j) matrix.values[i * n + j] = cellValue(file, line, row[j + 1]);
  }
  checkSymmetric(file, matrix);
  return matrix;
}

LabelledMatrix readRegionSimilarity(const std::filesystem::path& file,
                                    const std::optional<std::string>& region) {
  const auto rows = readTable(file);
  if (rows[0].size() < 3 || rows[0][0] != "region" || rows[0][1] != "condition") {
    formats::failAt(file, 1, "expected a patterns similarity table (region, condition, ...)");
  }
  std::vector<std::string> regions;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (std::find(regions.begin(), regions.end(), rows[r][0]) == regions.end()) {
      regions.push_back(rows[r][0]);
    }
  }
  if (!region && regions.size() > 1) {
    throw InputError(file.string() + ": holds several regions' patterns; name one with --region");
  }
  const std::string chosen = region.value_or(regions.front());
  LabelledMatrix matrix;
  std::vector<std::size_t> columns;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (rows[r][0] != chosen) continue;
    matrix.names.push_back(rows[r][1]);
    const auto column = std::find(rows[0].begin() + 2, rows[0].end(), rows[r][1]);
    columns.push_back(static_cast<std::size_t>(column - rows[0].begin()));
  }
  if (matrix.names.empty()) {
    throw InputError(file.string() + ": has no pattern of region " + formats::inQuotes(chosen));
  }
  for (std::size_t r = 1; r < rows.size(); ++r) {
    if (rows[r][0] != chosen) continue;
    for (const std::size_t column : columns) {
      matrix.values.push_back(cellValue(file, static_cast<int>(r + 1), rows[r].at(column)));
    }
  }
  return matrix;
}

MatrixScores scoreMatrix(const LabelledMatrix& truth, const LabelledMatrix& estimate,
                         const std::filesystem::path& estimateFile) {
  const std::size_t n = truth.names.size(), m = estimate.names.size();
  std::vector<std::size_t> at;
  for (const std::string& name : truth.names) {
    const auto found = std::find(estimate.names.begin(), estimate.names.end(), name);
    if (found == estimate.names.end()) {
      throw InputError(estimateFile.string() + ": expected a row and column for " +
                       formats::inQuotes(name) + ", one of the truth's");
    }
    at.push_back(static_cast<std::size_t>(found - estimate.names.begin()));
  }
  std::vector<double> truths, estimates;
  MatrixScores scores;
  std::size_t signed_ = 0, agreeing = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = i + 1; j < n; ++j) {
      const double t = truth.values[i * n + j], e = estimate.values[at[i] * m + at[j]];
      truths.push_back(t);
      estimates.push_back(e);
      scores.meanAbsoluteError += std::fabs(e - t);
      if (t != 0.0) {
        ++signed_;
        if ((t > 0.0) == (e > 0.0) && e != 0.0) ++agreeing;
      }
    }
  }
  scores.entries = truths.size();
  if (scores.entries == 0) throw InputError("the truth has fewer than two labels to compare");
  scores.meanAbsoluteError /= static_cast<double>(scores.entries);
  scores.signAgreement = signed_ > 0 ? double(agreeing) / double(signed_) : kNaN;
  scores.correlation = pearson(estimates, truths);
  scores.spearman = spearman(estimates, truths);
  return scores;
}

std::string matrixScoresText(const std::string& what, const MatrixScores& scores) {
  return what + ": " + std::to_string(scores.entries) + " entries above the diagonal\n" +
         "  correlation with the truth   " + figure(scores.correlation) + "\n" +
         "  mean absolute error          " + figure(scores.meanAbsoluteError) + "\n" +
         "  sign agreement               " + figure(scores.signAgreement) + "\n" +
         "  Spearman correlation         " + figure(scores.spearman) + "\n";
}

void writeMatrixScoresJson(const std::string& what, const MatrixScores& scores,
                           const std::filesystem::path& file) {
  const auto number = [](double value) {
    return std::isnan(value) ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(value);
  };
  const nlohmann::ordered_json json = {{"Scored", what},
                                       {"Entries", scores.entries},
                                       {"Correlation", number(scores.correlation)},
                                       {"MeanAbsoluteError", number(scores.meanAbsoluteError)},
                                       {"SignAgreement", number(scores.signAgreement)},
                                       {"Spearman", number(scores.spearman)}};
  formats::writeTextFile(file, json.dump(2) + "\n");
}

}  // namespace tolvane::analysis
