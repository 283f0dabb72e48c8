// The nonparametric temporal model: the fluctuation noise's power spectrum, measured on
// a fixed frequency grid, for runs whose autocorrelation no AR(p <= 4) or ARMA(1,1)
// reproduces (a respiration aliased near the Nyquist frequency, a spectrum with
// several peaks). It is written as noise.spectrum (tolvane/study/spectrum_keys.h), which
// simulate synthesises exactly (engine/spectral_filter.h).
//
// From the residual periodogram summed over the mask, D_i, i = 0 .. N/2 (frequency
// i / N cycles per volume):
//   1. the frequencies the temporal model removed (the constant and the drift cosines,
//      up to index ceil((cosines + 1) / 2) + 1) take the mean of the next three;
//   2. D is scaled to the noise variance the parametric fit measured, sum sigma_v^2 / n,
//      per time point, and the thermal variance (white) is subtracted; what remains,
//      floored at 10^-3 of its mean, is the fluctuation's spectrum;
//   3. it is averaged onto P = min(kSpectrumPoints, N/2 + 1) equally spaced frequencies
//      from 0 to the Nyquist frequency (each periodogram frequency to its nearest point)
//      and scaled to a mean of 1.
//
// Choice. Each model's misfit is the root mean square, over lags 1 .. kMaxLag, of the
// observed pooled autocorrelation less the one the model predicts for the residuals
// (its autocorrelation, mixed with the white share and passed through the removal of
// the temporal model: projectNoise). The spectrum is chosen when the parametric model's
// misfit exceeds kParametricTolerance and the spectrum's is smaller, in a run long
// enough for AR(4) (maxArOrder): in a shorter one the spectrum's detail cannot be told
// from sampling noise, and the misfits are only reported. Runs with
// resolvable physiological oscillations keep the parametric model (the oscillations are
// written as noise.physio and would be counted twice).
#pragma once

#include <vector>

#include "tolvane/fit_noise/residual_pass.h"
#include "tolvane/fit_noise/temporal_correlation.h"
#include "tolvane/fit_noise/temporal_design.h"

namespace tolvane::fit_noise {

inline constexpr int kSpectrumPoints = 33;
inline constexpr double kParametricTolerance = 0.01;

// The relative power at the grid's points (step 3 above).
std::vector<double> fluctuationSpectrum(const std::vector<double>& periodogram,
                                        double noiseVariance, double thermalVariance,
                                        const TemporalDesign& design);

// The residuals' pooled autocorrelation at lags 1 .. kMaxLag that a model of circular or
// stationary autocorrelation rho(0 .. N - 1) and fluctuation share w predicts.
std::vector<double> predictedAutocorrelation(const std::vector<double>& rho, double w,
                                             const TemporalDesign& design);

// The parametric fit, then the spectrum in its place when it fits better (above); sets
// the misfits of both.
TemporalFit fitTemporalModel(const TemporalSums& sums, const std::vector<double>& periodogram,
                             double thermalVariance, const std::vector<double>& oscillations,
                             const TemporalDesign& design);

}  // namespace tolvane::fit_noise
