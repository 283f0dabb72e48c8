// Special functions are checked against identities (symmetry, closed forms for
// particular parameters) and against the standard library's independent lgamma, exp
// and erfc; the conversions against their defining relation to the forward routines.
#include "numerics/special_functions.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

namespace {

// Tolerances in units of FLT_EPSILON. The gamma series stops once a term is below
// 3e-7 (about 2.5 FLT_EPSILON) of the sum; with float summation and the subtraction
// 1 - P this leaves a few FLT_EPSILON of absolute error on the series path, and a few
// of relative error on the continued-fraction path (float Lentz steps, float ln Gamma in
// the prefactor).
constexpr double kGammaSeriesAbs = 4 * FLT_EPSILON;
constexpr double kGammaFractionRel = 12 * FLT_EPSILON;
// The incomplete beta function is evaluated with a double fraction and a float
// prefactor: one or two float roundings.
constexpr double kBetaAbs = 2 * FLT_EPSILON;

// I_x(a, b) for integer a, b is the binomial tail P(Bin(a + b - 1, x) >= a).
double binomialTail(int a, int b, double x) {
  const int n = a + b - 1;
  double sum = 0.0;
  for (int j = a; j <= n; ++j) {
    double choose = 1.0;
    for (int k = 0; k < j; ++k) choose = choose * (n - k) / (k + 1);
    sum += choose * std::pow(x, j) * std::pow(1.0 - x, n - j);
  }
  return sum;
}

}  // namespace

TEST(Gammln, AgreesWithTheStandardLogGammaOverALargeRange) {
  EXPECT_NEAR(gammln(1.0), 0.0, 1e-10);
  EXPECT_NEAR(gammln(2.0), 0.0, 1e-10);
  EXPECT_NEAR(gammln(0.5), 0.5 * std::log(M_PI), 1e-10);
  // The six-term Lanczos series is accurate to about 2e-10 in Gamma itself.
  for (double x = 0.01; x < 100.0; x *= 1.07) EXPECT_NEAR(gammln(x), std::lgamma(x), 2e-10) << x;
}

TEST(Gammq, OfOneIsTheExponentialOnTheSeriesAndTheFractionPath) {
  // x < a + 1 = 2 takes the series, the rest the continued fraction.
  for (float x = 0.0f; x < 40.0f; x += 0.0625f) {
    const double expected = std::exp(-static_cast<double>(x));
    if (x < 2.0f) {
      EXPECT_NEAR(gammq(1.0f, x), expected, kGammaSeriesAbs) << x;
    } else {
      EXPECT_NEAR(gammq(1.0f, x), expected, kGammaFractionRel * expected) << x;
    }
  }
  EXPECT_EQ(gammq(1.0f, 0.0f), 1.0f);
  EXPECT_EQ(gammq(7.5f, 0.0f), 1.0f);
}

TEST(Gammq, OfOneHalfIsTheComplementaryErrorFunctionOfTheRoot) {
  for (float x = 0.0f; x < 40.0f; x += 0.0625f) {
    const double expected = std::erfc(std::sqrt(static_cast<double>(x)));
    if (x < 1.5f) {
      EXPECT_NEAR(gammq(0.5f, x), expected, kGammaSeriesAbs) << x;
    } else {
      EXPECT_NEAR(gammq(0.5f, x), expected, kGammaFractionRel * expected) << x;
    }
  }
}

TEST(Gammq, SeriesAndFractionGiveTheSameValueAtTheirBoundary) {
  // Either method is valid on both sides; near x = a + 1 both converge, so P + Q = 1.
  // Both use the same ln Gamma(a) rounded to float, whose error of up to
  // |ln Gamma(a)| FLT_EPSILON / 2 in the exponent scales P and Q alike.
  for (float a : {0.5f, 3.0f, 20.0f}) {
    float p, q, lg1, lg2;
    gser(&p, a, a + 1.0f, &lg1);
    gcf(&q, a, a + 1.0f, &lg2);
    EXPECT_NEAR(p + q, 1.0f, kGammaSeriesAbs + std::fabs(gammln(a)) * FLT_EPSILON / 2) << a;
    // Both hand back ln Gamma(a) rounded to float.
    EXPECT_EQ(lg1, static_cast<float>(gammln(a)));
    EXPECT_EQ(lg2, lg1);
  }
}

TEST(GammqDeathTest, RejectsANegativeXOrANonPositiveA) {
  EXPECT_EXIT(gammq(1.0f, -0.5f), ::testing::ExitedWithCode(1),
              "Invalid arguments in routine gammq");
  EXPECT_EXIT(gammq(0.0f, 1.0f), ::testing::ExitedWithCode(1),
              "Invalid arguments in routine gammq");
  float r, lg;
  EXPECT_EXIT(gser(&r, 1.0f, -1.0f, &lg), ::testing::ExitedWithCode(1),
              "x less than 0 in routine gser");
}

TEST(GammqDeathTest, StopsWhenALargeAExhaustsTheIterationLimit) {
  // For a = 10^4 both expansions need far more than 100 terms near x = a.
  float r, lg;
  EXPECT_EXIT(gser(&r, 1.0e4f, 1.0e4f, &lg), ::testing::ExitedWithCode(1),
              "a too large, ITMAX too small in routine gser");
  EXPECT_EXIT(gcf(&r, 1.0e4f, 1.0e4f + 2.0f, &lg), ::testing::ExitedWithCode(1),
              "a too large, ITMAX too small in gcf");
}

TEST(Betai, MatchesTheBinomialTailForIntegerParameters) {
  EXPECT_NEAR(betai(2.0f, 3.0f, 0.4f), 0.5248, kBetaAbs);
  // Both branches (direct fraction below (a+1)/(a+b+2), symmetry above) are covered.
  for (int a = 1; a <= 6; ++a) {
    for (int b = 1; b <= 6; ++b) {
      for (float x = 0.0f; x <= 1.0f; x += 1.0f / 32) {
        EXPECT_NEAR(betai(a, b, x), binomialTail(a, b, x), kBetaAbs) << a << " " << b << " " << x;
      }
    }
  }
}

TEST(Betai, IsSymmetricUnderExchangingTheParametersAndReflectingX) {
  for (float a : {0.5f, 2.0f, 7.5f, 40.0f}) {
    for (float b : {0.5f, 3.0f, 12.0f}) {
      for (float x = 0.0f; x <= 1.0f; x += 1.0f / 64) {
        EXPECT_NEAR(betai(a, b, x), 1.0f - betai(b, a, 1.0f - x), 2 * kBetaAbs)
            << a << " " << b << " " << x;
      }
    }
  }
}

TEST(Betai, IsExactlyZeroAndOneAtTheEndsAndZeroOutside) {
  EXPECT_EQ(betai(2.0f, 3.0f, 0.0f), 0.0f);
  EXPECT_EQ(betai(2.0f, 3.0f, 1.0f), 1.0f);
  EXPECT_EQ(betai(2.0f, 3.0f, -0.1f), 0.0f);
  EXPECT_EQ(betai(2.0f, 3.0f, 1.1f), 0.0f);
}

TEST(Erfcc, StaysWithinItsApproximationBoundOfTheStandardErfc) {
  // The rational fit is good to 1.2e-7 relative; on top come half an FLT_EPSILON for
  // each float rounding of t and of the result, and the float square z*z in the
  // exponent, whose rounding error x^2 FLT_EPSILON / 2 becomes a relative error of the
  // result. Beyond |x| = 9 erfc underflows into the float subnormals.
  for (float x = -9.0f; x <= 9.0f; x += 1.0f / 256) {
    const double expected = std::erfc(static_cast<double>(x));
    const double bound = 1.2e-7 + (2.0 + static_cast<double>(x) * x) * FLT_EPSILON / 2;
    EXPECT_NEAR(erfcc(x), expected, bound * expected) << x;
  }
  EXPECT_EQ(erfcc(0.0f), 1.0f);
  EXPECT_NEAR(erfcc(1.0f), 0.157299, 1e-6);
}

TEST(Erfcc, OfANegativeArgumentIsTwoMinusTheValueAtItsMagnitude) {
  for (float x = 0.0f; x <= 5.0f; x += 0.125f) {
    EXPECT_EQ(erfcc(-x), static_cast<float>(2.0 - static_cast<double>(erfcc(x)))) << x;
  }
}

TEST(Probks, SumsTheAlternatingSeriesAndFallsBackToOneForSmallLambda) {
  // Reference: the same series summed in double until the terms vanish.
  for (float lambda : {0.4f, 0.7f, 1.0f, 1.5f, 2.5f}) {
    double expected = 0.0;
    for (int j = 1; j <= 50; ++j) {
      const double l = lambda;
      expected += 2.0 * ((j % 2) ? 1 : -1) * std::exp(-2.0 * j * j * l * l);
    }
    // The series stops at a term below 0.001 of the previous one: the next term is
    // smaller still, a relative truncation of at most about 1e-6 for these lambdas.
    EXPECT_NEAR(probks(lambda), expected, 1e-6 + 4 * FLT_EPSILON * expected) << lambda;
  }
  EXPECT_NEAR(probks(1.0f), 0.27000, 5e-6);
  // For lambda = 0 the partial sums alternate between 2 and 0 and never settle.
  EXPECT_EQ(probks(0.0f), 1.0f);
}

TEST(PToZ, IsTheRootOfMinusFourLogOneMinusP) {
  EXPECT_EQ(p_to_z(0.0f), 0.0f);
  EXPECT_NEAR(p_to_z(0.5f), 1.66511, 1e-5);
  // p = 1 is evaluated as the largest float below 1.
  EXPECT_NEAR(p_to_z(1.0f), 7.98558, 1e-5);
  EXPECT_EQ(p_to_z(1.0f), p_to_z(0.99999988f));
  for (float p = 0.0625f; p < 1.0f; p += 0.0625f) {
    // Three float roundings (v, w = v*v, the root) and the final product.
    const double expected = std::sqrt(-4.0 * std::log(1.0 - p));
    EXPECT_NEAR(p_to_z(p), expected, 4 * FLT_EPSILON * expected) << p;
  }
}

TEST(ForwardConversions, HandleTheirSpecialValues) {
  EXPECT_EQ(t_to_p(0.0f, 7), 1.0f);
  EXPECT_EQ(F_to_p(-1.0f, 3, 9), 0.0f);
  EXPECT_EQ(F_to_p(0.0f, 3, 9), 1.0f);
  EXPECT_EQ(r_to_p(0.0f, 12), 1.0f);
  EXPECT_EQ(r_to_p(1.0f, 12), 0.0f);
  EXPECT_EQ(r_to_p(0.5f, 0), 1.0f);
  EXPECT_EQ(r_to_p(0.5f, 1), 1.0f);
  // Two observations leave no degrees of freedom: the result is not a number.
  EXPECT_TRUE(std::isnan(r_to_p(0.5f, 2)));
}

TEST(ForwardConversions, AgreeWithClosedFormsForSmallDegreesOfFreedom) {
  // One degree of freedom: P(|t| >= t) = 1 - 2 atan(t)/pi. Two numerator and any
  // denominator degrees for F: (1 + 2F/df2)^(-df2/2).
  for (float t = 0.25f; t < 20.0f; t += 0.25f) {
    const double expected = 1.0 - 2.0 * std::atan(static_cast<double>(t)) / M_PI;
    EXPECT_NEAR(t_to_p(t, 1), expected, kBetaAbs + 4 * FLT_EPSILON * expected) << t;
  }
  for (float F = 0.25f; F < 20.0f; F += 0.25f) {
    const double expected = std::pow(1.0 + 2.0 * F / 20.0, -10.0);
    EXPECT_NEAR(F_to_p(F, 2, 20), expected, kBetaAbs + 4 * FLT_EPSILON * expected) << F;
  }
  // A correlation r from n points is the t value r sqrt((n-2)/(1-r^2)).
  for (float r = -0.9f; r < 0.95f; r += 0.1f) {
    const float t = r * std::sqrt(18.0f / (1.0f - r * r));
    EXPECT_NEAR(r_to_p(r, 20), t_to_p(t, 18), 4 * FLT_EPSILON) << r;
  }
}

TEST(InverseConversions, ReachTheTabulatedCriticalValues) {
  // The walk ends within its last step of the exact inverse; these are the 5 % values
  // of t(10), F(2, 20) and r(20), to the digits given.
  EXPECT_NEAR(p_to_t(0.05f, 10), 2.2281f, 1e-4f);
  EXPECT_NEAR(p_to_F(0.05f, 2, 20), 3.4927f, 1e-4f);
  EXPECT_NEAR(p_to_r(0.05f, 20), 0.4438f, 1e-4f);
  EXPECT_NEAR(t_to_p(p_to_t(0.01f, 30), 30), 0.01f, 1e-5f);
  EXPECT_NEAR(F_to_p(p_to_F(0.2f, 4, 8), 4, 8), 0.2f, 1e-5f);
  EXPECT_NEAR(r_to_p(p_to_r(0.3f, 50), 50), 0.3f, 1e-5f);
}

TEST(InverseConversions, EndAtTheirBoundsWhenTheTargetIsOutOfReach) {
  // p = 0 is never above the forward value, so every step goes up: 25 steps from the
  // start. Past r = 1 r_to_p yields NaN, which also counts as "go up".
  EXPECT_EQ(p_to_F(0.0f, 2, 20), 60.0f);
  EXPECT_EQ(p_to_t(0.0f, 10), 54.0f);
  EXPECT_NEAR(p_to_r(0.0f, 20), 5.4f, 1e-5f);
}
