// Times the plain noise pass (bench/plain_noise_pass.h) on storage touched beforehand,
// on the default box at a given resolution: the baseline of bench/hvhost_end_to_end.py,
// which times hvhost's own run of the same grid. Prints the best time in milliseconds.
//
// Usage: plain_noise_pass_bench RESOLUTION [REPETITIONS]   (default 1 repetition)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/plain_noise_pass.h"
#include "bench/wall_clock.h"
#include "numerics/random_state.h"

int main(int argc, char** argv) {
  const int resolution = argc > 1 ? std::atoi(argv[1]) : 0;
  const int repetitions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
  if (resolution < 1 || resolution > 64) {
    std::fprintf(stderr, "usage: plain_noise_pass_bench RESOLUTION [REPETITIONS]\n");
    return 2;
  }
  // The default box, [57, 231) x [52, 172) x [59, 197), and 250 time points.
  const int dimX = 174 / resolution, dimY = 120 / resolution, dimZ = 138 / resolution;
  const int nT = 250;
  // A vector's elements are written (touched) when it is made.
  std::vector<float> data(static_cast<std::size_t>(dimX) * dimY * dimZ * nT, 0.0f);
  double best = 1e300;
  for (int i = 0; i < repetitions; ++i) {
    tolvane::random::generatorState() = tolvane::random::GeneratorState{};
    int seed = -1;
    best = std::min(best, tolvane::bench::millisecondsOf([&] {
                      tolvane::bench::plainNoisePass(data.data(), dimX, dimY, dimZ, nT, &seed);
                    }));
  }
  std::printf("%.1f\n", best);
  return 0;
}
