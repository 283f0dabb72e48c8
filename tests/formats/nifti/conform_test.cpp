// Conforming an anatomical: the conformed grid's placement, and trilinear resampling
// judged against intensities that are linear in world space, which it must reproduce.
#include "formats/nifti/conform.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

using namespace tolvane::formats;

namespace {

// Voxel columns of 4, 4 and 4 mm turned by 30 degrees about z, with the y axis flipped,
// so that the conformed grid must keep a rotation and a reflection.
MapGeometry rotatedAnatomical() {
  const double c = 4 * std::cos(M_PI / 6), s = 4 * std::sin(M_PI / 6);
  return {{40, 48, 44}, {{{{c, s, 0, -60}, {s, -c, 0, 70}, {0, 0, 4, -80}}}, 1}};
}

// Transforms are built from numbers of a few hundred millimetres in double; 1e-9 mm is
// millions of times their rounding and far below any voxel.
constexpr double kPlacementToleranceMm = 1e-9;

// Intensities linear in world position, positive everywhere they are sampled so that a
// voxel wrongly left at 0 shows.
double ramp(const std::array<double, 3>& world) {
  return 500.0 + 0.5 * world[0] - 0.25 * world[1] + 0.125 * world[2];
}

}  // namespace

TEST(Conform, ConformedGridKeepsTheAxesAndCentreOfTheOriginalInOneMillimetreSteps) {
  const MapGeometry original = rotatedAnatomical();
  const MapGeometry conformed = conformedGeometry(original);
  EXPECT_EQ(conformed.dims, (std::array<std::int64_t, 3>{256, 256, 256}));
  EXPECT_EQ(conformed.frame.code, 1);
  for (int column = 0; column < 3; ++column) {
    for (int r = 0; r < 3; ++r) {
      EXPECT_NEAR(conformed.frame.voxelToWorld.m[r][column],
                  original.frame.voxelToWorld.m[r][column] / 4.0, kPlacementToleranceMm);
    }
  }
  const auto originalCentre = transformPoint(original.frame.voxelToWorld, {19.5, 23.5, 21.5});
  const auto conformedCentre = transformPoint(conformed.frame.voxelToWorld, {127.5, 127.5, 127.5});
  for (int r = 0; r < 3; ++r)
    EXPECT_NEAR(conformedCentre[r], originalCentre[r], kPlacementToleranceMm);

  EXPECT_FALSE(isConformed(original));
  EXPECT_TRUE(isConformed(conformed));
  // 256^3 is not enough: the voxels must be 1 mm as well.
  MapGeometry fine = conformed;
  for (int r = 0; r < 3; ++r) fine.frame.voxelToWorld.m[r][0] *= 0.9;
  EXPECT_FALSE(isConformed(fine));
}

TEST(Conform, ResamplingReproducesAWorldRampInsideTheImageAndGivesZeroOutside) {
  ScalarVolume source{
      {{6, 5, 4}, {{{{1.5, 0.5, 0, 3}, {-0.5, 2.5, 0.3, -7}, {0, 0, 2, 11}}}, 1}}, false, {}};
  for (int z = 0; z < 4; ++z)
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 6; ++x)
        source.values.push_back(
            ramp(transformPoint(source.geometry.frame.voxelToWorld, {double(x), double(y), double(z)})));

  // Target voxel v lies at source coordinate q = toSource(v), known by construction:
  // axes permuted, steps of 0.45 source voxels, and q_y = 0 exactly on the plane v_z = 0
  // (the outermost voxel centres, which are inside). 20 steps reach past the source on
  // every axis.
  const Affine toSource{{{0, 0.45, 0, -1}, {0, 0, 0.45, 0}, {0.45, 0, 0, -0.9}}};
  const MapGeometry target{{20, 20, 20},
                           {compose(source.geometry.frame.voxelToWorld, toSource), 1}};
  const std::vector<float> values = resampleTrilinear(source, target);
  ASSERT_EQ(values.size(), target.voxelCount());

  int inside = 0, outside = 0;
  std::size_t index = 0;
  for (int z = 0; z < 20; ++z) {
    for (int y = 0; y < 20; ++y) {
      for (int x = 0; x < 20; ++x, ++index) {
        const auto q = transformPoint(toSource, {double(x), double(y), double(z)});
        if (q[0] < 0 || q[0] > 5 || q[1] < 0 || q[1] > 4 || q[2] < 0 || q[2] > 3) {
          ++outside;
          EXPECT_EQ(values[index], 0.0f) << "voxel " << x << "," << y << "," << z;
          continue;
        }
        ++inside;
        // Interpolation is exact for a linear function; what remains is the one rounding
        // to float (half an ulp) and the double arithmetic before it, far below another.
        const double expected =
            ramp(transformPoint(target.frame.voxelToWorld, {double(x), double(y), double(z)}));
        EXPECT_NEAR(values[index], expected, expected * FLT_EPSILON)
            << "voxel " << x << "," << y << "," << z;
      }
    }
  }
  EXPECT_GT(inside, 100);
  EXPECT_GT(outside, 100);
}

TEST(Conform, NearestNeighbourTakesTheClosestSourceVoxelAndZeroBeyondTheImage) {
  // A label volume whose value names its voxel, so the chosen voxel can be read back.
  ScalarVolume source{{{5, 4, 3}, {{{{2, 0, 0, -4}, {0, 3, 0, 1}, {0, 0, 2.5, 7}}}, 1}}, true, {}};
  for (int i = 0; i < 5 * 4 * 3; ++i) source.values.push_back(i + 1);
  // Steps of 0.3 source voxels from -0.85: coordinates fall on both sides of every
  // half-voxel boundary (never on one, where rounding would decide) and beyond both
  // ends of each axis.
  const Affine toSource{{{0.3, 0, 0, -0.85}, {0, 0.3, 0, -0.85}, {0, 0, 0.3, -0.85}}};
  const MapGeometry target{{25, 20, 16},
                           {compose(source.geometry.frame.voxelToWorld, toSource), 1}};
  const std::vector<float> values = resampleNearest(source, target);
  ASSERT_EQ(values.size(), target.voxelCount());
  const std::int64_t sourceDims[3] = {5, 4, 3};
  std::size_t index = 0;
  int zeros = 0;
  for (int z = 0; z < 16; ++z) {
    for (int y = 0; y < 20; ++y) {
      for (int x = 0; x < 25; ++x, ++index) {
        const auto q = transformPoint(toSource, {double(x), double(y), double(z)});
        std::int64_t nearest[3];
        bool inside = true;
        for (int r = 0; r < 3; ++r) {
          nearest[r] = std::llround(std::floor(q[r] + 0.5));
          inside = inside && nearest[r] >= 0 && nearest[r] < sourceDims[r];
        }
        const float expected =
            inside ? float((nearest[2] * 4 + nearest[1]) * 5 + nearest[0] + 1) : 0.0f;
        zeros += expected == 0.0f;
        EXPECT_EQ(values[index], expected) << "voxel " << x << "," << y << "," << z;
      }
    }
  }
  EXPECT_GT(zeros, 100);
}
