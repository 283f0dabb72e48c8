// Affine transforms of 3-D space, the one home of their arithmetic: composing,
// inverting, transforming points, and the voxel sizes a voxel-to-world transform implies.
//
// Conventions, stated once: an affine is a 4 x 4 matrix whose last row is (0 0 0 1);
// only the first three rows are stored, m[row][column]. It maps a point p to
// M p + t, M the 3 x 3 part and t the fourth column. For a voxel-to-world transform,
// column c of M is one step along voxel axis c in world millimetres. Everything is in
// double, in a fixed order of operations, so that results are the same on every run.
#pragma once

#include <array>

namespace tolvane::formats {

struct Affine {
  double m[3][4];

  static Affine identity() { return {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}}}; }
};

using Point3 = std::array<double, 3>;

// The affine that applies `first`, then `second`.
Affine compose(const Affine& second, const Affine& first);

// The determinant of the 3 x 3 part, by cofactors along the first row.
double determinant(const Affine& a);

// Every entry finite and a finite, non-zero determinant: a transform with an inverse.
bool isInvertible(const Affine& a);

// The inverse by cofactors; `a` must be invertible (see isInvertible).
Affine inverse(const Affine& a);

// M p + t, each row summed as m[r][0] p0 + m[r][1] p1 + m[r][2] p2 + t_r. Inline: it
// runs once per voxel when an image is resampled.
inline Point3 transformPoint(const Affine& a, const Point3& p) {
  Point3 out{};
  for (int r = 0; r < 3; ++r) {
    out[r] = a.m[r][0] * p[0] + a.m[r][1] * p[1] + a.m[r][2] * p[2] + a.m[r][3];
  }
  return out;
}

// M v: a step between two points, without the shift.
inline Point3 transformVector(const Affine& a, const Point3& v) {
  Point3 out{};
  for (int r = 0; r < 3; ++r) out[r] = a.m[r][0] * v[0] + a.m[r][1] * v[1] + a.m[r][2] * v[2];
  return out;
}

// The length of column c of M: the size of a voxel along axis c, in world units.
double columnLength(const Affine& a, int column);
Point3 voxelSizes(const Affine& a);

// Two images lie on the same grid in world space when every entry of their voxel-to-
// world transforms agrees within this many millimetres: far below any voxel, and far
// above the rounding of transforms stored in single precision or as quaternions.
constexpr double kSamePlacementToleranceMm = 1e-3;

bool samePlacement(const Affine& a, const Affine& b);

}  // namespace tolvane::formats
