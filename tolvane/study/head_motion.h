// Head motion: the [motion] keys checked, and each run's trajectory, one rigid motion
// per volume (engine/rigid_motion.h gives the parameters' conventions, those of the
// confounds tables: mm and radians). The manual is docs/motion.md.
//
// A drawn trajectory is the sum of three parts, each optional, at volume t of N:
//   walk    w_0 = 0, w_t = w_(t-1) + sigma z_t, six independent standard normal steps z
//           per volume (translations x, y, z then rotations x, y, z), sigma walk_mm for
//           translations and walk_deg (in radians) for rotations;
//   spikes  at each volume, with probability rate_per_min * TR / 60, the head is displaced
//           for that volume alone by size_mm in a direction uniform on the sphere (a
//           jerk and back, the event that scrubbing removes);
//   drift   t * TR / 60 times drift_mm_per_min and drift_deg_per_min, per axis;
//   task    (motion.task) each chosen parameter u gets k p added, p the run's predictor of
//           the named condition, k chosen so that the parameter's correlation with p
//           over the run is r exactly: task-correlated motion.
// The walk starts at rest, so volume 0 shows the head where the truth maps have it.
// The draws come from the run's own Philox sequence (study_random.h): key (seed, run
// place), stream kMotionStream, purpose 0 for the walk (six normals for each volume from
// 1 on) and purpose 1 for spikes (for each volume a uniform, then three normals for the
// direction, drawn whether or not the spike happens, so that each volume's draws stay
// where they are whatever the rate). No other draw of the study moves.
//
// A trajectory file is a tab-separated table with a header row, such as a confounds
// table: its columns trans_x, trans_y, trans_z (mm) and rot_x, rot_y, rot_z (radians),
// wherever they stand among others, one row per volume (rows past the run's volumes
// are not read). `{subject}` and `{run}` in the path make it a file per run.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "engine/rigid_motion.h"
#include "tolvane/study/study.h"

namespace tolvane::study {

constexpr std::uint32_t kMotionWalkPurpose = 0;
constexpr std::uint32_t kMotionSpikePurpose = 1;

// The study's head motion, or none without [motion]; throws InputError naming the key
// (and the file's line for a trajectory file) that cannot be used.
std::optional<HeadMotion> resolveMotion(const StudyFile& file,
                                        const std::filesystem::path& folder, const Study& study);

// The trajectory of run `place`: one motion per volume.
std::vector<engine::RigidMotion> runTrajectory(const Study& study, int place);

// Reads a trajectory file's first `volumes` rows; throws InputError naming the file and
// the line.
std::vector<engine::RigidMotion> readTrajectoryFile(const std::filesystem::path& path,
                                                    int volumes);

}  // namespace tolvane::study
