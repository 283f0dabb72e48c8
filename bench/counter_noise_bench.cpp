// Times the counter-based noise field of tolvane against two baselines, in one
// process, on the default grid (58 x 40 x 46 voxels, 250 time points), one thread:
//   (a) the counter field (Philox4x32-10, Box-Muller), as tolvane simulate fills a run;
//   (b) the module's noise pass (ran1 / gasdev on the fastest vector path), the
//       plug-in's run;
//   (c) the standard library's normal_distribution<float> over mt19937, filling the
//       same layout in the same order;
//   (d) numpy's default_rng().standard_normal filling an array of as many float32
//       (and, for the record, float64) values, timed by /usr/bin/python3 in a child
//       process once per round, between the other timings.
// Each figure is the best of several rounds; the report gives the ratios a/b, a/c and
// a/d, which are measured round by round and so survive a noisy, shared machine
// better than the times themselves.
//
// Usage: counter_noise_bench [rounds]   (default 5)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/wall_clock.h"
#include "numerics/random_state.h"
#include "engine/counter_noise.h"
#include "simulation/synthesis.h"

namespace {

using tolvane::simulation::Levels;
using tolvane::simulation::VtcGrid;

constexpr Levels kLevels{100.0f, 5.0f};
constexpr int kDimX = 58, kDimY = 40, kDimZ = 46, kTimePoints = 250;

// One fill by numpy of `values` float32 and of as many float64 values, in ms, each into
// an array made beforehand; false when numpy cannot be run.
bool numpyMilliseconds(std::size_t values, double& float32, double& float64) {
  const std::string command =
      "/usr/bin/python3 -c 'import sys, time, numpy as np\n"
      "rng = np.random.default_rng(1)\n"
      "for dtype in (np.float32, np.float64):\n"
      "    out = np.empty(" +
      std::to_string(values) +
      ", dtype)\n"
      "    start = time.perf_counter()\n"
      "    rng.standard_normal(out=out, dtype=dtype)\n"
      "    print((time.perf_counter() - start) * 1e3)' 2>/dev/null";
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  const bool read = std::fscanf(child, "%lf %lf", &float32, &float64) == 2;
  return pclose(child) == 0 && read;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<float> storage(static_cast<std::size_t>(kDimX) * kDimY * kDimZ * kTimePoints);
  const VtcGrid grid{storage.data(), kDimX, kDimY, kDimZ, kTimePoints, 57, 52, 59, 3};
  double best[5] = {1e300, 1e300, 1e300, 1e300, 1e300};
  double bestRatioB = 1e300, bestRatioC = 1e300, bestRatioD = 1e300;
  bool withNumpy = true;
  for (int round = 0; round < rounds; ++round) {
    const double field = tolvane::bench::millisecondsOf([&] {
      tolvane::engine::fillCounterNoise(grid, kLevels, {1, 0}, 0, grid.voxelCount());
    });
    const double plugin = tolvane::bench::millisecondsOf([&] {
      tolvane::random::GeneratorState state{};
      int seed = -1;
      tolvane::simulation::fillNoise(grid, kLevels, {state, &seed});
    });
    const double standard = tolvane::bench::millisecondsOf([&] {
      std::mt19937 engine(1);
      std::normal_distribution<float> normal(0.0f, 1.0f);
      for (float& value : storage) {
        value = kLevels.noiseAmplitude * normal(engine) + kLevels.baseline;
      }
    });
    double numpy32 = 0.0, numpy64 = 0.0;
    withNumpy = withNumpy && numpyMilliseconds(storage.size(), numpy32, numpy64);
    if (withNumpy) {
      best[3] = std::min(best[3], numpy32);
      best[4] = std::min(best[4], numpy64);
      bestRatioD = std::min(bestRatioD, field / numpy32);
    }
    best[0] = std::min(best[0], field);
    best[1] = std::min(best[1], plugin);
    best[2] = std::min(best[2], standard);
    bestRatioB = std::min(bestRatioB, field / plugin);
    bestRatioC = std::min(bestRatioC, field / standard);
  }
  std::printf("counter_noise_bench: %d x %d x %d grid, %d time points, %d rounds, 1 thread\n",
              kDimX, kDimY, kDimZ, kTimePoints, rounds);
  std::printf("(a) counter field (Philox4x32-10)          %8.1f ms\n", best[0]);
  std::printf("(b) module noise pass (ran1/gasdev)        %8.1f ms\n", best[1]);
  std::printf("(c) normal_distribution<float> over mt19937 %7.1f ms\n", best[2]);
  if (withNumpy) {
    std::printf("(d) numpy standard_normal, float32         %8.1f ms  (float64 %.1f ms)\n", best[3],
                best[4]);
    std::printf("a/b %.2f   a/c %.2f   a/d %.3f   (best ratio of a round)\n", bestRatioB,
                bestRatioC, bestRatioD);
  } else {
    std::printf("(d) numpy unavailable\n");
    std::printf("a/b %.2f   a/c %.2f   (best ratio of a round)\n", bestRatioB, bestRatioC);
  }
  return 0;
}
