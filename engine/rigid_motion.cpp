// Rigid motions; conventions in rigid_motion.h.
#include "engine/rigid_motion.h"

#include <cmath>

namespace tolvane::engine {

bool RigidMotion::still() const {
  for (int axis = 0; axis < 3; ++axis) {
    if (translationMm[static_cast<std::size_t>(axis)] != 0.0 ||
        rotationRadians[static_cast<std::size_t>(axis)] != 0.0) {
      return false;
    }
  }
  return true;
}

formats::Affine motionAffine(const RigidMotion& motion) {
  const double a = motion.rotationRadians[0], b = motion.rotationRadians[1],
               c = motion.rotationRadians[2];
  const formats::Affine rx{{{1, 0, 0, 0}, {0, std::cos(a), -std::sin(a), 0},
                            {0, std::sin(a), std::cos(a), 0}}};
  const formats::Affine ry{{{std::cos(b), 0, std::sin(b), 0}, {0, 1, 0, 0},
                            {-std::sin(b), 0, std::cos(b), 0}}};
  const formats::Affine rz{{{std::cos(c), -std::sin(c), 0, 0}, {std::sin(c), std::cos(c), 0, 0},
                            {0, 0, 1, 0}}};
  formats::Affine moved = formats::compose(rz, formats::compose(ry, rx));
  for (int r = 0; r < 3; ++r) moved.m[r][3] = motion.translationMm[static_cast<std::size_t>(r)];
  return moved;
}

formats::Affine samplingMap(const formats::Affine& voxelToWorld, const RigidMotion& motion) {
  const formats::Affine back = formats::inverse(motionAffine(motion));
  return formats::compose(formats::inverse(voxelToWorld),
                          formats::compose(back, voxelToWorld));
}

double framewiseDisplacement(const RigidMotion& previous, const RigidMotion& current,
                             double radiusMm) {
  double sum = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    sum += std::fabs(current.translationMm[axis] - previous.translationMm[axis]);
  }
  for (std::size_t axis = 0; axis < 3; ++axis) {
    sum += radiusMm * std::fabs(current.rotationRadians[axis] - previous.rotationRadians[axis]);
  }
  return sum;
}

}  // namespace tolvane::engine
