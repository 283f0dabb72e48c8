// noise.toml, the JSON of estimates, the images and the printed table; see
// fit_outputs.h.
#include "tolvane/fit_noise/fit_outputs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "formats/affine.h"
#include "formats/atomic_file.h"
#include "formats/nifti/nifti_maps.h"

namespace tolvane::fit_noise {
namespace {

std::string number(double value, int digits = 4) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return text;
}

std::string list(const std::vector<Estimate>& values) {
  std::string text = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    text += (i ? ", " : "") + number(values[i].value);
  }
  return text + "]";
}

nlohmann::json estimate(const Estimate& value, const std::string& unit, const std::string& method) {
  nlohmann::json out{{"value", value.value}, {"method", method}};
  out["uncertainty"] = std::isfinite(value.uncertainty) ? nlohmann::json(value.uncertainty)
                                                        : nlohmann::json(nullptr);
  if (!unit.empty()) out["unit"] = unit;
  return out;
}

// A run shorter than half the cutoff has no drift cosine to measure the drift in.
bool hasDrift(const FitNoiseRun& run) {
  return std::find_if(run.columns.begin(), run.columns.end(), [](const std::string& name) {
           return name.rfind("cosine", 0) == 0;
         }) != run.columns.end();
}

const char* kJackknife = "jackknife standard error over groups of whole slices";

// The chosen model's name, as the table and the JSON give it.
std::string temporalModelName(const NoiseFit& fit) {
  if (fit.temporal.spectral) return "spectrum";
  if (fit.ar.empty()) return "white";
  if (fit.temporal.arma) return "ARMA(1,1)";
  return "AR(" + std::to_string(fit.ar.size()) + ")";
}

nlohmann::json temporalModelJson(const FitNoiseRun& run) {
  const NoiseFit& fit = run.fit;
  const auto misfit = [](double value) {
    return std::isfinite(value) ? nlohmann::json(value) : nlohmann::json(nullptr);
  };
  return {{"chosen", temporalModelName(fit)},
          {"parametric_rms_misfit", misfit(fit.temporal.parametricRmsMisfit)},
          {"spectrum_rms_misfit", misfit(fit.temporal.spectrumRmsMisfit)},
          {"spectrum", {{"nyquist_hz", 0.5 / run.trSeconds}, {"power", fit.temporal.spectrum}}},
          {"residual_autocorrelation",
           {{"lags", {1, 2, 3, 4, 5, 6, 7, 8}},
            {"measured", fit.temporal.measuredLags},
            {"predicted", fit.temporal.predictedLags}}},
          {"method",
           "rms over lags 1-8 of the observed pooled autocorrelation less the model's prediction "
           "for the residuals; the spectrum is chosen when the parametric model's exceeds 0.01 "
           "and the spectrum's is smaller"}};
}

// The spatial correlation at 1 and 2 voxels along each grid axis, measured and as the
// fitted (isotropic in mm) model predicts it: where they part, the noise is smoother
// along some axes than others.
nlohmann::json spatialByAxisJson(const NoiseFit& fit) {
  nlohmann::json out;
  const char* names[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    nlohmann::json measured = nlohmann::json::array(), predicted = nlohmann::json::array();
    for (int step = 1; step <= 2; ++step) {
      for (std::size_t i = 0; i < fit.spatialLags.size(); ++i) {
        const SpatialLag& lag = fit.spatialLags[i];
        const int along[3] = {lag.dx, lag.dy, lag.dz};
        if (along[axis] != step || std::abs(lag.dx) + std::abs(lag.dy) + std::abs(lag.dz) != step) {
          continue;
        }
        measured.push_back(fit.spatialCorrelations[i]);
        predicted.push_back(mixedAcf(fit.acf.a, fit.acf.bMm, fit.acf.cMm, lag.distanceMm));
      }
    }
    out[names[axis]] = {{"voxels", {1, 2}}, {"measured", measured}, {"predicted", predicted}};
  }
  return out;
}

std::string temporalModelToml(const FitNoiseRun& run) {
  const NoiseFit& fit = run.fit;
  std::string text;
  if (!fit.temporal.fallback.empty()) text += "# temporal model: " + fit.temporal.fallback + "\n";
  if (std::isfinite(fit.temporal.spectrumRmsMisfit)) {
    const bool spectral = fit.temporal.spectral;
    const double chosen =
        spectral ? fit.temporal.spectrumRmsMisfit : fit.temporal.parametricRmsMisfit;
    const double other =
        spectral ? fit.temporal.parametricRmsMisfit : fit.temporal.spectrumRmsMisfit;
    text += "# rms misfit to the autocorrelation at lags 1-8: " + temporalModelName(fit) + " " +
            number(chosen, 3) + ", the " + (spectral ? "parametric model's " : "spectrum's ") +
            number(other, 3) + "\n";
  }
  if (fit.temporal.spectral) {
    std::vector<Estimate> power;
    for (double value : fit.temporal.spectrum) power.push_back({value, NAN});
    return text + "spectrum = { nyquist_hz = " + number(0.5 / run.trSeconds, 10) +
           ", power = " + list(power) + " }\n";
  }
  if (fit.ar.empty()) return text + "# no ar: the fluctuation noise is white\n";
  text += "ar = " + list(fit.ar) + "\n";
  if (fit.temporal.arma) text += "ma = [" + number(fit.ma.value) + "]\n";
  return text;
}

}  // namespace

std::string noiseToml(const FitNoiseRun& run, const FitNoiseRequest& request) {
  const NoiseFit& fit = run.fit;
  const formats::Point3 voxel = formats::voxelSizes(run.geometry.frame.voxelToWorld);
  std::string text;
  text += "# Noise fitted by tolvane fit-noise from " + request.bold.string() + ".\n";
  text += "# Use it with noise_from = \"" + (request.output / kNoiseKeysFile).string() +
          "\"; keys the study sets itself replace these.\n";
  text += "tr = " + number(run.trSeconds, 10) + "\n";
  text += "volumes = " + std::to_string(run.volumes) + "\n";
  text += std::string("baseline = \"") +
          (fit.thermal.magnitude ? kMagnitudeBaselineFile : kMeanImageFile) + "\"\n";
  text += std::string("mask = \"") + kMaskFile + "\"\n\n";
  text += "# The run's grid: " + std::to_string(run.geometry.dims[0]) + " x " +
          std::to_string(run.geometry.dims[1]) + " x " + std::to_string(run.geometry.dims[2]) +
          " voxels of " + number(voxel[0]) + " x " + number(voxel[1]) + " x " + number(voxel[2]) +
          " mm, placed and oriented as the mean image.\n";
  text += "[grid]\n";
  text += std::string("anatomical = \"") + kMeanImageFile + "\"\n";
  text += "box = [0, " + std::to_string(run.geometry.dims[0]) + ", 0, " +
          std::to_string(run.geometry.dims[1]) + ", 0, " + std::to_string(run.geometry.dims[2]) +
          "]\nresolution = 1\n\n[noise]\n";
  text += std::string("sd = \"") + kNoiseSdFile + "\"  # the noise sd voxel by voxel; tSNR " +
          number(fit.tsnr.value) + " over the mask (tsnr = " + number(fit.tsnr.value) +
          " for one tSNR everywhere)\n";
  if (fit.thermal.usable) {
    text += "snr = " + number(fit.snr.value) + "\n";
    if (fit.thermal.magnitude) text += "magnitude = true\n";
  } else {
    text += "# no snr: " + fit.thermal.reason + "\n";
  }
  text += temporalModelToml(run);
  text += "acf = { a = " + number(fit.acf.a) + ", b_mm = " + number(fit.acf.bMm) +
          ", c_mm = " + number(fit.acf.cMm) +
          " }  # Gaussian equivalent: smoothness_mm = " + number(fit.fwhm.value) + "\n";
  if (hasDrift(run)) {
    text += "drift = { sd = " + number(fit.driftSd.value) +
            ", cutoff_s = " + number(request.highpassSeconds) + " }\n";
  } else {
    text += "# no drift: the run is too short for any cosine with a period above " +
            number(request.highpassSeconds) + " s\n";
  }
  if (fit.physio.resolvable && fit.physio.share >= kSmallestShare) {
    text += "physio = { share = " + number(fit.physio.share) +
            ", cardiac_hz = " + number(fit.physio.cardiacHz) +
            ", respiratory_hz = " + number(fit.physio.respiratoryHz) + " }\n";
  } else if (!fit.physio.resolvable) {
    text += "# no physio: " + fit.physio.reason + "\n";
  } else {
    text += "# no physio: the aliased cardiac and respiratory frequencies hold " +
            number(100.0 * fit.physio.share, 2) + " % of the noise power, below 1 %\n";
  }
  return text;
}

std::string estimatesJson(const FitNoiseRun& run, const FitNoiseRequest& request) {
  const NoiseFit& fit = run.fit;
  nlohmann::json out;
  out["source"] = request.bold.string();
  const formats::Affine& a = run.geometry.frame.voxelToWorld;
  const formats::Point3 voxel = formats::voxelSizes(a);
  out["grid"] = {{"dimensions", run.geometry.dims},
                 {"voxel_mm", {voxel[0], voxel[1], voxel[2]}},
                 {"voxel_to_world",
                  {{a.m[0][0], a.m[0][1], a.m[0][2], a.m[0][3]},
                   {a.m[1][0], a.m[1][1], a.m[1][2], a.m[1][3]},
                   {a.m[2][0], a.m[2][1], a.m[2][2], a.m[2][3]}}},
                 {"frame_code", run.geometry.frame.code}};
  out["volumes"] = run.volumes;
  out["tr_s"] = run.trSeconds;
  out["mask"] = {{"voxels", fit.maskVoxels},
                 {"method", run.automaticMask ? "automatic: Otsu threshold of the mean image, "
                                                "largest 6-connected component, holes filled"
                                              : "given: " + request.mask->string()}};
  out["temporal_model"] = {{"columns", run.columns}, {"cutoff_s", request.highpassSeconds}};
  out["jackknife_groups"] = fit.groups;
  nlohmann::json& estimates = out["estimates"];
  estimates["tsnr"] = estimate(fit.tsnr, "",
                               "sqrt(sum of squared voxel means / sum of noise variances) over "
                               "the mask, after drift and task removal; " +
                                   std::string(kJackknife));
  if (fit.thermal.usable) {
    estimates["thermal_sd"] =
        estimate({fit.thermal.sd, fit.thermal.sdUncertainty}, "data units",
                 std::string(fit.thermal.magnitude
                                 ? "magnitude data (Rayleigh background): sqrt(mean square / 2)"
                                 : "real data: mean residual variance") +
                     " over " + std::to_string(fit.thermal.backgroundVoxels) +
                     " background voxels; uncertainty 1 / sqrt(2 n df)");
    estimates["snr"] = estimate(fit.snr, "", "mean of the mean image in the mask / thermal sd");
    estimates["magnitude"] = fit.thermal.magnitude;
  } else {
    estimates["snr"] = {{"value", nullptr}, {"reason", fit.thermal.reason}};
  }
  const std::string correction =
      "Yule-Walker on the residual autocorrelation pooled over the mask, divided by the "
      "fluctuation share and corrected for the removed temporal model; " +
      std::string(kJackknife);
  nlohmann::json ar = nlohmann::json::array();
  for (const Estimate& phi : fit.ar) ar.push_back(estimate(phi, "", correction));
  estimates["ar"] = ar;
  estimates["ar_order"] = {{"value", fit.temporal.ar.ar.size()},
                           {"partial_autocorrelations", fit.temporal.partial},
                           {"largest_allowed", fit.temporal.largestAllowedOrder},
                           {"method",
                            "largest p <= min(4, residual volumes / 10) with |partial "
                            "autocorrelation| > 0.05"}};
  estimates["temporal_fallback"] = fit.temporal.fallback.empty()
                                       ? nlohmann::json(nullptr)
                                       : nlohmann::json(fit.temporal.fallback);
  estimates["arma"] = {{"chosen", fit.temporal.arma},
                       {"ar_misfit", fit.temporal.arMisfit},
                       {"arma_misfit", std::isfinite(fit.temporal.armaMisfit)
                                           ? nlohmann::json(fit.temporal.armaMisfit)
                                           : nlohmann::json(nullptr)},
                       {"method",
                        "chosen when the AR order is at least 2 and its squared misfit "
                        "to the corrected autocorrelations at lags 1-8 is smaller"}};
  if (fit.temporal.arma)
    estimates["ma"] = estimate(fit.ma, "", "ARMA(1,1) from lags 1 and 2; " + correction);
  estimates["temporal_model"] = temporalModelJson(run);
  estimates["fluctuation_share"] = fit.temporal.fluctuationShare;
  const std::string acfMethod =
      "least squares of a exp(-r^2/(2 b^2)) + (1-a) exp(-r/c) to the residuals' spatial "
      "autocorrelation along the axes and diagonals; " +
      std::string(kJackknife);
  estimates["acf_a"] = estimate(fit.acfA, "", acfMethod);
  estimates["acf_b"] = estimate(fit.acfB, "mm", acfMethod);
  estimates["acf_c"] = estimate(fit.acfC, "mm", acfMethod);
  estimates["acf_misfit"] = fit.acf.misfit;
  estimates["spatial_correlation_by_axis"] = spatialByAxisJson(fit);
  estimates["smoothness_fwhm"] =
      estimate(fit.fwhm, "mm",
               "FWHM of the Gaussian kernel whose autocorrelation best matches "
               "the fitted one down to 0.05; " +
                   std::string(kJackknife));
  if (!hasDrift(run)) {
    estimates["drift_sd"] = {{"value", nullptr},
                             {"reason", "no cosine with a period above the cutoff in this run"}};
  } else {
    estimates["drift_sd"] = estimate(fit.driftSd, "data units",
                                     "sd of the cosines below the cutoff, less the noise's share "
                                     "in them; " +
                                         std::string(kJackknife));
  }
  if (fit.physio.resolvable) {
    estimates["physio"] = estimate(fit.physioShare, "",
                                   "power above the background at the aliased cardiac and "
                                   "respiratory bands, over the total; " +
                                       std::string(kJackknife));
    estimates["physio"]["cardiac_hz"] = fit.physio.cardiacHz;
    estimates["physio"]["respiratory_hz"] = fit.physio.respiratoryHz;
  } else {
    estimates["physio"] = {{"value", nullptr}, {"reason", fit.physio.reason}};
  }
  return out.dump(2) + "\n";
}

void printEstimateTable(const FitNoiseRun& run, std::ostream& out) {
  const NoiseFit& fit = run.fit;
  const auto row = [&](const std::string& name, const Estimate& value, const std::string& note) {
    char line[160];
    std::snprintf(
        line, sizeof line, "%-22s %12.4g  %-12s %s\n", name.c_str(), value.value,
        std::isfinite(value.uncertainty) ? ("± " + number(value.uncertainty, 2)).c_str() : "",
        note.c_str());
    out << line;
  };
  out << "run: " << run.geometry.dims[0] << " x " << run.geometry.dims[1] << " x "
      << run.geometry.dims[2] << " voxels, " << run.volumes << " volumes of TR "
      << number(run.trSeconds) << " s; mask " << fit.maskVoxels << " voxels ("
      << (run.automaticMask ? "automatic" : "given") << ")\n\n";
  out << "estimate                      value  uncertainty\n";
  row("tSNR", fit.tsnr, "");
  if (fit.thermal.usable) {
    row("SNR (thermal)", fit.snr, fit.thermal.magnitude ? "magnitude data" : "");
  } else {
    out << "SNR (thermal)          not estimated: " << fit.thermal.reason << "\n";
  }
  for (std::size_t i = 0; i < fit.ar.size(); ++i) {
    row("phi" + std::to_string(i + 1), fit.ar[i],
        i == 0 ? (fit.temporal.arma ? "ARMA(1,1)" : "AR(" + std::to_string(fit.ar.size()) + ")")
               : "");
  }
  if (fit.temporal.arma) row("theta1", fit.ma, "");
  out << "temporal model         " << temporalModelName(fit);
  if (std::isfinite(fit.temporal.spectrumRmsMisfit)) {
    out << " (rms misfit: parametric " << number(fit.temporal.parametricRmsMisfit, 3)
        << ", spectrum " << number(fit.temporal.spectrumRmsMisfit, 3) << ")";
  }
  out << "\n";
  if (!fit.temporal.fallback.empty()) out << "  fallback: " << fit.temporal.fallback << "\n";
  row("ACF a", fit.acfA, "");
  row("ACF b (mm)", fit.acfB, "");
  row("ACF c (mm)", fit.acfC, "");
  row("smoothness FWHM (mm)", fit.fwhm, "Gaussian equivalent");
  if (hasDrift(run)) {
    row("drift sd", fit.driftSd, "data units");
  } else {
    out << "drift sd               not estimated: the run is shorter than the cutoff's period\n";
  }
  if (fit.physio.resolvable) {
    row("physiological share", fit.physioShare,
        "cardiac " + number(fit.physio.cardiacHz, 3) + " Hz, respiratory " +
            number(fit.physio.respiratoryHz, 3) + " Hz");
  } else {
    out << "physiological share    not estimated: " << fit.physio.reason << "\n";
  }
}

std::vector<std::filesystem::path> writeFitOutputs(const FitNoiseRun& run,
                                                   const FitNoiseRequest& request,
                                                   formats::StagedFileSet& staged) {
  formats::writeFloatMapNifti(staged.stagedPath(kMeanImageFile), run.geometry,
                              run.fit.meanImage.data(), {}, 1);
  if (run.fit.thermal.magnitude) {
    std::vector<float> baseline = run.fit.meanImage;
    for (std::size_t v = 0; v < baseline.size(); ++v) {
      if (!run.fit.mask[v]) baseline[v] = 0.0f;
    }
    formats::writeFloatMapNifti(staged.stagedPath(kMagnitudeBaselineFile), run.geometry,
                                baseline.data(), {}, 1);
  }
  formats::writeFloatMapNifti(staged.stagedPath(kNoiseSdFile), run.geometry,
                              run.fit.noiseSdMap.data(), {}, 1);
  std::vector<std::int32_t> labels(run.fit.mask.begin(), run.fit.mask.end());
  formats::writeLabelMapNifti(staged.stagedPath(kMaskFile), run.geometry, labels.data(), 1);
  formats::writeTextFile(staged.stagedPath(kEstimatesFile), estimatesJson(run, request));
  formats::writeTextFile(staged.stagedPath(kNoiseKeysFile), noiseToml(run, request));
  return staged.commit();
}

}  // namespace tolvane::fit_noise
