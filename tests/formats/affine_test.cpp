// Affine arithmetic, judged by construction: transforms built from a rotation, a
// reflection, voxel sizes and a shift whose determinant, inverse and column lengths are
// known without the code under test.
#include "formats/affine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tolvane::formats;

namespace {

// Voxels of 2 x 3 x 4 mm, turned by 30 degrees about z, the y axis flipped, shifted to
// (-60, 70, -80): determinant -24 and column lengths 2, 3, 4.
Affine obliqueVoxelToWorld() {
  const double c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
  return {{{2 * c, 3 * s, 0, -60}, {2 * s, -3 * c, 0, 70}, {0, 0, 4, -80}}};
}

// Entries of a few and a few hundred millimetres in double: 1e-12 is thousands of
// times their rounding after one inversion and one product.
constexpr double kRoundingTolerance = 1e-12;

}  // namespace

TEST(Affine, DeterminantInverseAndSizesOfAnObliqueReflectedTransform) {
  const Affine a = obliqueVoxelToWorld();
  EXPECT_NEAR(determinant(a), -24.0, kRoundingTolerance);
  EXPECT_TRUE(isInvertible(a));
  const Point3 sizes = voxelSizes(a);
  EXPECT_NEAR(sizes[0], 2.0, kRoundingTolerance);
  EXPECT_NEAR(sizes[1], 3.0, kRoundingTolerance);
  EXPECT_NEAR(sizes[2], 4.0, kRoundingTolerance);

  // The inverse undone by the transform, in either order, is the identity.
  const Affine id = Affine::identity();
  for (const Affine& product : {compose(a, inverse(a)), compose(inverse(a), a)}) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 4; ++c) EXPECT_NEAR(product.m[r][c], id.m[r][c], kRoundingTolerance);
    }
  }
  // A world point goes back to the voxel it came from.
  const Point3 voxel = transformPoint(inverse(a), transformPoint(a, {10.0, -4.5, 7.25}));
  EXPECT_NEAR(voxel[0], 10.0, kRoundingTolerance);
  EXPECT_NEAR(voxel[1], -4.5, kRoundingTolerance);
  EXPECT_NEAR(voxel[2], 7.25, kRoundingTolerance);
}

TEST(Affine, ComposeAppliesTheFirstTransformFirstAndOnlyPointsTakeTheShift) {
  const Affine scale{{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}};
  const Affine shift{{{1, 0, 0, 5}, {0, 1, 0, 6}, {0, 0, 1, 7}}};
  // Shift then scale: 2 (p + t); scale then shift: 2 p + t. Exact in binary.
  EXPECT_EQ(transformPoint(compose(scale, shift), {1, 1, 1}), (Point3{12, 14, 16}));
  EXPECT_EQ(transformPoint(compose(shift, scale), {1, 1, 1}), (Point3{7, 8, 9}));
  // A step between points does not move with the shift.
  EXPECT_EQ(transformVector(compose(shift, scale), {1, 1, 1}), (Point3{2, 2, 2}));
  // A diagonal transform of powers of two inverts exactly.
  const Affine back = inverse(compose(scale, shift));
  EXPECT_EQ(transformPoint(back, {12, 14, 16}), (Point3{1, 1, 1}));
}

TEST(Affine, SingularOrNonFiniteTransformsHaveNoInverse) {
  Affine flat = obliqueVoxelToWorld();
  for (int r = 0; r < 3; ++r) flat.m[r][2] = flat.m[r][0] + flat.m[r][1];  // a dependent column
  EXPECT_FALSE(isInvertible(flat));
  Affine unknown = obliqueVoxelToWorld();
  unknown.m[1][3] = std::numeric_limits<double>::quiet_NaN();  // even in the shift alone
  EXPECT_FALSE(isInvertible(unknown));
  Affine huge = Affine::identity();
  for (int i = 0; i < 3; ++i) huge.m[i][i] = 1e200;  // determinant overflows
  EXPECT_FALSE(isInvertible(huge));
}

TEST(Affine, SamePlacementAllowsRoundingButNotASmallShift) {
  const Affine a = obliqueVoxelToWorld();
  Affine near = a, shifted = a, unknown = a;
  near.m[0][3] += 0.5 * kSamePlacementToleranceMm;
  shifted.m[2][1] += 2 * kSamePlacementToleranceMm;
  unknown.m[1][1] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(samePlacement(a, near));
  EXPECT_FALSE(samePlacement(a, shifted));
  EXPECT_FALSE(samePlacement(shifted, a));
  EXPECT_FALSE(samePlacement(a, unknown));
}
