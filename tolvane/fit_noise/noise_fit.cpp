// Putting the estimates together, with their jackknife uncertainties; see noise_fit.h.
#include "tolvane/fit_noise/noise_fit.h"

#include <cmath>

#include "formats/text_parsing.h"
#include "tolvane/fit_noise/noise_level_map.h"

namespace tolvane::fit_noise {
namespace {

struct FromSums {
  TemporalFit temporal;
  MixedAcf acf;
  std::vector<SpatialLag> measuredLags;  // with pairs
  std::vector<double> correlations;      // at those lags
  PhysiologicalNoise physio;
  double tsnr = 0.0, driftSd = 0.0;
};

FromSums estimateFromSums(const TemporalSums& temporal, const SpatialSums& spatial,
                          const std::vector<double>& periodogram, double thermalVariance,
                          double diagonalSum, const std::vector<SpatialLag>& lags,
                          const TemporalDesign& design) {
  FromSums out;
  out.physio = estimatePhysiologicalNoise(periodogram, design.volumes, design.trSeconds,
                                          design.cutoffSeconds);
  const bool oscillations = out.physio.resolvable && out.physio.share >= kSmallestShare;
  out.temporal =
      fitTemporalModel(temporal, periodogram, thermalVariance,
                       oscillations ? out.physio.autocorrelation : std::vector<double>{}, design);
  if (!out.temporal.usable) return out;
  const double varianceSum = out.temporal.varianceSum;
  out.tsnr = std::sqrt(temporal.meanSquares / varianceSum);
  const double driftVariance =
      (temporal.driftSquares / design.volumes - varianceSum * out.temporal.projected.driftShare) /
      temporal.voxels;
  out.driftSd = std::sqrt(std::max(0.0, driftVariance));
  // Lags longer than the grid (a run of few slices) have no pairs and are left out.
  for (std::size_t i = 0; i < lags.size(); ++i) {
    if (!(spatial.pairs[i] > 0.0)) continue;
    out.measuredLags.push_back(lags[i]);
    out.correlations.push_back(spatial.products[i] / (spatial.pairs[i] * diagonalSum));
  }
  out.acf = fitMixedAcf(out.measuredLags, out.correlations);
  return out;
}

// The estimates that the jackknife recomputes, in a fixed order: tSNR, drift, a, b, c,
// FWHM, physiological share, phi_1 .. phi_p, theta.
std::vector<double> flatten(const FromSums& fit, std::size_t order, bool arma) {
  std::vector<double> values{fit.tsnr,    fit.driftSd,    fit.acf.a,       fit.acf.bMm,
                             fit.acf.cMm, fit.acf.fwhmMm, fit.physio.share};
  const ArmaModel& model = arma ? fit.temporal.model : fit.temporal.ar;
  for (std::size_t i = 0; i < order; ++i) {
    values.push_back(i < model.ar.size() ? model.ar[i] : 0.0);
  }
  values.push_back(model.ma);
  return values;
}

}  // namespace

NoiseFit fitNoise(formats::FloatSeries& series, const std::vector<std::uint8_t>& mask,
                  const TemporalDesign& design, unsigned threads,
                  const std::filesystem::path& source, const analysis::Progress& progress) {
  NoiseFit fit;
  for (std::uint8_t inside : mask) fit.maskVoxels += inside != 0;
  if (fit.maskVoxels == 0) {
    throw formats::InputError(source.string() +
                              ": the mask has no voxels inside, so there is "
                              "no noise to measure; give a mask with --mask");
  }
  progress("removing the temporal model (" + std::to_string(design.columnCount()) +
           " columns) from " + std::to_string(series.geometry.voxelCount()) + " voxels");
  ResidualPass pass = removeTemporalModel(series, design, mask, threads, progress);
  fit.groups = static_cast<int>(pass.groups.size());
  TemporalSums total;
  for (const TemporalSums& group : pass.groups) total += group;
  if (!(total.lagProducts[0] > 0.0)) {
    throw formats::InputError(source.string() +
                              ": the voxels of the mask do not vary in time "
                              "once the temporal model is removed, so there is no noise to fit");
  }
  double meanSum = 0.0;
  for (std::size_t v = 0; v < mask.size(); ++v) {
    if (mask[v]) meanSum += pass.mean[v];
  }
  fit.meanInMask = meanSum / fit.maskVoxels;

  progress("thermal level from the background");
  fit.thermal = estimateThermalNoise(pass.mean, pass.residualSquares, mask, series.geometry.dims,
                                     design.volumes, design.residualVolumes());
  setAsideNonThermalBackground(fit.thermal,
                               total.residualSquares / (total.voxels * design.residualVolumes()));
  const double thermalVariance = fit.thermal.usable ? fit.thermal.sd * fit.thermal.sd : 0.0;
  if (fit.thermal.usable) {
    const double snr = fit.meanInMask / fit.thermal.sd;
    fit.snr = {snr, snr * fit.thermal.sdUncertainty / fit.thermal.sd};
  }

  progress("temporal autocorrelation and physiological oscillations");
  std::vector<double> periodogramTotal(pass.periodogram[0].size(), 0.0);
  for (const std::vector<double>& group : pass.periodogram) {
    for (std::size_t f = 0; f < group.size(); ++f) periodogramTotal[f] += group[f];
  }
  const PhysiologicalNoise physio = estimatePhysiologicalNoise(
      periodogramTotal, design.volumes, design.trSeconds, design.cutoffSeconds);
  const TemporalFit temporal =
      fitTemporalModel(total, periodogramTotal, thermalVariance,
                       physio.resolvable && physio.share >= kSmallestShare ? physio.autocorrelation
                                                                           : std::vector<double>{},
                       design);

  progress("spatial autocorrelation over " + std::to_string(kSpatialVolumes) + " volumes");
  // Each voxel's fluctuation sd, from its variance under the fitted temporal model.
  const double trace = temporal.projected.lagSums[0];
  std::vector<float> scale(mask.size(), 0.0f);
  for (std::size_t v = 0; v < mask.size(); ++v) {
    if (!mask[v]) continue;
    const double variance = pass.residualSquares[v] / trace;
    const double fluctuation = variance - thermalVariance;
    if (fluctuation > 0.1 * variance) scale[v] = static_cast<float>(1.0 / std::sqrt(fluctuation));
  }
  std::vector<int> volumes;
  const int used = std::min(kSpatialVolumes, design.volumes);
  for (int i = 0; i < used; ++i) volumes.push_back(i * design.volumes / used);
  const std::vector<SpatialLag> lags = spatialLags(series.geometry.frame.voxelToWorld);
  const std::vector<SpatialSums> spatialGroups =
      spatialLagSums(series, scale, pass.groupOfSlice, lags, volumes, threads);
  double diagonalSum = 0.0;
  for (int t : volumes) diagonalSum += temporal.projected.diagonal[t];

  SpatialSums spatialTotal{std::vector<double>(lags.size(), 0.0),
                           std::vector<double>(lags.size(), 0.0)};
  for (const SpatialSums& group : spatialGroups) spatialTotal += group;
  const FromSums full = estimateFromSums(total, spatialTotal, periodogramTotal, thermalVariance,
                                         diagonalSum, lags, design);
  fit.temporal = full.temporal;
  fit.acf = full.acf;
  fit.spatialLags = full.measuredLags;
  fit.spatialCorrelations = full.correlations;
  fit.physio = full.physio;

  progress("uncertainties: leaving out each of " + std::to_string(fit.groups) +
           " groups of slices");
  const std::size_t order = full.temporal.model.ar.size();
  const std::vector<double> fullValues = flatten(full, order, full.temporal.arma);
  std::vector<std::vector<double>> leftOut;
  for (int g = 0; g < fit.groups && fit.groups > 1; ++g) {
    TemporalSums temporalRest = total;
    temporalRest -= pass.groups[g];
    SpatialSums spatialRest = spatialTotal;
    spatialRest -= spatialGroups[g];
    std::vector<double> periodogramRest = periodogramTotal;
    for (std::size_t f = 0; f < periodogramRest.size(); ++f) {
      periodogramRest[f] -= pass.periodogram[g][f];
    }
    if (!(temporalRest.voxels > 0.0)) continue;
    const FromSums rest = estimateFromSums(temporalRest, spatialRest, periodogramRest,
                                           thermalVariance, diagonalSum, lags, design);
    if (rest.temporal.usable) leftOut.push_back(flatten(rest, order, full.temporal.arma));
  }
  std::vector<Estimate> estimates(fullValues.size());
  for (std::size_t i = 0; i < fullValues.size(); ++i) {
    estimates[i].value = fullValues[i];
    estimates[i].uncertainty = NAN;
    const double n = static_cast<double>(leftOut.size());
    if (n < 2) continue;
    double mean = 0.0;
    for (const auto& values : leftOut) mean += values[i] / n;
    double squares = 0.0;
    for (const auto& values : leftOut) squares += (values[i] - mean) * (values[i] - mean);
    estimates[i].uncertainty = std::sqrt((n - 1.0) / n * squares);
  }
  fit.tsnr = estimates[0];
  fit.driftSd = estimates[1];
  fit.acfA = estimates[2];
  fit.acfB = estimates[3];
  fit.acfC = estimates[4];
  fit.fwhm = estimates[5];
  fit.physioShare = estimates[6];
  fit.ar.assign(estimates.begin() + 7, estimates.begin() + 7 + static_cast<std::ptrdiff_t>(order));
  fit.ma = estimates.back();
  fit.noiseSdMap = smoothedNoiseSd(pass.residualSquares, mask, series.geometry.dims,
                                   fit.temporal.projected.lagSums[0], thermalVariance);
  fit.meanImage = std::move(pass.mean);
  return fit;
}

}  // namespace tolvane::fit_noise
