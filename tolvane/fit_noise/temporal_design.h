// The temporal model that fit-noise removes from every voxel before it measures the
// noise: a constant, the task's conditions (with --events) and the drift's cosines.
//
// Columns, in this order, each orthogonalised against those before it (modified
// Gram-Schmidt in double, twice) and scaled to unit length:
//   constant;
//   one predictor per condition, built as `tolvane glm` builds it (the condition laid
//   down on the fine grid and convolved with the two-gamma HRF of the run's TR);
//   the drift's cosines cos(pi k (2n + 1) / (2N)), n = 0 .. N-1, for every k >= 1 whose
//   period 2 N TR / k is longer than the cutoff, which is the set simulate draws its
//   drift from.
// The cosines come last so that the drift is what the cosines explain beyond the task.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "design/protocol.h"

namespace tolvane::fit_noise {

// Below this many residual degrees of freedom (volumes minus design columns) the
// autocorrelations up to lag 4 that the AR order choice needs are not measurable.
inline constexpr int kMinimumResidualVolumes = 12;

struct TemporalDesign {
  int volumes = 0;
  double trSeconds = 0.0;
  double cutoffSeconds = 0.0;
  std::size_t conditionCount = 0;
  std::size_t cosineCount = 0;
  std::vector<std::string> columnNames;
  std::vector<double> basis;  // orthonormal columns, column c at [c * volumes]

  std::size_t columnCount() const { return columnNames.size(); }
  const double* column(std::size_t c) const { return basis.data() + c * volumes; }
  std::size_t firstCosine() const { return 1 + conditionCount; }
  int residualVolumes() const { return volumes - static_cast<int>(columnCount()); }
};

// The number of cosines whose period 2 N TR / k is longer than `cutoffSeconds`.
int driftCosineCount(int volumes, double trSeconds, double cutoffSeconds);

// `protocol` may be null (no --events). Throws InputError, naming `source` (the run) or
// `eventsFile`, when the run is too short for the model (with the minimum it needs) or
// a condition's predictor is a combination of the others.
TemporalDesign buildTemporalDesign(int volumes, double trSeconds, double cutoffSeconds,
                                   const design::Protocol* protocol,
                                   const std::filesystem::path& eventsFile,
                                   const std::filesystem::path& source);

}  // namespace tolvane::fit_noise
