// The balloon model's integration: the step is fine enough, the response settles at the
// closed-form steady state, and rest stays rest. Its agreement with an independent
// integration (scipy's solve_ivp) is checked in tests/tolvane/haemodynamics_test.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "design/balloon.h"

using namespace tolvane::design;

namespace {

constexpr double kStepSeconds = 0.125;  // the fine grid at TR 2 s

// Brief events, a 1 s pair and a 10 s block, on the fine grid.
std::vector<double> eventsAndBlock() {
  std::vector<double> input(800, 0.0);
  input[40] = 1.0;
  for (int k = 240; k < 244; ++k) input[k] = 1.0;
  for (int k = 248; k < 252; ++k) input[k] = 1.0;
  for (int k = 480; k < 560; ++k) input[k] = 1.0;
  return input;
}

double peakOf(const std::vector<double>& y) {
  double peak = 0.0;
  for (const double value : y) peak = std::max(peak, std::fabs(value));
  return peak;
}

}  // namespace

TEST(Balloon, HalvingTheStepsChangesTheResponseByLessThanATenthOfAPercentOfItsPeak) {
  const BalloonParameters parameters;
  const std::vector<double> input = eventsAndBlock();
  const std::vector<double> once = balloonResponse(parameters, input, kStepSeconds, 16);
  const std::vector<double> halved =
      balloonResponse(parameters, input, kStepSeconds, 16, kBalloonMaxStepSeconds / 2);
  ASSERT_EQ(once.size(), 50u);
  double worst = 0.0;
  for (std::size_t k = 0; k < once.size(); ++k) {
    worst = std::max(worst, std::fabs(once[k] - halved[k]));
  }
  // Fourth order: halving the steps divides the error by about 16, so the difference is
  // nearly the whole error of the longer steps (about 2.5e-4 of the peak here).
  EXPECT_LT(worst, 1e-3 * peakOf(halved)) << worst / peakOf(halved);
  EXPECT_GT(worst, 0.0);
}

TEST(Balloon, ALongBlockSettlesAtTheClosedFormSteadyState) {
  for (const double efficacy : {0.54, 0.2, 1.0}) {
    BalloonParameters parameters;
    parameters.epsilon = efficacy;
    const std::vector<double> input(4000, 1.0);  // 500 s
    const std::vector<double> y = balloonResponse(parameters, input, kStepSeconds, 1);
    ASSERT_EQ(y.size(), input.size());
    const double plateau = balloonSteadyState(parameters, 1.0);
    EXPECT_GT(plateau, 0.0);
    EXPECT_NEAR(y.back(), plateau, 1e-9 * plateau) << efficacy;
  }
}

TEST(Balloon, WithoutInputRestStaysRest) {
  const std::vector<double> y =
      balloonResponse(BalloonParameters{}, std::vector<double>(1000, 0.0), kStepSeconds, 1);
  EXPECT_LT(peakOf(y), 1e-12);
}
