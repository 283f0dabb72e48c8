// The physiological share of the noise: the power of the residuals at the cardiac and
// respiratory rates, as the volume sampling aliases them.
//
// Rates: cardiac kCardiacLowHz .. kCardiacHighHz, respiratory kRespiratoryLowHz ..
// kRespiratoryHighHz. Sampled every TR, a frequency f appears at |f - k / TR| for the
// whole k that brings it into 0 .. 1 / (2 TR). Each band is aliased so, onto the
// frequencies j / (N TR) of the pooled periodogram (residual_pass.h). The TR tells them
// apart when the two aliased bands share no frequency, neither reaches the drift's
// band (below 1 / cutoff) and each covers at most a quarter of the spectrum; otherwise
// there is no estimate and the reason says which.
//
// Share: the power above the smooth background in the aliased bands, over the total.
// The background at a band frequency is the median of the periodogram at the
// frequencies outside both bands within kBackgroundWindow of the spectrum around it.
// Each frequency counts twice but 0 and N/2, as in the variance. The rates reported are
// those within each band whose alias is the band's frequency of most power above the
// background, closest to the band's middle. A share below kSmallestShare is reported as
// absent.
//
// The temporal fit takes the oscillations' autocorrelation out of the residuals' before
// it fits the AR model, since a sinusoid is not an AR process.
#pragma once

#include <string>
#include <vector>

#include "tolvane/fit_noise/residual_pass.h"

namespace tolvane::fit_noise {

inline constexpr double kCardiacLowHz = 1.0, kCardiacHighHz = 1.2;
inline constexpr double kRespiratoryLowHz = 0.2, kRespiratoryHighHz = 0.3;
inline constexpr double kBackgroundWindow = 0.1;
inline constexpr double kSmallestShare = 0.01;

struct PhysiologicalNoise {
  bool resolvable = false;  // the TR tells the bands apart
  std::string reason;       // why not, when not
  double share = 0.0;
  double cardiacHz = 0.0, respiratoryHz = 0.0;
  // The oscillations' share of the autocovariance at lags 0 .. kMaxLag, over the total
  // variance: sum over the band frequencies of their power above the background times
  // cos(2 pi j k / N), over the total power (lag 0 is the share).
  std::vector<double> autocorrelation;
};

// The frequency at which `hz` appears when sampled every `trSeconds`.
double aliasedFrequency(double hz, double trSeconds);

PhysiologicalNoise estimatePhysiologicalNoise(const std::vector<double>& periodogram, int volumes,
                                              double trSeconds, double cutoffSeconds);

}  // namespace tolvane::fit_noise
