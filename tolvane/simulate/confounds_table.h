// The truth of a run's head motion as a confounds table, in the form that denoising
// tools read: tab-separated, a header row, one row per volume, the columns
//   trans_x trans_y trans_z   translations in mm
//   rot_x rot_y rot_z         rotations in radians (engine/rigid_motion.h)
//   framewise_displacement    Power et al. (2012): the sum of the six parameters'
//                             absolute changes from the previous volume, rotations as
//                             arcs on a 50 mm sphere; "n/a" for the first volume
// each number in its shortest round-trip form; and its JSON sidecar, which describes
// each column and how the motion was made.
#pragma once

#include <string>
#include <vector>

#include "engine/rigid_motion.h"
#include "tolvane/study/study.h"

namespace tolvane::simulate {

std::string confoundsTableText(const std::vector<engine::RigidMotion>& trajectory);
std::string confoundsSidecarText(const study::Study& study);

}  // namespace tolvane::simulate
