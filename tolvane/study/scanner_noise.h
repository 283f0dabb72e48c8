// Noise that looks like a scanner's: the study keys that set it, their checks, and the
// per-voxel levels a run is made with.
//
// A run's values are
//   value_v(t) = b_v + f_v e_v(t) + p_v q_v(t) + s w_v(t) + drift_v(t) + effects_v(t),
// e the fluctuation noise and q the physiological noise (each of unit variance at every
// voxel), w thermal noise (standard normal, white in space and time), see
// engine/noise_models.h. This file turns the keys into b, f, p and s:
//
//   b  the baseline: the number `baseline`, or the image `baseline` resampled onto the
//      grid trilinearly in world space (formats/conform.h: between the image's voxel
//      centres, in double, 0 outside them) and multiplied by `baseline_scale`.
//   mask  `mask` resampled by nearest neighbour, non-zero inside; without it, with an
//      image baseline, the automatic mask of b (automatic_mask.h); with a number
//      baseline, every voxel.
//   s  thermal sd: (mean of b over the mask) / `noise.snr`; 0 without snr.
//   The temporal budget of a voxel in the mask, V_v: with `noise.tsnr` T,
//      (max(b_v, 0) / T)^2, the variance of everything but the drift, so that the tSNR
//      of a detrended voxel is T; without it, sd^2 (`noise.sd`), to which the thermal
//      noise then adds.
//   p_v^2 = min(F m_v V_v, R_v) and f_v^2 = R_v - p_v^2, F the physiological share
//      (`noise.physio.share`, 0 without physio), m_v the physio map (nearest neighbour,
//      divided by its mean over the mask; 1 without a map) and R_v what the thermal
//      noise leaves of the budget: V_v - s^2 with tsnr, V_v without.
//   Where s^2 > V_v (with tsnr: the darkest voxels) the voxel gets thermal noise only,
//      f_v = p_v = 0; the share of the mask where this happens is reported.
//   Outside the mask f_v = p_v = 0 and the engine adds no drift: thermal noise is all
//   there is.
// Everything is evaluated in double and each level rounded once to float. The expected
// tSNR map is b_v / sqrt(f_v^2 + p_v^2 + s^2) (0 where that sd is 0), before any
// magnitude is taken.
#pragma once

#include <filesystem>
#include <optional>

#include "tolvane/study/study.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

// Whether the file uses any key of this file (otherwise the run is made as before).
bool usesScannerNoise(const StudyFile& file);

// Checks the models of acf, ar/ma and physio and how they combine with the others;
// fills them into `noise`. Throws InputError naming the key and its line.
void checkScannerNoiseModels(const StudyFile& file, const Study& study, NoiseModels& noise);

// The per-voxel levels of the study's grid (above); the grid, frame and noise models
// must be set. Throws InputError naming the key whose file cannot be used.
VoxelLevelMaps resolveVoxelLevels(const StudyFile& file, const std::filesystem::path& folder,
                                  const Study& study);

}  // namespace tolvane::study
