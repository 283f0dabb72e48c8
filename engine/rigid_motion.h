// Rigid motions of the head in world coordinates: the six parameters, the affine they
// make, the sampling map that shows the moved head on the scanner's fixed grid, and the
// framewise displacement between two positions.
//
// Conventions, stated once (those of the confounds tables that realignment tools write):
// - Translations (trans_x, trans_y, trans_z) are in millimetres along the world axes;
//   rotations (rot_x, rot_y, rot_z) in radians about the world axes through the world
//   origin (in a grid placed in a template's space, near the brain's centre).
// - The moved head's point p is at T(p) = R p + t, with R = Rz Ry Rx: the rotation about x
//   first, then about y, then about z, each right-handed, e.g.
//   Rx = [[1, 0, 0], [0, cos a, -sin a], [0, sin a, cos a]].
// - All six zero is the head at rest, the position that the truth maps describe.
// Everything is in double, in a fixed order.
#pragma once

#include <array>

#include "formats/affine.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

struct RigidMotion {
  std::array<double, 3> translationMm{};
  std::array<double, 3> rotationRadians{};

  bool still() const;  // all six exactly zero
};

// T as an affine of world coordinates.
formats::Affine motionAffine(const RigidMotion& motion);

// The map from grid voxels to the voxel coordinates of the head at rest that they see
// when the head has moved by `motion`: A^-1 T^-1 A, A the grid's voxel-to-world
// transform (rigid_resampling.h reads it).
formats::Affine samplingMap(const formats::Affine& voxelToWorld, const RigidMotion& motion);

// Power et al. (2012)'s framewise displacement from `previous` to `current`: the sum of
// the six parameters' absolute changes, the rotations' as arc lengths on a sphere of
// `radiusMm` (radians times the radius).
constexpr double kFramewiseRadiusMm = 50.0;
double framewiseDisplacement(const RigidMotion& previous, const RigidMotion& current,
                             double radiusMm = kFramewiseRadiusMm);

}  // namespace tolvane::engine

#pragma GCC visibility pop
