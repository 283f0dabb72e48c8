// tolvane fit-noise: measure a run's noise and write the study keys that reproduce it.
//
//   tolvane fit-noise BOLD.nii.gz [--mask MASK.nii.gz] [--events EVENTS.tsv]
//                     [--highpass SECONDS] [--jobs N] --output DIR
//
// Reads a 4-D NIfTI run (any real storage type, scaling applied, any orientation); the
// mask is the given image's non-zero voxels (on the run's grid) or the automatic mask
// of the run's mean image (tolvane/study/automatic_mask.h). Writes into DIR:
//   noise.toml       the study keys (see fit_outputs.h);
//   mean.nii.gz      the mean image, the fitted baseline (for magnitude data,
//                    baseline.nii.gz: the same with 0 outside the mask);
//   mask.nii.gz      the mask, 1 inside;
//   noise_fit.json   every estimate with its uncertainty and method.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "tolvane/analysis/progress.h"
#include "tolvane/fit_noise/noise_fit.h"

namespace tolvane::fit_noise {

struct FitNoiseRequest {
  std::filesystem::path bold;
  std::optional<std::filesystem::path> mask;
  std::optional<std::filesystem::path> events;
  std::filesystem::path output;
  double highpassSeconds = 128.0;  // the drift's cutoff, simulate's default
  unsigned threads = 0;            // 0: one per core
};

struct FitNoiseRun {
  formats::MapGeometry geometry;
  int volumes = 0;
  double trSeconds = 0.0;
  bool automaticMask = false;
  std::vector<std::string> columns;
  NoiseFit fit;
  std::vector<std::filesystem::path> files;
};

// The fit alone, on a series already read (which it consumes), for tests and benchmarks.
FitNoiseRun fitSeries(formats::FloatSeries& series, const std::vector<std::uint8_t>* givenMask,
                      const FitNoiseRequest& request, const analysis::Progress& progress);

// Reads, fits and writes. Throws InputError for what cannot be fitted (the message
// names the file and what it needs) and OutputError for what cannot be written.
FitNoiseRun runFitNoise(const FitNoiseRequest& request, const analysis::Progress& progress);

}  // namespace tolvane::fit_noise
