// The head motion's confounds table; see confounds_table.h.
#include "tolvane/simulate/confounds_table.h"

#include <nlohmann/json.hpp>

#include "formats/text_parsing.h"

namespace tolvane::simulate {

std::string confoundsTableText(const std::vector<engine::RigidMotion>& trajectory) {
  std::string text = "trans_x\ttrans_y\ttrans_z\trot_x\trot_y\trot_z\tframewise_displacement\n";
  for (std::size_t t = 0; t < trajectory.size(); ++t) {
    const engine::RigidMotion& motion = trajectory[t];
    for (const double value : motion.translationMm) text += formats::shortestText(value) + '\t';
    for (const double value : motion.rotationRadians) text += formats::shortestText(value) + '\t';
    text += t == 0 ? std::string("n/a")
                   : formats::shortestText(engine::framewiseDisplacement(trajectory[t - 1], motion));
    text += '\n';
  }
  return text;
}

std::string confoundsSidecarText(const study::Study& study) {
  using Json = nlohmann::ordered_json;
  const study::HeadMotion& motion = *study.motion;
  Json json;
  const char* axes[3] = {"x", "y", "z"};
  for (const char* axis : axes) {
    json[std::string("trans_") + axis] = {
        {"Description", std::string("True translation of the head along the world ") + axis +
                            " axis, from its position at rest"},
        {"Units", "mm"}};
  }
  for (const char* axis : axes) {
    json[std::string("rot_") + axis] = {
        {"Description", std::string("True rotation of the head about the world ") + axis +
                            " axis through the origin; R = Rz Ry Rx"},
        {"Units", "rad"}};
  }
  json["framewise_displacement"] = {
      {"Description", "Framewise displacement (Power et al. 2012): sum of the absolute changes "
                      "of the six parameters from the previous volume, rotations as arcs on a "
                      "sphere of 50 mm"},
      {"Units", "mm"}};
  Json made = {{"Interpolation", motion.interpolation == engine::Interpolation::Trilinear
                                     ? "trilinear"
                                     : "cubic B-spline"}};
  if (motion.trajectoryAsWritten) {
    made["TrajectoryFile"] = *motion.trajectoryAsWritten;
  } else {
    made["WalkStepMillimetres"] = motion.walkMm;
    made["WalkStepRadians"] = motion.walkRadians;
    made["SpikesPerMinute"] = motion.spikeRatePerMinute;
    made["SpikeMillimetres"] = motion.spikeSizeMm;
    made["DriftMillimetresPerMinute"] = motion.driftMmPerMinute;
    made["DriftRadiansPerMinute"] = motion.driftRadiansPerMinute;
  }
  if (motion.taskCondition) {
    const char* names[6] = {"trans_x", "trans_y", "trans_z", "rot_x", "rot_y", "rot_z"};
    Json parameters = Json::array();
    for (std::size_t p = 0; p < 6; ++p) {
      if (motion.taskAxes[p]) parameters.push_back(names[p]);
    }
    made["TaskCorrelated"] = {{"Condition", study.protocol.conditions[*motion.taskCondition].name},
                              {"Correlation", motion.taskR},
                              {"Parameters", parameters}};
  }
  if (study.sliceTiming) made["SliceTiming"] = study.sliceTiming->timesSeconds;
  json["HeadMotion"] = made;
  return json.dump(2) + "\n";
}

}  // namespace tolvane::simulate
