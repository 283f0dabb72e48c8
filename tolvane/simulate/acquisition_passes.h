// The passes of a run that model its acquisition: effects sampled at each slice's time
// (slice timing), and a head that moves inside the scanner's fixed grid. The manual is
// docs/motion.md.
//
// The object moves, the grid does not. A moving run is made in two frames:
//   the head's:    baseline, fluctuation noise (noise.sd, or the share tsnr gives it),
//                  physiological noise and the effects, as for a still head at rest;
//   the scanner's: each volume t of that is resampled (engine/rigid_resampling.h) to
//                  show the head at its position T_t (head_motion.h); then thermal noise,
//                  drift and the magnitude, which belong to the receiver and the
//                  scanner, are added to the grid as they are without motion.
// The same steps in the same order as without motion, but for the resampling between
// them; so a volume where the head is at rest (all six parameters 0) is the still
// run's values up to the order of additions (the effects come before thermal noise and
// drift here).
#pragma once

#include "engine/counter_noise.h"
#include "engine/effect_passes.h"
#include "engine/parallel_for.h"
#include "tolvane/simulate/run_synthesis.h"

namespace tolvane::simulate {

// value <- value + e[t] for every voxel with effects: e from the run's predictor sets
// (one per region with hrf keys), or, with slice timing (which the study allows only
// with the canonical response), from the predictors at the voxel's slice time
// (slice_timing.h); then the networks' fluctuations, which belong to the head's tissue
// as the effects do.
void addRunEffects(const study::Study& study, const Truth& truth, int place,
                   const simulation::VtcGrid& grid, const engine::PredictorSets& predictors);

// The head's frame in `grid` (noise without thermal noise and drift) becomes the run:
// effects added, volumes moved, then the scanner's parts added.
void moveHeadInScanner(const study::Study& study, const Truth& truth, int place,
                       const simulation::VtcGrid& grid, const engine::PredictorSets& predictors,
                       const engine::FieldKey& key, const engine::ParallelFor& parallel);

}  // namespace tolvane::simulate
