// fit-noise's estimates of a run's noise, each with its uncertainty and method.
//
// Order of work: the temporal model is removed from every voxel (residual_pass.h); the
// thermal level comes from the background (thermal_noise.h); the temporal
// autocorrelation, tSNR and drift from the mask's pooled sums (temporal_correlation.h);
// the spatial autocorrelation from the residuals scaled by each voxel's fluctuation sd
// (spatial_correlation.h); the physiological share from the pooled periodogram
// (physiological_noise.h).
//
//   tSNR  = sqrt(sum_v mean_v^2 / sum_v sigma_v^2) over the mask, sigma_v^2 = the
//           residuals' sum of squares / tr(R C R) (unbiased under the fitted model):
//           every voxel's mean over its sd when they share one ratio, as simulate
//           makes them, and otherwise the ratio of the mask's signal power to its
//           noise power;
//   SNR   = the mask's mean of the mean image / the thermal sd;
//   drift = sqrt(mean over the mask of (the drift's sum of squares / N - sigma_v^2 x
//           the noise's expected share in the cosines)), 0 when negative.
//
// Uncertainties are jackknife standard errors over groups of whole slices (leaving one
// group out at a time and refitting from the sums), except the thermal level's (see
// thermal_noise.h); slices rather than voxels because neighbouring voxels' noise is
// correlated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/fit_noise/physiological_noise.h"
#include "tolvane/fit_noise/spatial_correlation.h"
#include "tolvane/fit_noise/spectrum_fit.h"
#include "tolvane/fit_noise/temporal_correlation.h"
#include "tolvane/fit_noise/temporal_design.h"
#include "tolvane/fit_noise/thermal_noise.h"

namespace tolvane::fit_noise {

// Volumes of residuals used for the spatial autocorrelation, evenly spaced over the run:
// each has as many voxel pairs as the mask, far more than the correlation's precision
// needs.
inline constexpr int kSpatialVolumes = 40;

struct Estimate {
  double value = 0.0;
  double uncertainty = 0.0;  // NaN where none is computed
};

struct NoiseFit {
  std::size_t maskVoxels = 0;
  double meanInMask = 0.0;
  int groups = 0;  // of the jackknife
  Estimate tsnr, driftSd;
  ThermalNoise thermal;
  Estimate snr;  // only when thermal.usable
  TemporalFit temporal;
  std::vector<Estimate> ar;  // phi_1 .. phi_p of the chosen model
  Estimate ma;               // theta_1, when temporal.arma
  MixedAcf acf;
  // The spatial correlation measured at each lag that has pairs (spatial_correlation.h).
  std::vector<SpatialLag> spatialLags;
  std::vector<double> spatialCorrelations;
  Estimate acfA, acfB, acfC, fwhm;
  PhysiologicalNoise physio;
  Estimate physioShare;
  std::vector<float> meanImage;
  std::vector<float> noiseSdMap;  // noise_level_map.h
  std::vector<std::uint8_t> mask;
};

// Consumes `series` (its values become the residuals). Throws InputError naming
// `source` when the mask is empty or the residuals in it do not vary.
NoiseFit fitNoise(formats::FloatSeries& series, const std::vector<std::uint8_t>& mask,
                  const TemporalDesign& design, unsigned threads,
                  const std::filesystem::path& source, const analysis::Progress& progress);

}  // namespace tolvane::fit_noise
