// The top-level study key noise_from = "DIR/noise.toml": the keys that tolvane
// fit-noise wrote underlie the study's own.
//
// Rules, applied to the parsed document before its keys are read:
//   - every top-level key of the fitted file that the study does not set is taken;
//   - [noise] is merged key by key, the study's keys winning; a study key also removes
//     the fitted keys it cannot be combined with: sd and tsnr, smoothness_mm and acf,
//     model or rho and ar or ma (so a study can ask for white noise of its own sd on
//     the fitted grid);
//   - [grid] is taken whole, from the study when it has one, else from the fit: a box
//     of one image with the anatomical of another would be a different grid;
//   - the fitted file's paths (baseline, mask, grid.anatomical) are relative to its own
//     folder and are made absolute, since the study's are relative to the study's.
// A relative noise_from is relative to the study file's folder. The fitted file may not
// itself have noise_from.
#pragma once

#include <toml++/toml.h>

#include <filesystem>

namespace tolvane::study {

// Throws InputError naming the study file and the fitted one.
void mergeFittedNoise(toml::table& document, const std::filesystem::path& studyFile);

}  // namespace tolvane::study
