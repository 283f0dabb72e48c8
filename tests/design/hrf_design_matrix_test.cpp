// The two-gamma HRF and the design matrix built from protocol conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "design/design_matrix.h"
#include "design/hrf.h"

using namespace tolvane::design;

namespace {

constexpr double kTrMs = 2000.0;
constexpr double kStepSeconds = kTrMs / 1000.0 / kSamplesPerVolume;
// Sums of a few hundred doubles of magnitude below 1 stay within this of exact.
constexpr double kSumTolerance = 1e-12;

std::size_t argMax(const std::vector<double>& v) {
  return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}
std::size_t argMin(const std::vector<double>& v) {
  return static_cast<std::size_t>(std::min_element(v.begin(), v.end()) - v.begin());
}

Condition blocks(std::vector<Interval> intervals) { return {"c", std::move(intervals)}; }

}  // namespace

TEST(TwoGammaHrf, PeaksNearFiveSecondsAndUndershootsNearFifteen) {
  const std::vector<double> kernel = sampledTwoGammaHrf(kTrMs);
  ASSERT_EQ(kernel.size(), 256u);  // 32 s at 125 ms
  const double peak = static_cast<double>(argMax(kernel)) * kStepSeconds;
  EXPECT_GE(peak, 4.5);
  EXPECT_LE(peak, 5.5);
  const double trough = static_cast<double>(argMin(kernel)) * kStepSeconds;
  EXPECT_GE(trough, 14.0);
  EXPECT_LE(trough, 17.0);
  EXPECT_LT(kernel[argMin(kernel)], 0.0);
  EXPECT_EQ(kernel[0], 0.0);
}

TEST(TwoGammaHrf, SampledKernelHasUnitSumForEveryTr) {
  for (const double tr : {500.0, 1000.0, 2000.0, 3000.0}) {
    const std::vector<double> kernel = sampledTwoGammaHrf(tr);
    EXPECT_NEAR(std::accumulate(kernel.begin(), kernel.end(), 0.0), 1.0, kSumTolerance) << tr;
  }
}

TEST(TwoGammaHrf, ConvolutionIsCausalAndShiftsAnImpulseResponse) {
  const std::vector<double> kernel{0.5, 0.25, 0.25};
  const std::vector<double> out = convolve({0, 0, 2, 0, 0, 0}, kernel);
  EXPECT_EQ(out, (std::vector<double>{0, 0, 1, 0.5, 0.5, 0}));
}

TEST(DesignMatrix, VolumeIntervalsGiveAnExactBoxcar) {
  DesignMatrix matrix;
  matrix.addPredictor("Task", 10);
  matrix.setFromCondition(0, blocks({{3, 4}, {9, 12}}), TimeUnit::Volumes, kTrMs, 1.0f);
  const std::vector<float> expected{0, 0, 1, 1, 0, 0, 0, 0, 1, 1};  // clipped at 10 volumes
  EXPECT_EQ(std::vector<float>(matrix[0].volumeValues), expected);
}

TEST(DesignMatrix, BriefMillisecondEventsStillMarkTheirVolume) {
  DesignMatrix matrix;
  matrix.addPredictor("Flash", 4);
  // A zero-duration impulse at 2.5 s and a 100 ms event at 6.1 s, TR 2 s.
  matrix.setFromCondition(0, blocks({{2500, 2500}, {6100, 6200}}), TimeUnit::Milliseconds, kTrMs,
                          2.0f);
  EXPECT_EQ(std::vector<float>(matrix[0].volumeValues), (std::vector<float>{0, 2, 0, 2}));
}

TEST(DesignMatrix, LongBlockReachesOneAfterTheHrfAndUndershootsAfterwards) {
  DesignMatrix matrix;
  matrix.addPredictor("Task", 60);
  matrix.setFromCondition(0, blocks({{1, 30}}), TimeUnit::Volumes, kTrMs, 1.0f);
  matrix.applyTwoGammaHrf(0, kTrMs);
  const std::vector<float>& values = matrix[0].volumeValues;
  // 32 s of kernel = 16 volumes: from volume 17 on the whole kernel lies in the block.
  for (std::size_t v = 17; v < 30; ++v) EXPECT_NEAR(values[v], 1.0f, 1e-6f) << v;
  EXPECT_EQ(values[0], 0.0f);
  const float undershoot = *std::min_element(values.begin() + 30, values.end());
  EXPECT_LT(undershoot, -0.05f);
  EXPECT_NEAR(values[59], 0.0f, 1e-6f);  // the kernel has run out 16 volumes after the block
}

TEST(DesignMatrix, ClearingRemovesPredictorsAndFindingUsesTheName) {
  DesignMatrix matrix;
  matrix.addPredictor("Rest", 5);
  matrix.addPredictor("Task", 5);
  EXPECT_EQ(matrix.findPredictor("Task"), 1u);
  EXPECT_FALSE(matrix.findPredictor("task").has_value());
  matrix.clear();
  EXPECT_EQ(matrix.size(), 0u);
}
