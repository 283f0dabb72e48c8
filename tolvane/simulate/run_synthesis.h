// One run's data and the truth behind it.
//
// The truth of a run: the label of each grid voxel, and for each condition the
// amplitude the engine adds there (the same in every run unless effects are drawn per
// subject and run, or given as peaks of designs that differ). Labels 1 .. R are the R
// regions in the study's order. With signal "add", overlapping regions add up
// (amplitudes summed in the order of the regions), and a voxel that several regions
// share gets a label of its own, one per combination of regions ("A+B"), numbered from
// R + 1 in the order of each combination's first voxel: every voxel of the image has
// exactly one label, and the table's count of each label is the image's. With
// "replace" each region overwrites the voxels it covers, so the last region listed
// wins, in the labels as in the amplitudes. The networks' fluctuations
// (network_fluctuations.h) are added after the effects, before a magnitude image is
// formed. A region that jitters is moved by the
// subject's offset (study.h); voxels moved out of the grid are left out.
// An amplitude in percent is baseline * percent / 100 (in double, rounded to float),
// with an image baseline that voxel's own baseline. Regions with responses of their own
// (response_truth.h) add their own predictors, scaled by their amplitudes.
//
// The data of a run, by generator and signal:
//   philox: the counter field of (seed, run place), then the effects added, or the
//           region voxels rewritten as (e + baseline) + sd * g with their own deviates;
//   ran1:   the plug-in's noise pass from the run's ran1 seed, then the effects added,
//           or, for "replace", the plug-in's signal passes region by region, each
//           drawing fresh deviates from the same stream (the plug-in's own run).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/effect_passes.h"
#include "tolvane/simulate/response_truth.h"
#include "tolvane/simulate/network_fluctuations.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

// A label of the truth image: one region, or the regions that share its voxels.
struct TruthLabel {
  std::string name;                  // the region's, or theirs joined by "+"
  std::vector<std::size_t> regions;  // indices into the study's regions, ascending
  std::size_t voxelCount = 0;        // voxels of the image with this label
};

struct Truth {
  std::vector<std::int32_t> labels;            // per grid voxel; 0 outside every region
  std::vector<TruthLabel> labelTable;          // label k is labelTable[k - 1]
  std::vector<std::vector<float>> amplitudes;  // per condition, per grid voxel
  std::vector<std::vector<float>> regionAmplitudes;  // per region, per condition
  std::vector<std::array<int, 3>> regionOffsets;     // per region: the subject's, in grid voxels
  engine::VoxelEffects effects;            // the covered voxels and their rows
  // With hrf keys: the regions' own responses, which the rows of `effects` name as
  // their predictor sets (one row per voxel and region covering it, or with "replace"
  // the last region's), and each voxel's time to peak in seconds (0 outside every
  // region; NaN where regions whose responses peak at different times overlap).
  std::optional<RegionResponses> responses;
  std::vector<float> peakLatency;
  NetworkRunTruth networks;                // the networks' node courses (none: empty)
};

Truth runTruth(const study::Study& study, int runPlace);
// The population's truth: every region where the study file puts it, with its mean
// effect (study.h: meanAmplitudes).
Truth groupTruth(const study::Study& study);

// The work space, in bytes, that each thread holds while it makes a run's spatially
// correlated noise: Gaussian smoothing's blocks of slices, or the mixed autocorrelation's
// periodic box; or, when larger, what it holds to move a head's volumes; 0 without any.
std::uint64_t spatialWorkBytes(const study::Study& study);

// Values in the grid layout of simulation/synthesis.h (time fastest). With philox the
// noise field is split among `threads` threads (the values do not depend on how);
// ran1's single stream is drawn by one. `storage`, when given, is the values of an
// earlier run of the same study, which are all overwritten: a job that reuses them
// pays the first touch of its pages once, not once per run.
std::unique_ptr<float[]> synthesiseRun(const study::Study& study, const Truth& truth, int runPlace,
                                       int threads = 1, std::unique_ptr<float[]> storage = {});

}  // namespace tolvane::simulate
