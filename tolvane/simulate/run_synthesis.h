// One run's data and the truth behind it.
//
// The truth is the same for every run of a study: the label of the region that covers
// each grid voxel, and for each condition the amplitude the engine adds there. With
// signal "add", overlapping regions add up (amplitudes summed in the order of the
// regions); with "replace" each region overwrites the voxels it covers, so the last
// region listed wins, in the labels as in the amplitudes.
// An amplitude in percent is baseline * percent / 100 (in double, rounded to float),
// with an image baseline that voxel's own baseline.
//
// The data of a run, by generator and signal:
//   philox: the counter field of (seed, run place), then the effects added, or the
//           region voxels rewritten as (e + baseline) + sd * g with their own deviates;
//   ran1:   the plug-in's noise pass from the run's ran1 seed, then the effects added,
//           or, for "replace", the plug-in's signal passes region by region, each
//           drawing fresh deviates from the same stream (the plug-in's own run).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/effect_passes.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

struct Truth {
  std::vector<std::int32_t> labels;            // per grid voxel; 0 outside every region
  std::vector<std::vector<float>> amplitudes;  // per condition, per grid voxel
  engine::VoxelEffects effects;            // the covered voxels and their rows
};

Truth studyTruth(const study::Study& study);

// The work space, in bytes, that each thread holds while it makes a run's spatially
// correlated noise: Gaussian smoothing's blocks of slices, or the mixed autocorrelation's
// periodic box; 0 without either.
std::uint64_t spatialWorkBytes(const study::Study& study);

// Values in the grid layout of simulation/synthesis.h (time fastest). With philox the
// noise field is split among `threads` threads (the values do not depend on how);
// ran1's single stream is drawn by one.
std::unique_ptr<float[]> synthesiseRun(const study::Study& study, const Truth& truth, int runPlace,
                                       int threads = 1);

}  // namespace tolvane::simulate
