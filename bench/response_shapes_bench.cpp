// Times the predictors of regions with responses of their own, one core: 100 regions ×
// 300 volumes of TR 2 s, one condition of 30 brief events, each region with its own
// parameters (so nothing is shared between them):
//   balloon    the balloon model integrated over the run's fine grid (4800 Runge-Kutta
//              steps per region);
//   twogamma   the same regions' drawn two-gammas: kernel and convolution at the volume
//              starts;
// and, as the baseline in the same run, the canonical predictor built once through the
// design matrix (full fine-grid convolution), as every run without hrf keys has it.
// Each figure is the best of several rounds; the target is balloon under 50 ms.
//
// Usage: response_shapes_bench [repetitions]   (default 5)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "bench/wall_clock.h"
#include "design/design_matrix.h"
#include "design/response_shapes.h"

namespace {

using namespace tolvane;

constexpr int kRegions = 100;
constexpr int kVolumes = 300;
constexpr double kTrMilliseconds = 2000.0;

design::Condition events() {
  design::Condition condition{"Stim", {}};
  for (int k = 0; k < 30; ++k) {
    const double onset = 4000.0 + 19000.0 * k;
    condition.intervals.push_back({onset, onset + 500.0});
  }
  return condition;
}

template <typename Work>
double bestOf(int repetitions, Work&& work) {
  double best = std::numeric_limits<double>::infinity();
  for (int r = 0; r < repetitions; ++r) best = std::min(best, bench::millisecondsOf(work));
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const design::Condition condition = events();
  const std::vector<double> fine = design::conditionFineSignal(
      condition, design::TimeUnit::Milliseconds, kTrMilliseconds, kVolumes);
  std::vector<design::ResponseShape> balloons(kRegions), twoGammas(kRegions);
  for (int r = 0; r < kRegions; ++r) {
    balloons[r].model = design::ResponseModel::Balloon;
    balloons[r].balloon.tau = 0.7 + 0.006 * r;
    twoGammas[r].peakDelaySeconds = 4.5 + 0.03 * r;
  }
  double checksum = 0.0;
  const auto predictors = [&](const std::vector<design::ResponseShape>& shapes) {
    for (const design::ResponseShape& shape : shapes) {
      checksum += design::shapedPredictor(shape, fine, kTrMilliseconds, kVolumes)[100];
    }
  };
  const double balloon = bestOf(repetitions, [&] { predictors(balloons); });
  const double twoGamma = bestOf(repetitions, [&] { predictors(twoGammas); });
  const double canonical = bestOf(repetitions, [&] {
    design::DesignMatrix matrix;
    matrix.addPredictor("Stim", kVolumes);
    matrix.setFromCondition(0, condition, design::TimeUnit::Milliseconds, kTrMilliseconds, 1.0f);
    matrix.applyTwoGammaHrf(0, kTrMilliseconds);
    checksum += matrix[0].volumeValues[100];
  });
  std::printf("%d regions x %d volumes, TR %.0f ms, best of %d (checksum %.6g)\n", kRegions,
              kVolumes, kTrMilliseconds, repetitions, checksum);
  std::printf("  canonical predictor, once (baseline)  %8.3f ms\n", canonical);
  std::printf("  two-gamma, per region                 %8.3f ms  (%.1f x baseline)\n", twoGamma,
              twoGamma / canonical);
  std::printf("  balloon, per region                   %8.3f ms  (%.1f x baseline)  target < 50 ms\n",
              balloon, balloon / canonical);
  return 0;
}
