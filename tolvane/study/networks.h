// Networks of a study: regions whose voxels share a slow fluctuation with a known
// correlation between the regions (the [[network]] keys of network_keys.h, checked).
//
// Each run gives node i of a network the time course
//   x_i(t) = A * sum_j L_ij u_j(t),   L L^T = R (correlation_matrix.h),
// with A the amplitude (the course's sd, in data units) and u_j independent band-limited
// courses of unit variance, one per node (tolvane/simulate/network_fluctuations.h), so
// that the population correlation of the nodes is exactly R. With sd on the
// correlations, R is the subject's own (drawnCorrelation), the same in all its runs.
//
// Random draws: the subject's correlations come from the Philox sequence of slot
// subject - 1, stream kNetworkSubjectStream, purpose the network's place from 0, one
// normal draw per entry of the lower triangle by rows (whether or not its sd is 0).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "tolvane/study/study_file.h"

namespace tolvane::study {

struct Study;

struct Network {
  std::string name;
  std::vector<std::size_t> nodes;     // indices of the study's regions
  std::vector<double> correlation;    // nodes x nodes, the population's (row-major)
  std::vector<double> correlationSd;  // nodes x nodes, on Fisher's scale; all 0: fixed
  double bandLowHz = 0.01, bandHighHz = 0.1;
  double amplitude = 0.0;  // data units: the sd of each node's course
  bool percentOfBaseline = false;  // given in percent (of the image baseline's mean)
  std::string amplitudeAsWritten;  // "1%", "2"
  std::optional<double> fwhmMm;    // absent: every voxel of a node gets its whole course

  bool varies() const;  // some correlation has an sd
};

// Checks the entries against the study (its regions, TR, volumes, generator, signal and
// baseline); throws InputError naming the key and line. `percentBaseline` is the
// baseline that percentages are of.
std::vector<Network> resolveNetworks(const std::vector<NetworkEntry>& entries,
                                     const StudyFile& file, const Study& study,
                                     double percentBaseline);

// The correlation matrix of network `network` in subject `subject` (from 1).
std::vector<double> subjectCorrelation(const Study& study, std::size_t network, int subject);

// The frequency indices k (cycles per run, 1 <= k < volumes / 2) whose frequency
// k / (volumes * TR) lies in the band [low, high] Hz.
std::vector<int> bandFrequencies(int volumes, double trSeconds, double lowHz, double highHz);

}  // namespace tolvane::study
