// Times one run's noise with each model of tolvane's studies, on the default grid (58 x
// 40 x 46 voxels of 3 mm, 250 volumes of 2 s), one thread, in one process:
//   white      the philox field in data units, as a run without models gets it;
//   ar1        the field, AR(1) with rho 0.4, scaled;
//   smooth     the field, smoothed to 6 mm FWHM, scaled;
//   drift      the field, scaled, a drift of sd 2 below 128 s added;
//   all        smoothing, AR(1) and drift together.
// Each is the best of several rounds, and each model is reported as a ratio to the white
// field timed in the same rounds. The figures are printed as one JSON object, which
// bench/study_bench.py reads and sets beside numpy's standard_normal.
//
// Usage: noise_models_bench [rounds]   (default 5)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/wall_clock.h"
#include "engine/counter_noise.h"
#include "engine/noise_models.h"

namespace {

namespace sim = tolvane::engine;

constexpr sim::Levels kLevels{100.0f, 5.0f};
constexpr int kDimX = 58, kDimY = 40, kDimZ = 46, kTimePoints = 250;
constexpr double kVoxelMm = 3.0, kTrSeconds = 2.0;

struct Models {
  bool smooth = false, ar1 = false, drift = false;
};

// As tolvane simulate makes a run's noise (tolvane/simulate/run_synthesis.cpp).
void noise(const sim::VtcGrid& grid, const Models& models) {
  const sim::FieldKey key{1, 0};
  if (!models.smooth && !models.ar1 && !models.drift) {
    sim::fillCounterNoise(grid, kLevels, key, 0, grid.voxelCount());
    return;
  }
  const sim::SmoothingKernel kernel = sim::gaussianKernel(models.smooth ? 6.0 : 0.0, kVoxelMm);
  const sim::DriftBasis basis = sim::driftBasis(grid.timePoints, kTrSeconds, 128.0);
  const sim::FieldKey driftKey{1, 0, sim::kDriftStream};
  sim::TimeCourseModels shaping;
  shaping.autoregressive = models.ar1;
  shaping.rho = 0.4f;
  shaping.levels = kLevels;
  if (models.drift) {
    shaping.drift = &basis;
    shaping.driftSd = 2.0f;
    shaping.coefficients = [&](std::int64_t voxel, int count, float* out) {
      sim::fieldDeviates(driftKey, voxel, 0, count, out);
    };
  }
  sim::makeStructuredNoise(grid, key, sim::SmoothingKernels{kernel, kernel, kernel}, shaping);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<float> storage(static_cast<std::size_t>(kDimX) * kDimY * kDimZ * kTimePoints);
  const sim::VtcGrid grid{storage.data(), kDimX, kDimY, kDimZ, kTimePoints, 57, 52, 59, 3};
  const struct {
    const char* name;
    Models models;
  } cases[] = {{"white", {}},
               {"ar1", {false, true, false}},
               {"smooth", {true, false, false}},
               {"drift", {false, false, true}},
               {"all", {true, true, true}}};
  constexpr int kCases = sizeof cases / sizeof cases[0];
  double best[kCases], bestRatio[kCases];
  std::fill(best, best + kCases, 1e300);
  std::fill(bestRatio, bestRatio + kCases, 1e300);
  for (int round = 0; round < rounds; ++round) {
    double times[kCases];
    for (int c = 0; c < kCases; ++c)
      times[c] = tolvane::bench::millisecondsOf([&] { noise(grid, cases[c].models); });
    for (int c = 0; c < kCases; ++c) {
      best[c] = std::min(best[c], times[c]);
      bestRatio[c] = std::min(bestRatio[c], times[c] / times[0]);
    }
  }
  std::printf("{\"values\": %zu, \"rounds\": %d", storage.size(), rounds);
  for (int c = 0; c < kCases; ++c) {
    std::printf(", \"%s_ms\": %.1f, \"%s_ratio\": %.3f", cases[c].name, best[c], cases[c].name,
                bestRatio[c]);
  }
  std::printf("}\n");
  return 0;
}
