// The resampler's identities: what a still head, whole-voxel shifts and the thread split
// must leave exactly as it is. Agreement with an independent resampler is
// rigid_resampling_test.py's.
#include "engine/rigid_resampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "engine/rigid_motion.h"

namespace tolvane::engine {
namespace {

const VolumeShape kShape{10, 9, 7};
constexpr int kTimePoints = 37;  // two whole blocks of time points and a partial one

std::vector<float> randomRun(unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> normal(100.0f, 10.0f);
  std::vector<float> data(static_cast<std::size_t>(kShape.voxels() * kTimePoints));
  for (float& value : data) value = normal(generator);
  return data;
}

formats::Affine obliqueGrid() {
  RigidMotion turn;
  turn.rotationRadians = {0.3, -0.2, 0.5};
  formats::Affine grid = motionAffine(turn);
  const double sizes[3] = {2.5, 3.0, 3.5};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) grid.m[r][c] *= sizes[c];
  }
  grid.m[0][3] = -12.0;
  return grid;
}

// Every third volume still, the others moved by up to 3 mm and 3 degrees.
RunSampling runSampling(Interpolation interpolation) {
  RunSampling sampling;
  sampling.interpolation = interpolation;
  for (int t = 0; t < kTimePoints; ++t) {
    RigidMotion motion;
    if (t % 3 != 0) {
      const double s = std::sin(0.3 * t);
      motion.translationMm = {3.0 * s, -2.0 * s, 1.0 * s};
      motion.rotationRadians = {0.05 * s, 0.02 * s, -0.04 * s};
    }
    sampling.maps.push_back(samplingMap(obliqueGrid(), motion));
    sampling.moved.push_back(!motion.still());
  }
  return sampling;
}

// Pieces run one after another in the order given, each as the body sees it.
ParallelFor inPieces(std::int64_t pieces, bool backwards) {
  return [=](std::int64_t count, const std::function<void(std::int64_t, std::int64_t)>& body) {
    for (std::int64_t i = 0; i < pieces; ++i) {
      const std::int64_t p = backwards ? pieces - 1 - i : i;
      body(count * p / pieces, count * (p + 1) / pieces);
    }
  };
}

TEST(RigidResampling, RunPassMovesEachVolumeAloneLeavesStillOnesAndIgnoresTheSplit) {
  for (const Interpolation interpolation :
       {Interpolation::Trilinear, Interpolation::CubicBSpline}) {
    const std::vector<float> original = randomRun(7);
    const RunSampling sampling = runSampling(interpolation);
    std::vector<float> serial = original, split = original;
    resampleRun(serial.data(), kShape, kTimePoints, sampling);
    resampleRun(split.data(), kShape, kTimePoints, sampling, inPieces(3, true));
    ASSERT_EQ(0, std::memcmp(serial.data(), split.data(), serial.size() * sizeof(float)));

    std::vector<float> volume(static_cast<std::size_t>(kShape.voxels())), moved(volume.size());
    std::vector<double> work;
    for (int t = 0; t < kTimePoints; ++t) {
      for (std::int64_t v = 0; v < kShape.voxels(); ++v) {
        volume[static_cast<std::size_t>(v)] = original[static_cast<std::size_t>(v * kTimePoints + t)];
      }
      resampleVolume(kShape, volume.data(), sampling.maps[static_cast<std::size_t>(t)],
                     interpolation, moved.data(), work);
      const std::vector<float>& expected = sampling.moved[static_cast<std::size_t>(t)] ? moved : volume;
      for (std::int64_t v = 0; v < kShape.voxels(); ++v) {
        ASSERT_EQ(expected[static_cast<std::size_t>(v)],
                  serial[static_cast<std::size_t>(v * kTimePoints + t)])
            << "time point " << t << ", voxel " << v;
      }
    }
  }
}

TEST(RigidResampling, WholeVoxelShiftOnAnExactGridMovesValuesUnchanged) {
  // 2 mm voxels and a shift of two voxels along x: every coordinate is exact in binary.
  formats::Affine grid = formats::Affine::identity();
  for (int r = 0; r < 3; ++r) grid.m[r][r] = 2.0;
  RigidMotion motion;
  motion.translationMm = {4.0, 0.0, 0.0};
  const std::vector<float> run = randomRun(11);
  const std::vector<float> volume(run.begin(), run.begin() + kShape.voxels());
  std::vector<float> moved(volume.size());
  std::vector<double> work;
  for (const Interpolation interpolation :
       {Interpolation::Trilinear, Interpolation::CubicBSpline}) {
    resampleVolume(kShape, volume.data(), samplingMap(grid, motion), interpolation,
                   moved.data(), work);
    for (std::int64_t z = 0; z < kShape.nz; ++z) {
      for (std::int64_t y = 0; y < kShape.ny; ++y) {
        for (std::int64_t x = 0; x < kShape.nx; ++x) {
          // The head moved +2 voxels, so voxel x shows what was at x - 2 (mirrored).
          const float expected =
              volume[static_cast<std::size_t>((z * kShape.ny + y) * kShape.nx +
                                              mirroredIndex(x - 2, kShape.nx))];
          const float got = moved[static_cast<std::size_t>((z * kShape.ny + y) * kShape.nx + x)];
          if (interpolation == Interpolation::Trilinear) {
            ASSERT_EQ(expected, got);
          } else {
            // The spline passes through its samples up to the prefilter's double
            // rounding, which leaves at most one float unit.
            ASSERT_NEAR(expected, got, std::nextafter(expected, 1e9f) - expected);
          }
        }
      }
    }
  }
}

TEST(RigidResampling, MirrorFoldsIndicesAboutTheOutermostCentres) {
  // An axis of 4 voxels reads ... 2 1 | 0 1 2 3 | 2 1 0 1 ...
  const std::int64_t expected[] = {0, 1, 2, 3, 2, 1, 0, 1, 2, 3};
  for (std::int64_t k = -6; k <= 9; ++k) {
    EXPECT_EQ(expected[((k % 6) + 6) % 6], mirroredIndex(k, 4)) << k;
  }
  EXPECT_EQ(0, mirroredIndex(-5, 1));
  EXPECT_EQ(0, mirroredIndex(17, 1));
}

TEST(RigidMotion, FramewiseDisplacementSumsShiftsAndArcsOnFiftyMillimetres) {
  RigidMotion a, b;
  a.translationMm = {0.1, -0.2, 0.3};
  b.translationMm = {0.4, -0.2, -0.1};
  a.rotationRadians = {0.001, 0.0, -0.002};
  b.rotationRadians = {0.0, 0.003, 0.002};
  const double expected = 0.3 + 0.0 + 0.4 + 50.0 * (0.001 + 0.003 + 0.004);
  EXPECT_NEAR(expected, framewiseDisplacement(a, b), 1e-12);
  EXPECT_EQ(framewiseDisplacement(a, b), framewiseDisplacement(b, a));
}

TEST(RigidMotion, AffineRotatesAboutXThenYThenZ) {
  // A quarter turn about x takes y to z; then a quarter turn about z takes z to itself
  // and x to y: so (0, 1, 0) -> (0, 0, 1), and (1, 0, 0) -> (0, 1, 0).
  RigidMotion motion;
  motion.rotationRadians = {M_PI / 2, 0.0, M_PI / 2};
  motion.translationMm = {1.0, 2.0, 3.0};
  const formats::Affine moved = motionAffine(motion);
  const formats::Point3 y = formats::transformPoint(moved, {0, 1, 0});
  const formats::Point3 x = formats::transformPoint(moved, {1, 0, 0});
  const formats::Point3 yExpected{1, 2, 4}, xExpected{1, 3, 3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_NEAR(yExpected[static_cast<std::size_t>(i)], y[static_cast<std::size_t>(i)], 1e-12);
    EXPECT_NEAR(xExpected[static_cast<std::size_t>(i)], x[static_cast<std::size_t>(i)], 1e-12);
  }
}

}  // namespace
}  // namespace tolvane::engine
