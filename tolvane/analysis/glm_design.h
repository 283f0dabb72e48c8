// The design of a run's general linear model: one predictor per condition of the
// events, a discrete cosine high-pass set and a constant.
//
// Condition predictors are built exactly as hvhost builds the design matrix that the
// plug-in reads: each condition laid down with value 1 on the fine grid and convolved
// with the two-gamma HRF of the run's TR, one value per volume (design/design_matrix.h).
// Another response basis (response_basis.h) gives each condition its columns instead.
// The high-pass set removes drifts slower than the cutoff: for a run of N volumes,
// cosine k is cos(pi k (2n + 1) / (2N)), n = 0 .. N-1, for k = 1 .. floor(2 N TR /
// cutoff), each with a period 2 N TR / k longer than the cutoff. The constant comes
// last. Columns are in that order: conditions, cosines, constant.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "design/protocol.h"
#include "tolvane/analysis/response_basis.h"

namespace tolvane::analysis {

// The default response function, as the command line gives it (response_basis.h).
inline constexpr const char* kTwoGammaHrfName = "twogamma";
inline constexpr double kDefaultHighpassSeconds = 128.0;

struct GlmDesign {
  int volumes = 0;
  std::size_t conditionCount = 0;  // the conditions' columns: each condition's basis
  std::vector<std::string> columnNames;
  std::vector<double> values;  // row-major, volumes x columns

  std::size_t columnCount() const { return columnNames.size(); }
  double at(int volume, std::size_t column) const {
    return values[static_cast<std::size_t>(volume) * columnCount() + column];
  }
};

// Throws InputError naming `eventsFile` when a condition has no event inside the run
// (its predictor would be all zero), and when the high-pass set would leave no degrees
// of freedom. `highpassSeconds` 0 means no high-pass set.
GlmDesign buildGlmDesign(const design::Protocol& protocol, const std::filesystem::path& eventsFile,
                         int volumes, double trSeconds, double highpassSeconds,
                         const ResponseBasis& basis = {});

// When the condition columns nearly add up to the constant (they fill the run between
// them: the conditions and the cosines leave less than kCollinearShare of the constant
// unexplained, as a mean squared residual, a variance inflation above 20), a warning
// naming the condition to leave out: the one named as rest by the default rule, else
// the one on for longest. A block design of Rest and Task leaves about 0.02; Task alone
// about 0.5.
inline constexpr double kCollinearShare = 0.05;
std::optional<std::string> collinearityWarning(const GlmDesign& design);

// The design as a tab-separated table: a header of column names, one row per volume.
std::string designTable(const GlmDesign& design);

}  // namespace tolvane::analysis
