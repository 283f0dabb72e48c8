// Times the head-motion pass on the default grid (58 x 40 x 46 voxels of 3 mm, 250
// volumes of 2 s), one thread, in one process, against the white field of the same run:
//   white      the philox field in data units, as a run without models gets it;
//   trilinear  every volume moved (a random walk of 0.1 mm and 0.1 degrees per volume)
//              and resampled trilinearly, on the white field's values;
//   cubic      the same with the cubic B-spline (its prefilter included).
// Each figure is the best of several rounds; the moving ones are also given as ratios to
// the white field timed in the same rounds, the targets being 1.5 (trilinear) and
// 5 (cubic). Printed as one JSON object.
//
// Usage: motion_bench [rounds]   (default 5)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench/wall_clock.h"
#include "engine/counter_noise.h"
#include "engine/rigid_motion.h"
#include "engine/rigid_resampling.h"

namespace {

namespace sim = tolvane::engine;

constexpr sim::Levels kLevels{100.0f, 5.0f};
constexpr int kDimX = 58, kDimY = 40, kDimZ = 46, kTimePoints = 250;

sim::RunSampling walkingHead(sim::Interpolation interpolation) {
  tolvane::formats::Affine grid = tolvane::formats::Affine::identity();
  for (int axis = 0; axis < 3; ++axis) {
    grid.m[axis][axis] = 3.0;
    grid.m[axis][3] = -60.0;
  }
  std::mt19937 generator(38);
  std::normal_distribution<double> step(0.0, 1.0);
  sim::RunSampling sampling;
  sampling.interpolation = interpolation;
  sim::RigidMotion motion;
  for (int t = 0; t < kTimePoints; ++t) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      motion.translationMm[axis] += 0.1 * step(generator);
      motion.rotationRadians[axis] += 0.1 * M_PI / 180.0 * step(generator);
    }
    sampling.maps.push_back(sim::samplingMap(grid, motion));
    sampling.moved.push_back(true);
  }
  return sampling;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<float> storage(static_cast<std::size_t>(kDimX) * kDimY * kDimZ * kTimePoints);
  const sim::VtcGrid grid{storage.data(), kDimX, kDimY, kDimZ, kTimePoints, 57, 52, 59, 3};
  const sim::VolumeShape shape{kDimX, kDimY, kDimZ};
  const sim::RunSampling trilinear = walkingHead(sim::Interpolation::Trilinear);
  const sim::RunSampling cubic = walkingHead(sim::Interpolation::CubicBSpline);
  const sim::FieldKey key{1, 0};
  double white = 1e300, moved[2] = {1e300, 1e300}, ratio[2] = {1e300, 1e300};
  for (int round = 0; round < rounds; ++round) {
    const double field = tolvane::bench::millisecondsOf(
        [&] { sim::fillCounterNoise(grid, kLevels, key, 0, grid.voxelCount()); });
    white = std::min(white, field);
    const sim::RunSampling* samplings[2] = {&trilinear, &cubic};
    for (int i = 0; i < 2; ++i) {
      const double time = tolvane::bench::millisecondsOf(
          [&] { sim::resampleRun(storage.data(), shape, kTimePoints, *samplings[i]); });
      moved[i] = std::min(moved[i], time);
      ratio[i] = std::min(ratio[i], time / field);
    }
  }
  std::printf("{\"white_ms\": %.1f, \"trilinear_ms\": %.1f, \"cubic_ms\": %.1f, "
              "\"trilinear_ratio\": %.2f, \"cubic_ratio\": %.2f}\n",
              white, moved[0], moved[1], ratio[0], ratio[1]);
  return 0;
}
