// Scanner-like noise keys and per-voxel levels; see scanner_noise.h.
#include "tolvane/study/scanner_noise.h"

#include <algorithm>
#include <cmath>

#include "engine/autoregression.h"
#include "engine/smoothing.h"
#include "formats/errors.h"
#include "formats/nifti/conform.h"
#include "formats/nifti/nifti_maps.h"
#include "tolvane/study/automatic_mask.h"
#include "tolvane/study/spectrum_keys.h"

namespace tolvane::study {
namespace {

using formats::InputError;

// Lengths in mm and rates in Hz beyond any scanner's, and finite.
constexpr double kMaxLengthMm = 1000.0;
constexpr double kMaxPhysioHz = 10.0;

// The keys of this file in the order a refusal names the first one given.
const char* const kScannerKeys[] = {"baseline",  "baseline_scale",  "mask",          "noise.tsnr",
                                    "noise.snr", "noise.magnitude", "noise.acf",     "noise.ar",
                                    "noise.ma",  "noise.physio",    "noise.spectrum"};

std::string firstScannerKey(const StudyFile& file) {
  for (const char* key : kScannerKeys) {
    if (std::string(key) == "baseline" ? file.baselineImage.has_value() : file.given(key)) {
      return key;
    }
  }
  return "noise";
}

bool within(double value, double low, double high) { return value >= low && value <= high; }

void checkAutoregression(const StudyFile& file, NoiseModels& noise) {
  if (file.ar) {
    if (file.noiseModel != "white" || file.rho) {
      file.fail("noise.ar",
                "expected either noise.ar or model = \"ar1\" with rho, not both (ar1 is "
                "ar = [rho])");
    }
    noise.arma.ar = *file.ar;
  }
  if (file.ma) {
    if (file.noiseModel != "white") {
      file.fail("noise.ma", "expected noise.ar for the autoregressive part, not model = \"ar1\"");
    }
    noise.arma.ma = *file.ma;
  }
  if (!file.ar && !file.ma) return;
  const std::string problem = engine::armaStationarityProblem(noise.arma);
  if (!problem.empty()) file.fail(file.ar ? "noise.ar" : "noise.ma", problem);
}

void checkAcf(const StudyFile& file, NoiseModels& noise) {
  if (!file.acf) return;
  if (file.smoothnessMm) {
    file.fail("noise.acf",
              "expected either noise.acf or noise.smoothness_mm, not both (a = 1 is a "
              "Gaussian autocorrelation)");
  }
  const MixedAcfEntry& acf = *file.acf;
  if (!within(acf.a, 0.0, 1.0)) file.fail("noise.acf.a", "expected a weight from 0 to 1");
  if (!(acf.bMm > 0.0 && acf.bMm <= kMaxLengthMm)) {
    file.fail("noise.acf.b_mm", "expected the Gaussian's length in mm, above 0 and up to 1000");
  }
  if (!(acf.cMm > 0.0 && acf.cMm <= kMaxLengthMm)) {
    file.fail("noise.acf.c_mm", "expected the exponential's length in mm, above 0 and up to 1000");
  }
  noise.acf = engine::MixedAcf{acf.a, acf.bMm, acf.cMm};
}

void checkPhysio(const StudyFile& file, NoiseModels& noise) {
  if (!file.physio) return;
  const PhysioEntry& physio = *file.physio;
  if (!(physio.share >= 0.0 && physio.share < 1.0)) {
    file.fail("noise.physio.share",
              "expected the physiological share of the temporal variance, from 0 to below 1");
  }
  if (!(physio.cardiacHz > 0.0 && physio.cardiacHz <= kMaxPhysioHz)) {
    file.fail("noise.physio.cardiac_hz", "expected a heart rate in Hz above 0 and up to 10");
  }
  if (!(physio.respiratoryHz > 0.0 && physio.respiratoryHz <= kMaxPhysioHz)) {
    file.fail("noise.physio.respiratory_hz",
              "expected a breathing rate in Hz above 0 and up to 10");
  }
  noise.physio = Physio{physio.share, {physio.cardiacHz, physio.respiratoryHz}};
}

std::filesystem::path relativeTo(const std::filesystem::path& folder, const std::string& written) {
  const std::filesystem::path path(written);
  return path.is_absolute() ? path : folder / path;
}

// A 3-D image of the study resampled onto its grid; a file that cannot be read is
// refused as the key's.
std::vector<float> imageOnGrid(const StudyFile& file, const std::string& key,
                               const std::filesystem::path& folder, const std::string& written,
                               const Study& study, bool nearest) {
  formats::ScalarVolume volume;
  try {
    volume = formats::readScalarVolume(relativeTo(folder, written));
  } catch (const InputError& error) {
    file.fail(key, error.what());
  }
  // A NaN would spread to the voxels around it when resampled, and into every value of
  // their runs.
  std::size_t nonFinite = 0, first = 0;
  for (std::size_t v = volume.values.size(); v-- > 0;) {
    if (!std::isfinite(volume.values[v])) {
      ++nonFinite;
      first = v;
    }
  }
  if (nonFinite > 0) {
    const auto& dims = volume.geometry.dims;
    file.fail(key, written + ": expected finite values, found " + std::to_string(nonFinite) +
                       " that are not (NaN or infinite), the first at voxel (" +
                       std::to_string(static_cast<std::int64_t>(first) % dims[0]) + ", " +
                       std::to_string(static_cast<std::int64_t>(first) / dims[0] % dims[1]) +
                       ", " + std::to_string(static_cast<std::int64_t>(first) / (dims[0] * dims[1])) +
                       ")");
  }
  if (!formats::isInvertible(volume.geometry.frame.voxelToWorld)) {
    file.fail(key, "expected an image with an invertible voxel-to-world transform");
  }
  const formats::MapGeometry grid = formats::mapGeometryOf(study.grid, study.frame);
  return nearest ? formats::resampleNearest(volume, grid)
                 : formats::resampleTrilinear(volume, grid);
}

// noise.sd or noise.tsnr given as an image, resampled as the baseline is (trilinearly),
// checked inside the mask: sds of 0 or more, tSNRs above 0, all finite. Empty when
// neither is an image.
std::vector<double> levelImage(const StudyFile& file, const std::filesystem::path& folder,
                               const Study& study, const std::vector<std::uint8_t>& mask) {
  if (!file.noiseSdImage && !file.tsnrImage) return {};
  const bool tsnr = file.tsnrImage.has_value();
  const std::string key = tsnr ? "noise.tsnr" : "noise.sd";
  const std::vector<float> image =
      imageOnGrid(file, key, folder, tsnr ? *file.tsnrImage : *file.noiseSdImage, study, false);
  std::size_t bad = 0;
  for (std::size_t v = 0; v < image.size(); ++v) {
    if (!mask[v]) continue;
    const bool fits = tsnr ? image[v] > 0.0f : image[v] >= 0.0f;
    bad += !(fits && std::isfinite(image[v]));
  }
  if (bad > 0) {
    file.fail(key, std::to_string(bad) + " voxels of the mask have a " +
                       (tsnr ? "tSNR that is not above 0" : "negative sd") +
                       " or none at all (the image may end before the mask does); expected " +
                       (tsnr ? "a tSNR above 0" : "an sd of 0 or more") +
                       " at every voxel of the mask");
  }
  return std::vector<double>(image.begin(), image.end());
}

}  // namespace

bool usesScannerNoise(const StudyFile& file) {
  return file.baselineImage || file.baselineScale || file.mask || file.tsnr || file.snr ||
         file.noiseSdImage || file.tsnrImage || file.magnitude || file.acf || file.ar || file.ma ||
         file.physio || file.spectrum;
}

void checkScannerNoiseModels(const StudyFile& file, const Study& study, NoiseModels& noise) {
  if (!usesScannerNoise(file)) return;
  if (file.baselineScale) {
    if (!file.baselineImage) {
      file.fail("baseline_scale", "expected only with an image as baseline (baseline = \"...\")");
    }
    if (!(*file.baselineScale > 0.0 && *file.baselineScale <= 1e30)) {
      file.fail("baseline_scale", "expected a factor above 0");
    }
  }
  if (file.tsnr || file.tsnrImage) {
    if (file.noiseSdGiven) {
      file.fail("noise.tsnr",
                "expected either noise.sd or noise.tsnr, not both: tsnr sets each voxel's "
                "sd as its baseline / tsnr");
    }
    if (file.tsnr && !(*file.tsnr > 0.0 && *file.tsnr <= 1e30)) {
      file.fail("noise.tsnr", "expected a temporal SNR above 0");
    }
  }
  if (file.snr && !(*file.snr > 0.0 && *file.snr <= 1e30)) {
    file.fail("noise.snr", "expected a thermal SNR above 0");
  }
  if (file.magnitude.value_or(false) && !file.snr) {
    file.fail("noise.magnitude",
              "expected noise.snr with magnitude = true: the imaginary channel carries the "
              "thermal noise that snr sets");
  }
  checkAcf(file, noise);
  checkAutoregression(file, noise);
  checkPhysio(file, noise);
  checkSpectrum(file, noise);
  const std::string key = firstScannerKey(file);
  if (study.signal == SignalMode::Replace) {
    file.fail(key,
              "needs signal = \"add\": with \"replace\" the regions' voxels get fresh white "
              "noise around a single baseline, as the plug-in gives them");
  }
  if (study.generator == Generator::Ran1) {
    file.fail(key,
              "needs generator = \"philox\", whose fields any voxel and volume can be drawn "
              "from; ran1 is for the plug-in's white noise");
  }
}

VoxelLevelMaps resolveVoxelLevels(const StudyFile& file, const std::filesystem::path& folder,
                                  const Study& study) {
  const auto voxels = static_cast<std::size_t>(study.voxelCount());
  VoxelLevelMaps levels;
  if (file.baselineImage) {
    const std::vector<float> image =
        imageOnGrid(file, "baseline", folder, *file.baselineImage, study, false);
    const double scale = file.baselineScale.value_or(1.0);
    levels.baseline.resize(voxels);
    for (std::size_t v = 0; v < voxels; ++v) {
      levels.baseline[v] = static_cast<float>(static_cast<double>(image[v]) * scale);
    }
  } else {
    levels.baseline.assign(voxels, static_cast<float>(file.baseline));
  }

  if (file.mask) {
    const std::vector<float> mask = imageOnGrid(file, "mask", folder, *file.mask, study, true);
    levels.mask.resize(voxels);
    for (std::size_t v = 0; v < voxels; ++v) levels.mask[v] = mask[v] != 0.0f ? 1 : 0;
  } else if (file.baselineImage) {
    levels.mask = automaticMask(levels.baseline.data(), study.grid.dimX(), study.grid.dimY(),
                                study.grid.dimZ());
    levels.automaticMask = true;
  } else {
    levels.mask.assign(voxels, 1);
  }
  levels.maskVoxels = std::count(levels.mask.begin(), levels.mask.end(), std::uint8_t{1});
  if (levels.maskVoxels == 0) {
    file.fail(file.mask ? "mask" : "baseline",
              file.mask ? "expected a mask with non-zero voxels inside the grid, found none"
                        : "the automatic mask of this baseline on the grid is empty; give a "
                          "mask (mask = \"MASK.nii.gz\")");
  }

  // The physiological weights, mean 1 over the mask.
  std::vector<double> weight(voxels, 1.0);
  if (file.physio && file.physio->map) {
    const std::vector<float> map =
        imageOnGrid(file, "noise.physio.map", folder, *file.physio->map, study, true);
    double sum = 0.0;
    for (std::size_t v = 0; v < voxels; ++v) {
      if (!(map[v] >= 0.0f && std::isfinite(map[v]))) {
        file.fail("noise.physio.map",
                  "expected weights of 0 or more, found a negative or "
                  "non-finite one");
      }
      if (levels.mask[v]) sum += map[v];
    }
    if (!(sum > 0.0)) {
      file.fail("noise.physio.map", "expected some positive weight inside the mask, found none");
    }
    const double mean = sum / static_cast<double>(levels.maskVoxels);
    for (std::size_t v = 0; v < voxels; ++v) weight[v] = map[v] / mean;
  }

  double baselineSum = 0.0;
  for (std::size_t v = 0; v < voxels; ++v) {
    if (levels.mask[v]) baselineSum += levels.baseline[v];
  }
  levels.meanBaselineInMask = baselineSum / static_cast<double>(levels.maskVoxels);
  const double thermal = file.snr ? levels.meanBaselineInMask / *file.snr : 0.0;
  levels.thermalSd = static_cast<float>(thermal);
  levels.magnitude = file.magnitude.value_or(false);
  const double share = study.noise.physio ? study.noise.physio->share : 0.0;
  const double thermalVariance = static_cast<double>(levels.thermalSd) * levels.thermalSd;

  const std::vector<double> levelMap = levelImage(file, folder, study, levels.mask);
  levels.fluctuationSd.assign(voxels, 0.0f);
  levels.physioSd.assign(voxels, 0.0f);
  levels.expectedTsnr.assign(voxels, 0.0f);
  std::int64_t thermalOnly = 0;
  for (std::size_t v = 0; v < voxels; ++v) {
    if (levels.mask[v]) {
      const double noiseSd = file.noiseSdImage ? levelMap[v] : file.noiseSd;
      double budget = noiseSd * noiseSd;
      double rest = budget;
      if (file.tsnr || file.tsnrImage) {
        const double tsnr = file.tsnr ? *file.tsnr : levelMap[v];
        const double sd = std::max(0.0, static_cast<double>(levels.baseline[v])) / tsnr;
        budget = sd * sd;
        rest = budget - thermalVariance;
      }
      if (rest < 0.0) {
        ++thermalOnly;
      } else {
        const double physio = std::min(share * weight[v] * budget, rest);
        levels.physioSd[v] = static_cast<float>(std::sqrt(physio));
        levels.fluctuationSd[v] = static_cast<float>(std::sqrt(rest - physio));
      }
    }
    const double f = levels.fluctuationSd[v], p = levels.physioSd[v];
    const double sd = std::sqrt(f * f + p * p + thermalVariance);
    if (sd > 0.0) levels.expectedTsnr[v] = static_cast<float>(levels.baseline[v] / sd);
  }
  levels.thermalOnlyShare =
      static_cast<double>(thermalOnly) / static_cast<double>(levels.maskVoxels);
  return levels;
}

}  // namespace tolvane::study
