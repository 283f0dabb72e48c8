// Statistics are checked on small samples whose results are worked out by hand (noted
// beside each case), on data built to have a known answer (exact lines, constant or
// identical samples), and against identities between routines (Spearman's rho is
// Pearson's r of the ranks; a weighted fit with equal sigmas is the unweighted fit).
#include "numerics/statistics.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "numerics/special_functions.h"

namespace {

// Results of a handful of float operations on values of order one: a few roundings.
constexpr float kFewRoundings = 4 * FLT_EPSILON;
// An output that the routine must not touch keeps this value.
constexpr float kUntouched = -12345.0f;

// One-based view of a braced list: element 0 is padding, never read.
std::vector<float> oneBased(std::initializer_list<float> values) {
  std::vector<float> v{0.0f};
  v.insert(v.end(), values);
  return v;
}

}  // namespace

TEST(Avevar, GivesTheMeanAndTheUnbiasedVariance) {
  auto data = oneBased({1, 2, 3, 4});
  float mean, variance;
  avevar(data.data(), 4, &mean, &variance);
  EXPECT_EQ(mean, 2.5f);
  EXPECT_EQ(variance, 5.0f / 3.0f);  // squared deviations 2.25, 0.25, 0.25, 2.25 over 3
  // A single value divides zero by zero.
  avevar(data.data(), 1, &mean, &variance);
  EXPECT_EQ(mean, 1.0f);
  EXPECT_TRUE(std::isnan(variance));
}

TEST(Ttest, PoolsTheVariancesAndLeavesTheProbabilityAlone) {
  auto a = oneBased({1, 2, 3, 4});
  auto b = oneBased({3, 4, 5, 6});
  float t, prob = kUntouched;
  // Means 2.5 and 4.5, pooled variance 5/3: t = -2 / sqrt(5/3 * (1/4 + 1/4)).
  ttest(a.data(), 4, b.data(), 4, &t, &prob);
  EXPECT_NEAR(t, -2.0 / std::sqrt(5.0 / 6.0), kFewRoundings * 3);
  EXPECT_EQ(prob, kUntouched);
  auto c = oneBased({7, 7, 7});
  auto d = oneBased({9, 9});
  ttest(c.data(), 3, d.data(), 2, &t, &prob);
  EXPECT_EQ(t, 0.0f);
  EXPECT_EQ(prob, kUntouched);
}

TEST(Tutest, UsesTheSeparateVariancesAndLeavesTheProbabilityAlone) {
  auto a = oneBased({1, 2, 3, 4});
  auto b = oneBased({2, 4, 6, 8, 10, 12});
  float t, prob = kUntouched;
  // Means 2.5 and 7, variances 5/3 and 14: t = -4.5 / sqrt(5/12 + 14/6) = -4.5/sqrt(2.75).
  tutest(a.data(), 4, b.data(), 6, &t, &prob);
  EXPECT_NEAR(t, -4.5 / std::sqrt(2.75), kFewRoundings * 3);
  EXPECT_EQ(prob, kUntouched);
  auto c = oneBased({7, 7, 7});
  auto d = oneBased({9, 9});
  tutest(c.data(), 3, d.data(), 2, &t, &prob);
  EXPECT_EQ(t, 0.0f);
}

TEST(Kstwo, MeasuresTheLargestGapBetweenTheEmpiricalDistributions) {
  float d, prob = kUntouched;
  auto same1 = oneBased({3, 1, 2});
  auto same2 = oneBased({2, 3, 1});
  kstwo(same1.data(), 3, same2.data(), 3, &d, &prob);
  EXPECT_EQ(d, 0.0f);
  EXPECT_EQ(prob, kUntouched);
  // Both inputs come back sorted.
  EXPECT_EQ(same1, oneBased({1, 2, 3}));
  EXPECT_EQ(same2, oneBased({1, 2, 3}));

  auto low = oneBased({2, 1, 3});
  auto high = oneBased({5, 4});
  kstwo(low.data(), 3, high.data(), 2, &d, &prob);
  EXPECT_EQ(d, 1.0f);

  // 1,3,5 against 2,4: the distribution functions step to 1/3, then 1/2 and 2/3, then
  // 1: the largest gap is 1/3.
  auto odd = oneBased({5, 1, 3});
  auto even = oneBased({4, 2});
  kstwo(odd.data(), 3, even.data(), 2, &d, &prob);
  EXPECT_EQ(d, 1.0f / 3.0f);

  // A shared value advances both samples in one round: after 1 the gap is 1/2, after
  // the tie at 2 it is |1/2 - 1| = 1/2, and the walk stops with the first sample spent.
  auto first = oneBased({1, 2});
  auto second = oneBased({2, 3});
  kstwo(first.data(), 2, second.data(), 2, &d, &prob);
  EXPECT_EQ(d, 0.5f);
}

TEST(Crank, AveragesTheRanksOfTiesAndSumsTheirCubes) {
  float tie_sum;
  auto tied = oneBased({1, 2, 2, 2, 5});
  crank(5, tied.data(), &tie_sum);
  EXPECT_EQ(tied, oneBased({1, 3, 3, 3, 5}));
  EXPECT_EQ(tie_sum, 24.0f);  // one group of three: 27 - 3

  auto distinct = oneBased({1, 2, 3});
  crank(3, distinct.data(), &tie_sum);
  EXPECT_EQ(distinct, oneBased({1, 2, 3}));
  EXPECT_EQ(tie_sum, 0.0f);

  // A tie group reaching the last index is ranked inside the loop.
  auto tail = oneBased({1, 4, 4});
  crank(3, tail.data(), &tie_sum);
  EXPECT_EQ(tail, oneBased({1, 2.5f, 2.5f}));
  EXPECT_EQ(tie_sum, 6.0f);

  auto pairs = oneBased({0, 0, 7, 7});
  crank(4, pairs.data(), &tie_sum);
  EXPECT_EQ(pairs, oneBased({1.5f, 1.5f, 3.5f, 3.5f}));
  EXPECT_EQ(tie_sum, 12.0f);
}

TEST(Spear, ComparesTheRankDifferencesWithTheirExpectation) {
  // Ranks 1..5 against 2,1,4,3,5: d = 4, rho = 1 - 6 d / (n^3 - n) = 0.8; without ties
  // d has mean (n^3 - n)/6 = 20 and variance n^2 (n-1) (n+1)^2 / 36 = 100, so
  // d_z = -1.6 and d_prob = erfc(1.6 / sqrt 2).
  auto x = oneBased({10, 20, 30, 40, 50});
  auto y = oneBased({2, 1, 4, 3, 5});
  float d, d_z, d_prob, rho, rho_prob = kUntouched;
  spear(x.data(), y.data(), 5, &d, &d_z, &d_prob, &rho, &rho_prob);
  EXPECT_EQ(d, 4.0f);
  EXPECT_NEAR(rho, 0.8f, kFewRoundings);
  EXPECT_NEAR(d_z, -1.6f, kFewRoundings);
  EXPECT_NEAR(d_prob, std::erfc(1.6 / std::sqrt(2.0)), 1e-6);
  EXPECT_EQ(rho_prob, kUntouched);
  // The inputs are copied, not ranked in place.
  EXPECT_EQ(x, oneBased({10, 20, 30, 40, 50}));
  EXPECT_EQ(y, oneBased({2, 1, 4, 3, 5}));
}

TEST(Spear, WithTiesEqualsPearsonsCorrelationOfTheAveragedRanks) {
  auto x = oneBased({1, 2, 2, 3});
  auto y = oneBased({1, 2, 3, 4});
  float d, d_z, d_prob, rho, rho_prob;
  spear(x.data(), y.data(), 4, &d, &d_z, &d_prob, &rho, &rho_prob);
  EXPECT_EQ(d, 0.5f);  // ranks 1, 2.5, 2.5, 4 against 1, 2, 3, 4
  auto ranks = oneBased({1, 2.5f, 2.5f, 4});
  float r;
  pearsn(ranks.data(), y.data(), 4, &r, nullptr, nullptr);
  EXPECT_NEAR(rho, r, kFewRoundings);
  EXPECT_NEAR(rho, std::sqrt(0.9), kFewRoundings);
}

TEST(Spear, GivesOneForEqualOrderAndZeroWhenOneSampleIsAllTied) {
  auto x = oneBased({0.5f, 3, 8, 9});
  auto y = oneBased({-4, -1, 6, 100});
  float d, d_z, d_prob, rho, rho_prob;
  spear(x.data(), y.data(), 4, &d, &d_z, &d_prob, &rho, &rho_prob);
  EXPECT_EQ(d, 0.0f);
  EXPECT_EQ(rho, 1.0f);

  auto flat = oneBased({2, 2, 2, 2});
  d_z = d_prob = kUntouched;
  rho = rho_prob = 0.5f;
  spear(flat.data(), y.data(), 4, &d, &d_z, &d_prob, &rho, &rho_prob);
  EXPECT_EQ(rho, 0.0f);
  EXPECT_EQ(rho_prob, 0.0f);
  EXPECT_EQ(d_z, kUntouched);
  EXPECT_EQ(d_prob, kUntouched);
}

TEST(Pearsn, GivesTheCorrelationOnlyAndZeroForAConstantSample) {
  auto x = oneBased({1, 2, 3});
  auto y = oneBased({1, 3, 2});
  float r, prob = kUntouched, z = kUntouched;
  // Deviations (-1, 0, 1) and (-1, 1, 0): r = 1 / sqrt(2 * 2).
  pearsn(x.data(), y.data(), 3, &r, &prob, &z);
  EXPECT_EQ(r, 0.5f);
  EXPECT_EQ(prob, kUntouched);
  EXPECT_EQ(z, kUntouched);
  pearsn(x.data(), x.data(), 3, &r, &prob, &z);
  EXPECT_EQ(r, 1.0f);
  auto flat = oneBased({4, 4, 4});
  pearsn(flat.data(), y.data(), 3, &r, &prob, &z);
  EXPECT_EQ(r, 0.0f);
}

TEST(PearsnProb, AddsTheTwoSidedProbabilityOfTheCorrelation) {
  auto x = oneBased({1, 2, 3, 4, 5, 6, 7, 8});
  auto y = oneBased({2, 1, 4, 3, 7, 5, 6, 9});
  float r, prob, z = kUntouched, batch;
  pearsn_prob(x.data(), y.data(), 8, &r, &prob, &z);
  pearsn(x.data(), y.data(), 8, &batch, nullptr, nullptr);
  EXPECT_NEAR(r, batch, kFewRoundings);
  // The same probability as converting r directly (both go through the t tail).
  EXPECT_NEAR(prob, r_to_p(r, 8), kFewRoundings);
  EXPECT_GT(prob, 0.0f);
  EXPECT_LT(prob, 0.05f);  // r is about 0.89 on 6 degrees of freedom
  EXPECT_EQ(z, kUntouched);
}

TEST(PearsnInc, StartsAtZeroAndFollowsTheRunningMeanDeviations) {
  float count = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, r;
  pearsn_inc(0, 0, count, sx, sy, sxx, syy, sxy, &r);
  EXPECT_EQ(r, 0.0f);
  // (1, 1): running means 1/2, deviations 1/2 each. (2, 0): means 1 and 1/3,
  // deviations 1 and -1/3. So sxx = 5/4, syy = 1/4 + 1/9, sxy = 1/4 - 1/3: each point
  // measured from the means of the points so far, not from the final means (for which
  // sxy would be 0).
  pearsn_inc(1, 1, count, sx, sy, sxx, syy, sxy, &r);
  EXPECT_EQ(r, 1.0f);
  pearsn_inc(2, 0, count, sx, sy, sxx, syy, sxy, &r);
  EXPECT_EQ(count, 3.0f);
  EXPECT_EQ(sx, 3.0f);
  EXPECT_EQ(sy, 1.0f);
  EXPECT_EQ(sxx, 1.25f);
  EXPECT_NEAR(syy, 0.25 + 1.0 / 9.0, kFewRoundings);
  EXPECT_NEAR(sxy, 0.25 - 1.0 / 3.0, kFewRoundings);
  EXPECT_NEAR(r, (0.25 - 1.0 / 3.0) / std::sqrt(1.25 * (0.25 + 1.0 / 9.0)), kFewRoundings);
}

TEST(RegrInc, RecoversAnExactLineAndStartsFlat) {
  float count = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  float intercept, slope, mean_y;
  regr_inc(1.0f, 4.0f, count, sx, sy, sxx, syy, sxy, &intercept, &slope, &mean_y);
  EXPECT_EQ(slope, 0.0f);
  EXPECT_EQ(intercept, 4.0f);
  EXPECT_EQ(mean_y, 4.0f);
  // y = 1.5 x + 2.5: the running deviations stay proportional, so the line comes out
  // up to the rounding of the running means.
  for (int i = 2; i <= 20; ++i) {
    const float x = static_cast<float>(i);
    regr_inc(x, 1.5f * x + 2.5f, count, sx, sy, sxx, syy, sxy, &intercept, &slope, &mean_y);
  }
  EXPECT_NEAR(slope, 1.5f, 8 * FLT_EPSILON * 1.5f);
  EXPECT_NEAR(intercept, 2.5f, 64 * FLT_EPSILON * 2.5f);  // sums of order 300 cancel
  EXPECT_EQ(mean_y, sy / count);
}

TEST(RegrInc, UsesTheRunningSumsOfThePointsSoFar) {
  // The three points of the PearsnInc case: slope = sxy / sxx = -1/15, and the
  // intercept passes through the means (1, 1/3).
  float count = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
  float intercept, slope, mean_y;
  regr_inc(0, 0, count, sx, sy, sxx, syy, sxy, &intercept, &slope, &mean_y);
  regr_inc(1, 1, count, sx, sy, sxx, syy, sxy, &intercept, &slope, &mean_y);
  regr_inc(2, 0, count, sx, sy, sxx, syy, sxy, &intercept, &slope, &mean_y);
  EXPECT_NEAR(slope, -1.0 / 15.0, kFewRoundings);
  EXPECT_NEAR(mean_y, 1.0 / 3.0, kFewRoundings);
  EXPECT_NEAR(intercept, 1.0 / 3.0 + 1.0 / 15.0, kFewRoundings);
}

TEST(Fit, WithoutSigmaScalesTheDeviationsByTheScatter) {
  // Through (0,1), (1,3), (2,2), (3,5): centred x -1.5, -0.5, 0.5, 1.5 (stt = 5),
  // slope = 5.5 / 5 = 1.1, intercept = (11 - 6 * 1.1) / 4 = 1.1; residuals -0.1, 0.8,
  // -1.3, 0.6 give chi2 = 2.7; unscaled deviations sqrt(0.7) and sqrt(0.2), scaled by
  // sqrt(2.7 / 2).
  auto x = oneBased({0, 1, 2, 3});
  auto y = oneBased({1, 3, 2, 5});
  float a, b, a_sd, b_sd, chi2, q;
  fit(x.data(), y.data(), 4, nullptr, 0, &a, &b, &a_sd, &b_sd, &chi2, &q);
  EXPECT_NEAR(a, 1.1f, kFewRoundings * 2);
  EXPECT_NEAR(b, 1.1f, kFewRoundings * 2);
  EXPECT_NEAR(chi2, 2.7f, kFewRoundings * 4);
  EXPECT_NEAR(a_sd, std::sqrt(0.7 * 1.35), kFewRoundings * 2);
  EXPECT_NEAR(b_sd, std::sqrt(0.2 * 1.35), kFewRoundings * 2);
  EXPECT_EQ(q, 1.0f);
}

TEST(Fit, WithUnitSigmaGivesTheSameLineAndAGoodnessOfFit) {
  auto x = oneBased({0, 1, 2, 3});
  auto y = oneBased({1, 3, 2, 5});
  auto ones = oneBased({1, 1, 1, 1});
  auto twos = oneBased({2, 2, 2, 2});
  float a0, b0, a_sd0, b_sd0, chi0, q0;
  fit(x.data(), y.data(), 4, nullptr, 0, &a0, &b0, &a_sd0, &b_sd0, &chi0, &q0);
  float a, b, a_sd, b_sd, chi2, q;
  fit(x.data(), y.data(), 4, ones.data(), 1, &a, &b, &a_sd, &b_sd, &chi2, &q);
  EXPECT_EQ(a, a0);
  EXPECT_EQ(b, b0);
  EXPECT_EQ(chi2, chi0);
  // Unscaled deviations; q = Q(1, 1.35) = exp(-1.35) for two degrees of freedom.
  EXPECT_NEAR(a_sd, std::sqrt(0.7), kFewRoundings);
  EXPECT_NEAR(b_sd, std::sqrt(0.2), kFewRoundings);
  EXPECT_NEAR(q, std::exp(-1.35), kFewRoundings * 2);
  // Doubling every sigma keeps the line, quarters chi-square, doubles the deviations.
  float a2, b2, a_sd2, b_sd2, chi2_2, q2;
  fit(x.data(), y.data(), 4, twos.data(), 1, &a2, &b2, &a_sd2, &b_sd2, &chi2_2, &q2);
  EXPECT_NEAR(a2, a, kFewRoundings * 2);
  EXPECT_NEAR(b2, b, kFewRoundings * 2);
  EXPECT_NEAR(chi2_2, chi2 / 4, kFewRoundings * 2);
  EXPECT_NEAR(a_sd2, 2 * a_sd, kFewRoundings * 2);
  EXPECT_NEAR(b_sd2, 2 * b_sd, kFewRoundings * 2);
}

TEST(Fit, AHugeSigmaTakesAPointOutOfTheFit) {
  // The outlier at x = 4 weighs 1e-8 against the others: the line is that of the first
  // four points, which lie exactly on y = 2 - 0.5 x.
  auto x = oneBased({0, 1, 2, 3, 4});
  auto y = oneBased({2, 1.5f, 1, 0.5f, 40});
  auto sigma = oneBased({1, 1, 1, 1, 1e4f});
  float a, b, a_sd, b_sd, chi2, q;
  fit(x.data(), y.data(), 5, sigma.data(), 1, &a, &b, &a_sd, &b_sd, &chi2, &q);
  EXPECT_NEAR(a, 2.0f, 1e-5f);
  EXPECT_NEAR(b, -0.5f, 1e-5f);
  EXPECT_GT(q, 0.99f);
}

TEST(FitDeathTest, WithSigmaNeedsMoreThanTwoPoints) {
  auto x = oneBased({0, 1});
  auto y = oneBased({1, 2});
  auto sigma = oneBased({1, 1});
  float a, b, a_sd, b_sd, chi2, q;
  EXPECT_EXIT(fit(x.data(), y.data(), 2, sigma.data(), 1, &a, &b, &a_sd, &b_sd, &chi2, &q),
              ::testing::ExitedWithCode(1), "Invalid arguments in routine gammq");
}
