// Building a run's design; see glm_design.h.
#include "tolvane/analysis/glm_design.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "design/design_matrix.h"
#include "design/rest_conditions.h"
#include "formats/text_parsing.h"

namespace tolvane::analysis {
namespace {

std::string cosineName(int k) {
  return k < 10 ? "cosine0" + std::to_string(k) : "cosine" + std::to_string(k);
}

}  // namespace

namespace {

// Each condition's columns, one vector of `volumes` values per column, by `basis`; the
// canonical as hvhost's design matrix makes it.
std::vector<std::vector<double>> conditionColumns(const design::Protocol& protocol,
                                                  const std::filesystem::path& eventsFile,
                                                  int volumes, double trSeconds,
                                                  const ResponseBasis& basis,
                                                  std::vector<std::string>& names) {
  const double trMilliseconds = trSeconds * 1000.0;
  std::vector<std::vector<double>> columns;
  for (const design::Condition& condition : protocol.conditions) {
    std::vector<std::vector<double>> own;
    if (basis.kind == BasisKind::TwoGamma) {
      design::DesignMatrix matrix;
      matrix.addPredictor(condition.name, volumes);
      matrix.setFromCondition(0, condition, protocol.unit, trMilliseconds, 1.0f);
      matrix.applyTwoGammaHrf(0, trMilliseconds);
      own.emplace_back(matrix[0].volumeValues.begin(), matrix[0].volumeValues.end());
    } else {
      own = basisColumns(basis, condition, protocol.unit, trMilliseconds, volumes);
    }
    bool anyOn = false;
    for (const std::vector<double>& column : own) {
      for (int t = 0; t < volumes && !anyOn; ++t) anyOn = column[static_cast<std::size_t>(t)] != 0.0;
    }
    if (!anyOn) {
      throw formats::InputError(
          eventsFile.string() + ": condition " + formats::inQuotes(condition.name) +
          " has no event within the run's " + std::to_string(volumes) + " volumes of TR " +
          std::to_string(trSeconds) + " s, so its effect cannot be estimated");
    }
    for (const std::string& name : basisColumnNames(basis, condition.name)) names.push_back(name);
    for (std::vector<double>& column : own) columns.push_back(std::move(column));
  }
  return columns;
}

}  // namespace

GlmDesign buildGlmDesign(const design::Protocol& protocol, const std::filesystem::path& eventsFile,
                         int volumes, double trSeconds, double highpassSeconds,
                         const ResponseBasis& basis) {
  GlmDesign design;
  const std::vector<std::vector<double>> conditions =
      conditionColumns(protocol, eventsFile, volumes, trSeconds, basis, design.columnNames);
  // Counted in double, so that a tiny cutoff is refused by its count rather than
  // overflowing it: the design must leave at least one degree of freedom.
  const double cosineCount =
      highpassSeconds > 0.0 ? std::floor(2.0 * volumes * trSeconds / highpassSeconds) : 0.0;
  const double mostCosines = static_cast<double>(volumes) - conditions.size() - 2.0;
  if (cosineCount > mostCosines) {
    throw formats::InputError(
        "--highpass " + formats::shortestText(highpassSeconds) + ": expected a cutoff of more than " +
        formats::shortestText(2.0 * volumes * trSeconds / (std::max(mostCosines, 0.0) + 1.0)) +
        " s for a run of " + std::to_string(volumes) + " volumes of TR " +
        formats::shortestText(trSeconds) + " s and " + std::to_string(conditions.size()) +
        (conditions.size() == 1 ? " condition column" : " condition columns") +
        " (a shorter one gives more cosines than the run has volumes to fit), or 0 for none");
  }
  const int cosines = static_cast<int>(cosineCount);
  design.volumes = volumes;
  design.conditionCount = conditions.size();
  for (int k = 1; k <= cosines; ++k) design.columnNames.push_back(cosineName(k));
  design.columnNames.push_back("constant");
  if (design.columnCount() >= static_cast<std::size_t>(volumes)) {
    throw formats::InputError(eventsFile.string() + ": " + std::to_string(conditions.size()) +
                              " condition columns, " + std::to_string(cosines) +
                              " high-pass cosines and a constant leave no degrees of "
                              "freedom in a run of " +
                              std::to_string(volumes) + " volumes");
  }

  const std::size_t columns = design.columnCount();
  design.values.assign(static_cast<std::size_t>(volumes) * columns, 0.0);
  for (int n = 0; n < volumes; ++n) {
    double* row = design.values.data() + static_cast<std::size_t>(n) * columns;
    for (std::size_t c = 0; c < conditions.size(); ++c) {
      row[c] = conditions[c][static_cast<std::size_t>(n)];
    }
    for (int k = 1; k <= cosines; ++k) {
      row[conditions.size() + static_cast<std::size_t>(k) - 1] =
          std::cos(std::numbers::pi * k * (2.0 * n + 1.0) / (2.0 * volumes));
    }
    row[columns - 1] = 1.0;
  }
  return design;
}

std::optional<std::string> collinearityWarning(const GlmDesign& design) {
  const std::size_t conditions = design.conditionCount;
  const auto volumes = static_cast<std::size_t>(design.volumes);
  if (conditions == 0 || volumes == 0) return std::nullopt;
  // The constant's residual after projecting it onto the other columns, by modified
  // Gram-Schmidt (accuracy to a share of a percent is all that is asked). The cosines
  // take part: together with the conditions they may make up what the conditions alone
  // leave, such as the response dying away after the last event.
  std::vector<std::vector<double>> basis;
  std::vector<double> residual(volumes, 1.0);
  for (std::size_t c = 0; c + 1 < design.columnCount(); ++c) {
    std::vector<double> column(volumes);
    for (std::size_t n = 0; n < volumes; ++n) column[n] = design.at(static_cast<int>(n), c);
    for (const std::vector<double>& q : basis) {
      double dot = 0.0;
      for (std::size_t n = 0; n < volumes; ++n) dot += q[n] * column[n];
      for (std::size_t n = 0; n < volumes; ++n) column[n] -= dot * q[n];
    }
    double norm = 0.0;
    for (const double value : column) norm += value * value;
    if (!(norm > 1e-12)) continue;
    norm = std::sqrt(norm);
    for (double& value : column) value /= norm;
    double dot = 0.0;
    for (std::size_t n = 0; n < volumes; ++n) dot += column[n] * residual[n];
    for (std::size_t n = 0; n < volumes; ++n) residual[n] -= dot * column[n];
    basis.push_back(std::move(column));
  }
  double unexplained = 0.0;
  for (const double value : residual) unexplained += value * value;
  if (unexplained / static_cast<double>(volumes) >= kCollinearShare) return std::nullopt;

  std::size_t leaveOut = 0;
  double longest = -1.0;
  for (std::size_t c = 0; c < conditions; ++c) {
    double on = 0.0;
    for (std::size_t n = 0; n < volumes; ++n) on += design.at(static_cast<int>(n), c);
    if (design::isDefaultRestName(design.columnNames[c])) on = HUGE_VAL;
    if (on > longest) longest = on, leaveOut = c;
  }
  const std::string name = formats::inQuotes(design.columnNames[leaveOut]);
  return "the conditions fill the run between them, so their columns and the constant are "
         "nearly collinear and each condition's own map is poorly determined; leave the "
         "condition that fills the time between the others out of the design (--rest " +
         name + ") or compare conditions with a contrast";
}

std::string designTable(const GlmDesign& design) {
  std::string text;
  for (std::size_t c = 0; c < design.columnCount(); ++c) {
    text += (c ? "\t" : "") + design.columnNames[c];
  }
  text += '\n';
  for (int n = 0; n < design.volumes; ++n) {
    for (std::size_t c = 0; c < design.columnCount(); ++c) {
      if (c) text += '\t';
      text += formats::shortestText(design.at(n, c));
    }
    text += '\n';
  }
  return text;
}

}  // namespace tolvane::analysis
