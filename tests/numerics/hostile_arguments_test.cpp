// Hostile arguments: counts and indices outside a routine's range, lengths that are not
// powers of 2, and NaN data. Each case either gets the result the mathematics gives for
// it, or the library's fatal exit with a message naming the routine and the argument;
// never a write outside the array, a trap or an endless loop. Arrays carry a guard
// element past their documented end, so a stray write shows without a sanitizer too.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "numerics/arrays.h"
#include "numerics/fft.h"
#include "numerics/fitting.h"
#include "numerics/random.h"
#include "numerics/sorting.h"
#include "numerics/special_functions.h"
#include "numerics/statistics.h"

namespace {

constexpr float kGuard = -7777.0f;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

using ::testing::ExitedWithCode;

}  // namespace

TEST(Realft, LengthOneIsItsOwnTransformAndLengthZeroTouchesNothing) {
  float* data = vector(1, 2);  // data[1..1] and a guard
  data[1] = 3.0f;
  data[2] = kGuard;
  realft(data, 1, 1);  // H_0 of one value is that value
  EXPECT_EQ(data[1], 3.0f);
  realft(data, 1, -1);  // the inverse scales by n/2, as for every other length
  EXPECT_EQ(data[1], 1.5f);
  EXPECT_EQ(data[2], kGuard);
  realft(data + 1, 0, 1);  // an empty sequence: data + 1 has no element 1 to touch
  realft(data + 1, 0, -1);
  EXPECT_EQ(data[2], kGuard);
  free_vector(data, 1, 2);
}

TEST(FftDeathTest, LengthsThatAreNotPowersOfTwoAreRefusedByName) {
  float* data = vector(1, 12);
  for (int i = 1; i <= 12; ++i) data[i] = 1.0f;
  EXPECT_EXIT(four1(data, 3, 1), ExitedWithCode(1), "four1: npoints = 3 is not a power of 2");
  EXPECT_EXIT(realft(data, 6, 1), ExitedWithCode(1), "realft: n = 6 is not a power of 2");
  unsigned long dims[3] = {0, 2, 3};
  EXPECT_EXIT(fourn(data, dims, 2, 1), ExitedWithCode(1),
              "fourn: dims\\[2\\] = 3 is not a power of 2");
  free_vector(data, 1, 12);
}

TEST(Fourn, AZeroDimensionIsAnEmptyArrayAndNoDimensionsAOneElementArray) {
  float* data = vector(1, 2);
  data[1] = 2.0f;
  data[2] = -1.0f;
  unsigned long dims[3] = {0, 4, 0};
  fourn(data, dims, 2, 1);  // total = 0: nothing to transform, no division by it
  fourn(data, dims, 0, 1);  // total = 1: one value is its own transform
  EXPECT_EQ(data[1], 2.0f);
  EXPECT_EQ(data[2], -1.0f);
  free_vector(data, 1, 2);
}

TEST(Rlft3DeathTest, LastLengthBelowTwoOrNotAPowerOfTwoIsRefusedByName) {
  float*** data = f3tensor(1, 2, 1, 2, 1, 1);
  float** nyquist = matrix(1, 2, 1, 4);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) data[i][j][1] = 1.0f;
  // Once a division by the zero length len3 / 2 inside the transform.
  EXPECT_EXIT(rlft3(data, nyquist, 2, 2, 1, 1), ExitedWithCode(1),
              "rlft3: len3 = 1 is not a power of 2 of at least 2");
  EXPECT_EXIT(rlft3(data, nyquist, 3, 2, 1, 1), ExitedWithCode(1),
              "rlft3: len1 = 3 is not a power of 2");
  EXPECT_EXIT(rlft3(data, nyquist, 2, 0, 1, 1), ExitedWithCode(1),
              "rlft3: len2 = 0 is not a power of 2");
  free_matrix(nyquist, 1, 2, 1, 4);
  free_f3tensor(data, 1, 2, 1, 2, 1, 1);
}

TEST(SelectDeathTest, RankOutsideOneToNIsRefusedByName) {
  float values[5] = {kGuard, 3.0f, 1.0f, 2.0f, kGuard};
  unsigned short shorts[5] = {7, 3, 1, 2, 7};
  // Once a read past the end (k > n) or of the element before the array (k = 0).
  EXPECT_EXIT(select(4, 3, values), ExitedWithCode(1), "select: k = 4 is outside 1..n = 3");
  EXPECT_EXIT(select(0, 3, values), ExitedWithCode(1), "select: k = 0 is outside 1..n = 3");
  EXPECT_EXIT(select(1, 0, values), ExitedWithCode(1), "select: k = 1 is outside 1..n = 0");
  EXPECT_EXIT(select_ushort(4, 3, shorts), ExitedWithCode(1),
              "select_ushort: k = 4 is outside 1..n = 3");
  EXPECT_EXIT(select_ushort(0, 3, shorts), ExitedWithCode(1),
              "select_ushort: k = 0 is outside 1..n = 3");
  // In range, the bounds themselves are fine and the guards stay.
  EXPECT_EQ(select(3, 3, values), 3.0f);
  EXPECT_EQ(select(1, 3, values), 1.0f);
  EXPECT_EQ(values[0], kGuard);
  EXPECT_EQ(values[4], kGuard);
}

TEST(Kstwo, NaNInEitherSampleGivesNaNInsteadOfRunningForever) {
  // Once an endless loop: NaN is neither <= nor >= the other sample's value, so
  // neither walk advanced.
  float prob = 0.0f;
  float d = 0.0f;
  float nan_first[4] = {0.0f, 1.0f, kNaN, 3.0f};
  float plain[4] = {0.0f, 1.5f, 2.5f, 0.5f};
  kstwo(nan_first, 3, plain, 3, &d, &prob);
  EXPECT_TRUE(std::isnan(d));
  float nan_second[3] = {0.0f, kNaN, kNaN};
  float other[3] = {0.0f, 2.0f, 1.0f};
  d = 0.0f;
  kstwo(other, 2, nan_second, 2, &d, &prob);
  EXPECT_TRUE(std::isnan(d));
  // Infinities are ordered and keep their ordinary meaning: disjoint samples, d = 1.
  float low[3] = {0.0f, -INFINITY, 1.0f};
  float high[3] = {0.0f, INFINITY, 2.0f};
  kstwo(low, 2, high, 2, &d, &prob);
  EXPECT_EQ(d, 1.0f);
}

// Found by the library's fuzz target (tests/fuzz/numerics_library_fuzzer.cpp).

TEST(Arrays, EmptyRangesGiveArraysWithoutElementsThatReleaseCleanly) {
  // Once a write of the row pointer (or of later column pointers) into an empty block;
  // the sanitizer build sees it, and so would mrqmin with every parameter held fixed.
  float** m = matrix(1, 0, 1, 3);
  free_matrix(m, 1, 0, 1, 3);
  float*** t = f3tensor(1, 0, 1, 4, 1, 2);
  free_f3tensor(t, 1, 0, 1, 4, 1, 2);
  unsigned char*** c = c3tensor(0, 1, 1, 0, 1, 2);
  free_c3tensor(c, 0, 1, 1, 0, 1, 2);
  float block[1] = {kGuard};
  float** view = convert_matrix(block, 1, 0, 1, 1);
  free_convert_matrix(view, 1, 0, 1, 1);
  EXPECT_EQ(block[0], kGuard);
}

TEST(Svdfit, AnEmptyModelFitsNothingAndLeavesChiSquareOfTheData) {
  // fpoly sets terms[1] even for no terms; svdfit once gave it a block of none.
  float x[3] = {0.0f, 1.0f, 2.0f}, y[3] = {0.0f, 3.0f, -4.0f}, sigma[3] = {0.0f, 1.0f, 2.0f};
  float** u = matrix(1, 2, 1, 0);
  float** v = matrix(1, 0, 1, 0);
  float w[1], coef[1];
  float chisq = -1.0f;
  svdfit(x, y, sigma, 2, coef, 0, u, v, w, &chisq, fpoly);
  EXPECT_EQ(chisq, 9.0f + 4.0f);  // (3/1)^2 + (-4/2)^2, both exact
  free_matrix(v, 1, 0, 1, 0);
  free_matrix(u, 1, 2, 1, 0);
}

TEST(Ran1, ASeedOfMinusTheModulusRestartsLikeAnyOtherInsteadOfGivingZeros) {
  // -(2^31 - 1) negated to the modulus, which the generator maps to 0 for ever.
  int seed = -2147483647;
  const float first = ran1(&seed);
  int reference = -1;
  EXPECT_EQ(first, ran1(&reference));
  EXPECT_GT(first, 0.0f);
  seed = 2147483647;  // the modulus itself, which no draw leaves in the seed
  EXPECT_EQ(ran1(&seed), first);
  EXPECT_GE(seed, 1);
}

TEST(Gammq, NaNGivesNaNAndAnInfiniteXTheLimitZero) {
  EXPECT_TRUE(std::isnan(gammq(kNaN, 1.0f)));
  EXPECT_TRUE(std::isnan(gammq(1.0f, kNaN)));
  EXPECT_EQ(gammq(2.0f, INFINITY), 0.0f);
  float result = 0.0f, ln_gamma = 0.0f;
  gser(&result, 1.0f, kNaN, &ln_gamma);  // once 100 terms and "a too large"
  EXPECT_TRUE(std::isnan(result));
  gcf(&result, kNaN, 3.0f, &ln_gamma);
  EXPECT_TRUE(std::isnan(result));
}

TEST(CovsrtDeathTest, AnMfitThatDisagreesWithTheFlagsIsRefusedByName) {
  float** covariance = matrix(1, 2, 1, 2);
  int flags[3] = {0, 1, 0};
  EXPECT_EXIT(covsrt(covariance, 2, flags, 2), ExitedWithCode(1),
              "covsrt: mfit = 2 but fitflags mark 1 parameters");
  free_matrix(covariance, 1, 2, 1, 2);
}
