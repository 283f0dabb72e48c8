// The reference analysis of one run: a general linear model fitted to every voxel, with
// effect, variance, t and p maps per condition and per contrast.
//
// The design is that of glm_design.h (conditions, high-pass cosines, constant) and the
// fit that of least_squares.h. For a contrast c (weights over the design's columns):
//   effect   = c^T beta
//   variance = sigma^2 c^T (X^T X)^-1 c,   sigma^2 = residual sum of squares / (N - P)
//   t        = effect / sqrt(variance),    N - P degrees of freedom
//   p        = two-sided probability of |T| >= |t|, from the module's t_to_p
// Voxels whose time course the design fits exactly (constant ones, such as zeros
// outside the head) have variance 0 and no t or p: both are written as NaN.
//
// The fit works inside the brain mask (analysis_mask.h; by default the dataset's truth
// mask, else the whole grid): the AR(1) coefficient of prewhitening is pooled over the
// mask's voxels only, and every map is NaN outside it (not analysed). The sidecars
// record the mask ("Mask", "MaskVoxels") and the residuals' smoothness (smoothness.h:
// "SmoothnessFWHMmm" per axis, "Resels", "SearchVolumeVoxels"), which cluster inference
// by random field theory needs (random_field.h).
//
// Rest conditions (design/rest_conditions.h: by default those named rest, baseline,
// fixation or off, in any case; a condition that a contrast names is kept) are left out
// of the design, so that each condition's effect is its difference from rest, the
// implicit baseline. When the conditions left still cover the whole run, each one's
// own effect is measured against the constant and is poorly determined: the summary
// warns, naming the condition to leave out.
//
// Output, for input SUB_bold.nii.gz (BIDS entities kept, "_bold" dropped; a name that is
// not BIDS keeps its stem): SUB_contrast-LABEL_stat-{effect,variance,t,p}_statmap.nii.gz,
// each with a JSON sidecar stating the contrast's expression and weights, and
// SUB_design.tsv, the design matrix. Labels follow contrasts.h. A contrast asked for
// twice, or a condition asked for by name, gives its maps once.
//
// The output folder and the contrasts (against the events' conditions) are checked
// before the series is read. The maps are written into a staging folder and moved into
// the output folder only when the whole set is written (formats/staged_file_set.h): a
// failure, such as a full disk, leaves the maps the folder held before, or none.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "formats/nifti/nifti_maps.h"
#include "tolvane/analysis/analysis_mask.h"
#include "tolvane/analysis/contrasts.h"
#include "tolvane/analysis/glm_design.h"
#include "tolvane/analysis/least_squares.h"
#include "tolvane/analysis/progress.h"
#include "tolvane/analysis/smoothness.h"

namespace tolvane::analysis {

enum class Prewhitening { None, Ar1 };

struct GlmRequest {
  std::filesystem::path bold;
  // When absent, a BIDS BOLD path ..._bold.nii[.gz] leads to its ..._events.tsv.
  std::optional<std::filesystem::path> events;
  std::filesystem::path outputFolder;
  std::string hrf = kTwoGammaHrfName;
  double highpassSeconds = kDefaultHighpassSeconds;  // 0: no high-pass set
  Prewhitening prewhiten = Prewhitening::None;
  std::vector<std::string> contrasts;
  // Rest conditions by name; absent: the default rule; empty: none.
  std::optional<std::vector<std::string>> rest;
  // A confounds table whose columns join the design (confound_regressors.h); empty
  // columns: the six motion parameters.
  std::optional<std::filesystem::path> confounds;
  std::vector<std::string> confoundColumns;
  MaskChoice mask;
  int gzipLevel = 1;
};

struct GlmSummary {
  std::filesystem::path eventsFile;
  int volumes = 0;
  double trSeconds = 0.0;
  std::vector<std::string> columnNames;
  int degreesOfFreedom = 0;
  double ar1 = 0.0;  // the prewhitening coefficient used; 0 without prewhitening
  AnalysisMask mask;
  Smoothness smoothness;  // of the residuals, inside the mask
  std::vector<std::filesystem::path> files;
  std::vector<std::string> restConditions;  // left out of the design
  std::vector<std::string> warnings;        // events outside the run, collinearity
  double readSeconds = 0.0, fitSeconds = 0.0, writeSeconds = 0.0;
};

// Throws InputError for input that cannot be analysed (messages name the file and what
// was expected) and OutputError when a result cannot be written.
GlmSummary runGlm(const GlmRequest& request, const Progress& progress);

// The pieces of runGlm, for tests and the benchmark.

struct ContrastMaps {
  Contrast contrast;
  std::vector<float> effect, variance, t, p;
};

struct GlmFit {
  LeastSquaresModel model;
  std::vector<ContrastMaps> maps;
  Smoothness smoothness;  // of the (whitened) residuals, inside the mask
};

// Every condition's contrast, then those of `expressions`, with distinct labels.
std::vector<Contrast> glmContrasts(const GlmDesign& design,
                                   const std::vector<std::string>& expressions,
                                   const std::filesystem::path& eventsFile);

// Fits the series (volume-major, as read) and computes every contrast's maps, inside
// `mask` (NaN outside; the AR(1) coefficient pooled over it). Throws InputError naming
// `eventsFile` when the design is singular.
GlmFit fitGlm(const formats::FloatSeries& bold, const GlmDesign& design,
              const std::vector<Contrast>& contrasts, Prewhitening prewhiten,
              const std::filesystem::path& eventsFile, const AnalysisMask& mask = {});

// "sub-01_task-x_run-1" for ".../sub-01_task-x_run-1_bold.nii.gz".
std::string outputPrefix(const std::filesystem::path& bold);
// The events file beside a BIDS BOLD series; InputError when the name is not BIDS.
std::filesystem::path eventsFileOf(const std::filesystem::path& bold);

}  // namespace tolvane::analysis
