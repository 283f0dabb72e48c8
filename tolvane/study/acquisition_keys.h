// The study keys of head motion ([motion]) and of slice timing (slice_timing,
// multiband) as written, before they are checked (head_motion.h, slice_timing.h) and
// what they resolve to in a study. The manual is docs/motion.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/rigid_motion.h"
#include "engine/rigid_resampling.h"

namespace tolvane::study {

// [motion]: drawn trajectories (any of walk, spikes and drift) or a trajectory file.
struct MotionEntry {
  std::optional<double> walkMm, walkDeg;  // sd of each volume's step
  std::optional<double> spikeRatePerMinute, spikeSizeMm;
  std::optional<std::array<double, 3>> driftMmPerMinute, driftDegPerMinute;
  std::optional<std::string> trajectory;  // may hold {subject} and {run}
  std::string interpolation = "trilinear";
  // motion.task: motion correlated with a condition's predictor.
  std::optional<std::string> taskCondition;
  double taskR = 0.0;
  std::optional<std::vector<std::string>> taskAxes;
};

// slice_timing: an order's name or the slice times in seconds; multiband: the factor.
struct SliceTimingEntry {
  std::optional<std::string> order;
  std::optional<std::vector<double>> timesSeconds;
  std::int64_t multiband = 1;
};

// A study's head motion, checked: how each run's trajectory is made.
struct HeadMotion {
  double walkMm = 0.0;        // sd per volume of each translation's step
  double walkRadians = 0.0;   // sd per volume of each rotation's step
  double spikeRatePerMinute = 0.0;
  double spikeSizeMm = 0.0;
  std::array<double, 3> driftMmPerMinute{}, driftRadiansPerMinute{};
  // Read from files instead: one trajectory per run place (or one that every run shares).
  std::vector<std::vector<engine::RigidMotion>> fileTrajectories;
  std::optional<std::string> trajectoryAsWritten;
  engine::Interpolation interpolation = engine::Interpolation::Trilinear;
  // Task-correlated motion: the condition (index into the study's), the correlation, and
  // the parameters it applies to (trans_x .. rot_z).
  std::optional<std::size_t> taskCondition;
  double taskR = 0.0;
  std::array<bool, 6> taskAxes{};
};

// The time at which each slice (grid z) is acquired, from the start of its volume.
struct SliceTiming {
  std::string orderAsWritten;         // "ascending", ..., or "list"
  std::vector<double> timesSeconds;   // one per slice along the grid's third axis
  int multiband = 1;
};

}  // namespace tolvane::study
