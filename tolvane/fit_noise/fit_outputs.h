// What fit-noise writes and prints.
//
// noise.toml holds study keys, with paths relative to its own folder:
//   tr, volumes;
//   baseline = "mean.nii.gz", mask = "mask.nii.gz"; for magnitude data the baseline is
//     baseline.nii.gz instead, the mean image with 0 outside the mask: there the mean
//     is the Rayleigh mean of the noise, sigma sqrt(pi / 2), which a magnitude
//     simulation adds by itself;
//   grid.anatomical = "mean.nii.gz", grid.box = [0, X, 0, Y, 0, Z], grid.resolution = 1:
//     the run's own grid (dimensions, voxel size, orientation and position), since a
//     study's grid is its anatomical's voxels at resolution 1 over the whole box;
//   [noise] sd = "noise_sd.nii.gz", the smoothed map of the noise sd (noise_level_map.h),
//     with the tSNR over the mask in a comment; snr (and magnitude = true for magnitude
//     data) when the background gives a thermal level; ar, and ma when ARMA(1,1) fits
//     better, or spectrum when no AR model reproduces the autocorrelation (spectrum_fit.h);
//     acf = { a, b_mm, c_mm } with the Gaussian-equivalent smoothness_mm in a comment;
//     drift = { sd,
//     cutoff_s }; physio = { share, cardiac_hz, respiratory_hz } when the TR tells the
//     rates apart and the share is at least 1 %.
// Estimates that could not be made are left out, with the reason in a comment.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "formats/staged_file_set.h"
#include "tolvane/fit_noise/fit_noise_command.h"

namespace tolvane::fit_noise {

inline constexpr const char* kNoiseKeysFile = "noise.toml";
inline constexpr const char* kMeanImageFile = "mean.nii.gz";
inline constexpr const char* kMaskFile = "mask.nii.gz";
inline constexpr const char* kMagnitudeBaselineFile = "baseline.nii.gz";
inline constexpr const char* kEstimatesFile = "noise_fit.json";
inline constexpr const char* kNoiseSdFile = "noise_sd.nii.gz";

std::string noiseToml(const FitNoiseRun& run, const FitNoiseRequest& request);
std::string estimatesJson(const FitNoiseRun& run, const FitNoiseRequest& request);
void printEstimateTable(const FitNoiseRun& run, std::ostream& out);

// Writes the files into `staged` and moves them into its folder together, so that a
// failure leaves the folder's earlier fit whole (never a mean and mask without the
// noise.toml that names them); returns their paths.
std::vector<std::filesystem::path> writeFitOutputs(const FitNoiseRun& run,
                                                   const FitNoiseRequest& request,
                                                   formats::StagedFileSet& staged);

}  // namespace tolvane::fit_noise
