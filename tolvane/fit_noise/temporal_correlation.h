// The temporal autocorrelation of the fluctuation noise: AR(p), p <= 4, and ARMA(1,1),
// from the autocorrelation of the residuals pooled over the mask.
//
// Model of a voxel's noise: variance sigma_v^2, of which a share is thermal (white),
// a share physiological oscillations (taken out first, see fitTemporalCorrelation)
// and the rest, w, fluctuation, whose autocorrelation rho(k) is that of a stationary
// ARMA process
//   e_t = phi_1 e_{t-1} + ... + phi_p e_{t-p} + z_t + theta z_{t-1}.
// So the noise's correlation matrix is C = w T(rho) + (1 - w) I, T Toeplitz.
//
// The pooled sample autocorrelation of the residuals, sum_v sum_t r_t r_{t+k} / sum_v
// sum_t r_t^2, is biased by the removal of the temporal model (R = I - Q Q^T): its
// expectation is m_k = sum_t (R C R)_{t,t+k} / tr(R C R), not w rho(k). The fit
// corrects for that by a fixed point: with the current model, the observed value is
// shifted by w rho(k) - m_k and the model refitted, kMaxCorrectionRounds times. AR
// coefficients come from the corrected autocorrelations divided by w by Levinson-
// Durbin recursion (Yule-Walker); ARMA(1,1) from its first two:
//   phi = rho(2) / rho(1), theta the root inside the unit circle of
//   (rho1 - phi) theta^2 + (2 phi rho1 - 1 - phi^2) theta + (rho1 - phi) = 0.
//
// Order: the largest p <= maxArOrder(design) whose partial autocorrelation (of the
// largest stationary fit's corrected autocorrelations) exceeds
// kOrderPartialAutocorrelation in magnitude, at least 1. A coefficient below it would
// explain less than 0.25 % of the remaining variance (an AR step reduces it by the
// factor 1 - pacf^2). The largest order allowed grows with the run: each coefficient
// needs kResidualVolumesPerArCoefficient residual volumes, so that a short run's few
// lag products (and the large correction the removed model makes to them) are not
// read as structure.
// ARMA(1,1) is preferred when the AR order is at least 2 and its squared misfit to the
// corrected autocorrelations at lags 1 .. kMaxLag is smaller than the AR(p) fit's.
//
// Autocorrelation of any shape is data, not an error: oscillating, negative or
// near-white residuals can make the corrected values those of no stationary AR process
// (a sinusoid aliased near the Nyquist frequency, or a thermal share so large that the
// division by w amplifies the sampling noise). Then the fit falls back, and says why in
// `fallback`: to the largest order whose corrected fit is stationary; failing every
// order, to Yule-Walker on the observed autocorrelation as it is (w = 1, no
// correction), which is stationary whenever the observed sequence is positive definite,
// as a pooled sample autocorrelation is; failing that (the oscillations taken out made
// it indefinite), to white fluctuation noise.
#pragma once

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "tolvane/fit_noise/residual_pass.h"
#include "tolvane/fit_noise/temporal_design.h"

namespace tolvane::fit_noise {

inline constexpr int kMaxArOrder = 4;
inline constexpr double kOrderPartialAutocorrelation = 0.05;
inline constexpr int kResidualVolumesPerArCoefficient = 10;

// min(kMaxArOrder, residual volumes / kResidualVolumesPerArCoefficient), at least 1.
int maxArOrder(const TemporalDesign& design);

struct ArmaModel {
  std::vector<double> ar;  // phi_1 .. phi_p
  double ma = 0.0;         // theta_1; 0 for a pure AR model
};

// rho(0 .. lags - 1) of a stationary model (from its impulse response).
std::vector<double> armaAutocorrelation(const ArmaModel& model, int lags);

// What the design's removal does to noise of correlation C = w T(rho) + (1 - w) I.
struct ProjectedNoise {
  std::vector<double> lagSums;   // sum_t (R C R)_{t,t+k}, k = 0 .. kMaxLag
  std::vector<double> diagonal;  // (R C_f R)_{tt} of the fluctuation part alone, C_f = T(rho)
  double driftShare = 0.0;       // sum over the cosine columns of q^T C q, over N
};
ProjectedNoise projectNoise(const TemporalDesign& design, const std::vector<double>& rho, double w);

struct TemporalFit {
  bool usable = false;            // false when the residuals hold no variance
  double fluctuationShare = 1.0;  // w
  ArmaModel model;                // the chosen one
  bool arma = false;              // ARMA(1,1) chosen over AR(p)
  int largestAllowedOrder = kMaxArOrder;  // maxArOrder(design)
  // The nonparametric alternative (spectrum_fit.h): chosen or not, and the root-mean-
  // square misfits of the parametric model and the spectrum to the observed
  // autocorrelation (NaN when not computed).
  bool spectral = false;
  std::vector<double> spectrum;
  double parametricRmsMisfit = NAN, spectrumRmsMisfit = NAN;
  // The residuals' pooled autocorrelation at lags 1 .. kMaxLag as measured, and as the
  // chosen model predicts it (empty when not computed).
  std::vector<double> measuredLags, predictedLags;
  std::string fallback;           // why the model is not the corrected AR(p) the rule chose
  ArmaModel ar;                   // the AR(p) fit, also when ARMA was chosen
  std::array<double, kMaxArOrder> partial{};
  std::vector<double> corrected;  // corrected fluctuation autocorrelation, lags 0 .. kMaxLag
  double arMisfit = 0.0, armaMisfit = 0.0;  // armaMisfit NaN when ARMA(1,1) was not fitted
  ProjectedNoise projected;                 // under the chosen model
  double varianceSum = 0.0;                 // sum over the voxels of sigma_v^2 (bias-corrected)
};

// `thermalVariance` is the thermal noise variance (0 when unknown: all noise is then
// fluctuation). `oscillations` is the physiological oscillations' autocorrelation at
// lags 0 .. kMaxLag as a share of the total variance (physiological_noise.h), empty
// when there are none: it is taken out of the observed autocorrelation, and its lag 0
// out of the fluctuation share.
TemporalFit fitTemporalCorrelation(const TemporalSums& sums, double thermalVariance,
                                   const std::vector<double>& oscillations,
                                   const TemporalDesign& design);

}  // namespace tolvane::fit_noise
