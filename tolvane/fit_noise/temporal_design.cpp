// Building and orthonormalising the temporal model; see temporal_design.h.
#include "tolvane/fit_noise/temporal_design.h"

#include <cmath>
#include <numbers>

#include "formats/text_parsing.h"
#include "tolvane/analysis/glm_design.h"

namespace tolvane::fit_noise {
namespace {

// A column that keeps less than this share of its length once the columns before it
// are taken out is a combination of them.
constexpr double kDependentColumnShare = 1e-6;

// Orthogonalises column c against columns 0 .. c-1 and scales it to unit length;
// returns its length before scaling relative to its length before orthogonalising.
double orthonormalise(std::vector<double>& basis, int volumes, std::size_t c) {
  double* column = basis.data() + c * volumes;
  double before = 0.0;
  for (int n = 0; n < volumes; ++n) before += column[n] * column[n];
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t earlier = 0; earlier < c; ++earlier) {
      const double* other = basis.data() + earlier * volumes;
      double dot = 0.0;
      for (int n = 0; n < volumes; ++n) dot += other[n] * column[n];
      for (int n = 0; n < volumes; ++n) column[n] -= dot * other[n];
    }
  }
  double after = 0.0;
  for (int n = 0; n < volumes; ++n) after += column[n] * column[n];
  const double length = std::sqrt(after);
  if (length > 0.0) {
    for (int n = 0; n < volumes; ++n) column[n] /= length;
  }
  return before > 0.0 ? std::sqrt(after / before) : 0.0;
}

}  // namespace

int driftCosineCount(int volumes, double trSeconds, double cutoffSeconds) {
  if (!(cutoffSeconds > 0.0)) return 0;
  // Counted in double, so that a tiny cutoff is refused rather than overflowing the
  // count: the cosines and the constant must leave at least one degree of freedom.
  const double count = std::ceil(2.0 * volumes * trSeconds / cutoffSeconds) - 1.0;
  if (count > volumes - 2.0) {
    throw formats::InputError(
        "--highpass " + formats::shortestText(cutoffSeconds) +
        ": expected a cutoff of at least " +
        formats::shortestText(2.0 * volumes * trSeconds / (volumes - 1.0)) + " s for a run of " +
        std::to_string(volumes) + " volumes of TR " + formats::shortestText(trSeconds) +
        " s (a shorter one gives more cosines than the run has volumes to fit)");
  }
  return static_cast<int>(count);
}

TemporalDesign buildTemporalDesign(int volumes, double trSeconds, double cutoffSeconds,
                                   const design::Protocol* protocol,
                                   const std::filesystem::path& eventsFile,
                                   const std::filesystem::path& source) {
  TemporalDesign design;
  design.volumes = volumes;
  design.trSeconds = trSeconds;
  design.cutoffSeconds = cutoffSeconds;
  design.cosineCount =
      static_cast<std::size_t>(driftCosineCount(volumes, trSeconds, cutoffSeconds));
  analysis::GlmDesign conditions;
  if (protocol != nullptr) {
    conditions = analysis::buildGlmDesign(*protocol, eventsFile, volumes, trSeconds, 0.0);
    design.conditionCount = conditions.conditionCount;
  }
  const std::size_t columns = 1 + design.conditionCount + design.cosineCount;
  if (volumes - static_cast<int>(columns) < kMinimumResidualVolumes) {
    throw formats::InputError(source.string() + ": a run of " + std::to_string(volumes) +
                              " volumes is too short: " + "the noise model needs at least " +
                              std::to_string(columns + kMinimumResidualVolumes) + " volumes (" +
                              std::to_string(kMinimumResidualVolumes) + " beyond its " +
                              std::to_string(columns) + " columns: constant, " +
                              std::to_string(design.conditionCount) + " conditions, " +
                              std::to_string(design.cosineCount) + " drift cosines)");
  }

  design.basis.assign(columns * volumes, 0.0);
  design.columnNames.push_back("constant");
  for (int n = 0; n < volumes; ++n) design.basis[n] = 1.0;
  for (std::size_t c = 0; c < design.conditionCount; ++c) {
    design.columnNames.push_back(conditions.columnNames[c]);
    for (int n = 0; n < volumes; ++n) design.basis[(1 + c) * volumes + n] = conditions.at(n, c);
  }
  for (std::size_t k = 1; k <= design.cosineCount; ++k) {
    design.columnNames.push_back("cosine" + std::to_string(k));
    double* column = design.basis.data() + (design.firstCosine() + k - 1) * volumes;
    for (int n = 0; n < volumes; ++n) {
      column[n] =
          std::cos(std::numbers::pi * static_cast<double>(k) * (2.0 * n + 1.0) / (2.0 * volumes));
    }
  }
  for (std::size_t c = 0; c < columns; ++c) {
    if (orthonormalise(design.basis, volumes, c) < kDependentColumnShare) {
      throw formats::InputError(
          (c <= design.conditionCount ? eventsFile : source).string() + ": design column " +
          formats::inQuotes(design.columnNames[c]) +
          " is a combination of the columns before it (constant, conditions, drift cosines), so "
          "the task cannot be told from the drift; give fewer conditions or a longer cutoff");
    }
  }
  return design;
}

}  // namespace tolvane::fit_noise
