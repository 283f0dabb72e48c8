// Times one run's noise with each model of tolvane's studies, on the default grid (58 x
// 40 x 46 voxels of 3 mm, 250 volumes of 2 s), one thread, in one process:
//   white      the philox field in data units, as a run without models gets it;
//   ar1        the field, AR(1) with rho 0.4, scaled;
//   smooth     the field, smoothed to 6 mm FWHM, scaled;
//   drift      the field, scaled, a drift of sd 2 below 128 s added;
//   all        smoothing, AR(1) and drift together;
//   mixed      the field with the mixed autocorrelation a = 0.5, b = 4 mm, c = 10 mm, scaled;
//   ar4        the field, AR(4) with phi = (0.4, 0.2, 0.1, 0.05), scaled;
//   arma11     the field, ARMA(1, 1) with phi = 0.6, theta = 0.3, scaled;
//   spectrum   the field filtered by a measured spectrum (33 points, a fifth of the
//              power flat and the rest in a band at 0.15-0.19 Hz: aliased respiration,
//              as fit-noise wrote it for its test run), scaled;
//   levels     the field on per-voxel levels (baseline and sd arrays) with thermal noise;
//   physio     as levels, with physiological noise at every voxel;
//   magnitude  as levels, then the magnitude pass;
//   scanner    everything on at once: mixed autocorrelation, AR(4), per-voxel levels,
//              physiological and thermal noise, drift and the magnitude pass.
// Each is the best of several rounds, and each model is reported as a ratio to the white
// field timed in the same rounds. The figures are printed as one JSON object, which
// bench/study_bench.py reads and sets beside numpy's standard_normal.
//
// Usage: noise_models_bench [rounds [case ...]]   (default 5 rounds, every case; white
// is always timed, as the baseline)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/wall_clock.h"
#include "engine/counter_noise.h"
#include "engine/noise_models.h"

namespace {

namespace sim = tolvane::engine;

constexpr sim::Levels kLevels{100.0f, 5.0f};
constexpr int kDimX = 58, kDimY = 40, kDimZ = 46, kTimePoints = 250;
constexpr double kVoxelMm = 3.0, kTrSeconds = 2.0;
constexpr float kThermalSd = 1.0f;

struct Models {
  bool smooth = false, ar1 = false, drift = false, mixed = false, ar4 = false, arma11 = false;
  bool spectrum = false;
  bool voxelLevels = false, physio = false, magnitude = false;
};

// What every run of the benchmark shares: the filter, the physiological basis and the
// per-voxel levels, made once as a study makes them once per run.
struct Fixtures {
  sim::MixedAcfFilter mixed{{0.5, 4.0, 10.0}, kDimX, kDimY, kDimZ, {kVoxelMm, kVoxelMm, kVoxelMm}};
  sim::ArmaCoefficients ar4 = sim::armaCoefficients({{0.4, 0.2, 0.1, 0.05}, {}});
  sim::ArmaCoefficients arma11 = sim::armaCoefficients({{0.6}, {0.3}});
  sim::SpectralFilter spectrum{{0.59, 0.59, 0.58, 0.60, 0.60, 0.59, 0.59, 0.58, 0.61, 0.60, 0.60,
                                0.60, 0.60, 0.59, 0.59, 0.61, 0.61, 0.60, 0.63, 1.80, 2.96, 3.05,
                                2.97, 2.97, 3.00, 0.63, 0.59, 0.61, 0.60, 0.62, 0.61, 0.62, 0.60},
                               kTimePoints};
  sim::PhysiologicalNoise physio{{}, {1, 0}, kDimX, kDimY, kDimZ, kTimePoints, kTrSeconds};
  sim::DriftBasis basis = sim::driftBasis(kTimePoints, kTrSeconds, 128.0);
  std::vector<float> baseline, fluctuation, physiological;
  Fixtures() {
    const std::size_t voxels = static_cast<std::size_t>(kDimX) * kDimY * kDimZ;
    baseline.assign(voxels, 100.0f);
    fluctuation.assign(voxels, 4.0f);
    physiological.assign(voxels, 2.0f);
  }
};

// As tolvane simulate makes a run's noise (tolvane/simulate/run_synthesis.cpp).
void noise(const sim::VtcGrid& grid, const Models& models, const Fixtures& fixtures) {
  const sim::FieldKey key{1, 0};
  if (!models.smooth && !models.ar1 && !models.drift && !models.mixed && !models.ar4 &&
      !models.arma11 && !models.spectrum && !models.voxelLevels) {
    sim::fillCounterNoise(grid, kLevels, key, 0, grid.voxelCount());
    return;
  }
  const sim::SmoothingKernel kernel = sim::gaussianKernel(models.smooth ? 6.0 : 0.0, kVoxelMm);
  const sim::VoxelLevels levels{fixtures.baseline.data(), fixtures.fluctuation.data(),
                                models.physio ? fixtures.physiological.data() : nullptr,
                                kThermalSd};
  sim::TimeCourseModels shaping;
  shaping.autoregressive = models.ar1;
  shaping.rho = 0.4f;
  shaping.arma = models.ar4 ? &fixtures.ar4 : models.arma11 ? &fixtures.arma11 : nullptr;
  if (models.spectrum) shaping.spectrum = &fixtures.spectrum;
  shaping.levels = kLevels;
  if (models.voxelLevels) {
    shaping.voxelLevels = &levels;
    shaping.physio = &fixtures.physio;
  }
  if (models.drift) {
    shaping.drift = &fixtures.basis;
    shaping.driftSd = 2.0f;
  }
  const sim::SpatialModel space = models.mixed ? sim::SpatialModel{fixtures.mixed}
                                               : sim::SpatialModel{{kernel, kernel, kernel}};
  sim::makeStructuredNoise(grid, key, space, shaping);
  if (models.magnitude) sim::applyMagnitude(grid, kThermalSd, key);
}

Models with(void (*set)(Models&)) {
  Models models;
  set(models);
  return models;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  std::vector<float> storage(static_cast<std::size_t>(kDimX) * kDimY * kDimZ * kTimePoints);
  const sim::VtcGrid grid{storage.data(), kDimX, kDimY, kDimZ, kTimePoints, 57, 52, 59, 3};
  const Fixtures fixtures;
  const struct {
    const char* name;
    Models models;
  } cases[] = {
      {"white", {}},
      {"ar1", with([](Models& m) { m.ar1 = true; })},
      {"smooth", with([](Models& m) { m.smooth = true; })},
      {"drift", with([](Models& m) { m.drift = true; })},
      {"all", with([](Models& m) { m.smooth = m.ar1 = m.drift = true; })},
      {"mixed", with([](Models& m) { m.mixed = true; })},
      {"ar4", with([](Models& m) { m.ar4 = true; })},
      {"arma11", with([](Models& m) { m.arma11 = true; })},
      {"spectrum", with([](Models& m) { m.spectrum = true; })},
      {"levels", with([](Models& m) { m.voxelLevels = true; })},
      {"physio", with([](Models& m) { m.voxelLevels = m.physio = true; })},
      {"magnitude", with([](Models& m) { m.voxelLevels = m.magnitude = true; })},
      {"scanner", with([](Models& m) {
         m.mixed = m.ar4 = m.voxelLevels = m.physio = m.drift = m.magnitude = true;
       })}};
  constexpr int kCases = sizeof cases / sizeof cases[0];
  bool chosen[kCases];
  for (int c = 0; c < kCases; ++c) {
    chosen[c] = argc <= 2 || c == 0;
    for (int a = 2; a < argc; ++a) chosen[c] = chosen[c] || std::strcmp(argv[a], cases[c].name) == 0;
  }
  double best[kCases], bestRatio[kCases];
  std::fill(best, best + kCases, 1e300);
  std::fill(bestRatio, bestRatio + kCases, 1e300);
  for (int round = 0; round < rounds; ++round) {
    double times[kCases];
    for (int c = 0; c < kCases; ++c)
      if (chosen[c])
        times[c] = tolvane::bench::millisecondsOf([&] { noise(grid, cases[c].models, fixtures); });
    for (int c = 0; c < kCases; ++c) {
      if (!chosen[c]) continue;
      best[c] = std::min(best[c], times[c]);
      bestRatio[c] = std::min(bestRatio[c], times[c] / times[0]);
    }
  }
  std::printf("{\"values\": %zu, \"rounds\": %d", storage.size(), rounds);
  for (int c = 0; c < kCases; ++c) {
    if (!chosen[c]) continue;
    std::printf(", \"%s_ms\": %.1f, \"%s_ratio\": %.3f", cases[c].name, best[c], cases[c].name,
                bestRatio[c]);
  }
  std::printf("}\n");
  return 0;
}
