// The int16 scale rule: the largest power-of-two step within the rounding bound, the
// bound itself when only that fits the values, and a refusal when nothing does.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "formats/errors.h"
#include "tolvane/simulate/int16_scale.h"

namespace tolvane::simulate {
namespace {

// Where the span's ends land as integers under the scale, as the writer rounds them.
double quantised(float value, const formats::Int16Scale& scale) {
  return std::round((static_cast<double>(value) - scale.inter) / scale.slope);
}

std::string refusal(const ValueSpan& span, double noiseSd) {
  try {
    int16Scale(span, noiseSd, "sub-01_run-1_bold.nii.gz");
  } catch (const formats::InputError& error) {
    return error.what();
  }
  return "";
}

TEST(Int16Scale, TakesTheLargestPowerOfTwoWithinTheBoundAndCentresTheValues) {
  // Noise sd 5: the bound is 0.02 x sqrt(12) x 5 = 0.3464, its power of two 0.25.
  const formats::Int16Scale scale = int16Scale({61.3f, 142.9f}, 5.0, "run");
  EXPECT_EQ(scale.slope, 0.25);
  EXPECT_EQ(scale.inter, 102.0);  // the multiple of 0.25 nearest the middle, 102.1
  EXPECT_LE(scale.slope / std::sqrt(12.0), kMaxRoundingErrorFraction * 5.0);
}

TEST(Int16Scale, TakesTheBoundItselfOnlyWhenThePowerOfTwoCannotHoldTheSpan) {
  // 20000 is 80000 steps of 0.25 but 57735 of 0.3464: only the bound fits.
  const ValueSpan wide{-10000.0f, 10000.0f};
  const formats::Int16Scale scale = int16Scale(wide, 5.0, "run");
  EXPECT_DOUBLE_EQ(scale.slope, 0.02 * std::sqrt(12.0) * 5.0);
  EXPECT_GE(quantised(wide.least, scale), -32768.0);
  EXPECT_LE(quantised(wide.greatest, scale), 32767.0);
}

TEST(Int16Scale, RefusesNamingTheRunAndFiguresWhenNoStepFitsOrThereIsNoNoise) {
  const std::string wide = refusal({-20000.0f, 20000.0f}, 5.0);
  EXPECT_NE(wide.find("sub-01_run-1_bold.nii.gz: its values span -2e+04 to 2e+04"),
            std::string::npos)
      << wide;
  EXPECT_NE(wide.find("step of at most 0.3464, and the span is 1.155e+05 such steps"),
            std::string::npos)
      << wide;
  EXPECT_NE(refusal({100.0f, 100.0f}, 0.0).find("smallest noise sd is 0"), std::string::npos);
}

}  // namespace
}  // namespace tolvane::simulate
