// Fits are checked on data built from known models (exact polynomials, sums of
// Gaussians), so the answer is known by construction; the Levenberg-Marquardt protocol
// with models whose chi-square cannot change; and the linear fit against the
// independent straight-line fit of the statistics family.
#include "numerics/fitting.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "numerics/arrays.h"
#include "numerics/statistics.h"
#include "numerics/svd.h"
#include "tests/numerics/owned_arrays.h"

namespace {

// Data points and the work storage a fit needs, all one-based and released on exit.
struct Problem {
  Problem(int npoints, int nparams)
      : npoints(npoints),
        nparams(nparams),
        x(npoints),
        y(npoints),
        sigma(npoints),
        params(nparams),
        flags(nparams),
        covariance(nparams, nparams),
        alpha(nparams, nparams) {
    for (int i = 1; i <= npoints; ++i) sigma[i] = 1.0f;
    for (int j = 1; j <= nparams; ++j) flags[j] = 1;
  }

  // Samples the sum of Gaussians with the given triplets at evenly spaced x.
  void sampleGaussians(const std::vector<double>& truth, double from, double step) {
    for (int i = 1; i <= npoints; ++i) {
      const double xi = from + step * (i - 1);
      double value = 0.0;
      for (std::size_t k = 0; k + 2 < truth.size(); k += 3) {
        const double arg = (xi - truth[k + 1]) / truth[k + 2];
        value += truth[k] * std::exp(-arg * arg);
      }
      x[i] = static_cast<float>(xi);
      y[i] = static_cast<float>(value);
    }
  }

  // Drives mrqmin from a start until damping keeps growing (no further progress) and
  // then finishes the fit. Returns the number of steps taken.
  int fit(ModelFunction model) {
    float lambda = -1.0f;
    int steps = 0;
    do {
      mrqmin(x, y, sigma, npoints, params, flags, nparams, covariance, alpha, &chisq, model,
             &lambda);
      ++steps;
    } while (lambda < 1.0e4f && steps < kMaxSteps);
    lambda = 0.0f;
    mrqmin(x, y, sigma, npoints, params, flags, nparams, covariance, alpha, &chisq, model, &lambda);
    return steps;
  }

  static constexpr int kMaxSteps = 200;
  int npoints, nparams;
  Vector1 x, y, sigma, params;
  IntVector1 flags;
  Matrix1 covariance, alpha;
  float chisq = 0.0f;
};

// A model whose value never changes but whose derivatives (those of a polynomial) say
// it should: every trial step has exactly the chi-square of the start, while the
// curvature matrix stays regular.
void constantModel(float x, float*, float* y, float* deriv, int nparams) {
  *y = 2.0f;
  fpoly(x, deriv, nparams);
}

// A straight line y = p1 + p2 x whose second parameter has no effect on the value and a
// zero derivative: the curvature matrix is singular.
void lineWithDeadParameter(float x, float* p, float* y, float* deriv, int) {
  *y = p[1] + x;
  deriv[1] = 1.0f;
  deriv[2] = 0.0f;
}

// The data are the true model rounded to float, so the fit ends with residuals at the
// level of the model's own rounding and parameters within a few FLT_EPSILON of the
// truth (parameters are of order 1); the margin covers the conditioning of two
// overlapping peaks.
constexpr float kRecoveredParameter = 32 * FLT_EPSILON;

}  // namespace

TEST(Fpoly, FillsThePowersOfXAndAlwaysTheConstant) {
  float p[6] = {0, -1, -1, -1, -1, -1};
  fpoly(2.0f, p, 4);
  EXPECT_EQ(p[1], 1.0f);
  EXPECT_EQ(p[2], 2.0f);
  EXPECT_EQ(p[3], 4.0f);
  EXPECT_EQ(p[4], 8.0f);
  EXPECT_EQ(p[5], -1.0f);
  float q[3] = {0, -1, -1};
  fpoly(3.0f, q, 0);
  EXPECT_EQ(q[1], 1.0f);
  EXPECT_EQ(q[2], -1.0f);
}

namespace {

// Data and work storage of a linear fit, one-based and released on exit.
struct LinearProblem {
  LinearProblem(int npoints, int ncoef)
      : npoints(npoints),
        ncoef(ncoef),
        x(npoints),
        y(npoints),
        sigma(npoints),
        coef(ncoef),
        w(ncoef),
        u(npoints, ncoef),
        v(ncoef, ncoef) {
    for (int i = 1; i <= npoints; ++i) sigma[i] = 1.0f;
  }
  void run(BasisFunction basis) {
    svdfit(x, y, sigma, npoints, coef, ncoef, u, v, w, &chisq, basis);
  }

  int npoints, ncoef;
  Vector1 x, y, sigma, coef, w;
  Matrix1 u, v;
  float chisq = -1.0f;
};

// 1, x, x: the last two columns are equal, so one singular value is zero up to
// rounding and must fall below the relative threshold.
void duplicatedLinearBasis(float x, float* terms, int) {
  terms[1] = 1.0f;
  terms[2] = x;
  terms[3] = x;
}

// Exact data from well-conditioned designs: the coefficients come out within a few
// dozen roundings (condition numbers of order 10 to 100).
constexpr float kExactCoefficient = 64 * FLT_EPSILON;

}  // namespace

TEST(Svdfit, RecoversExactPolynomials) {
  LinearProblem line(5, 2);
  for (int i = 1; i <= 5; ++i) {
    line.x[i] = static_cast<float>(i);
    line.y[i] = 1.0f + 2.0f * line.x[i];
  }
  line.run(fpoly);
  EXPECT_NEAR(line.coef[1], 1.0f, kExactCoefficient);
  EXPECT_NEAR(line.coef[2], 2.0f, kExactCoefficient);
  EXPECT_NEAR(line.chisq, 0.0f, 1e-10f);

  // A cubic with unequal sigmas: weighting does not matter for exact data.
  LinearProblem cubic(9, 4);
  for (int i = 1; i <= 9; ++i) {
    const double xi = -2.0 + 0.5 * (i - 1);
    cubic.x[i] = static_cast<float>(xi);
    cubic.y[i] = static_cast<float>(0.5 - xi + 0.25 * xi * xi + 0.125 * xi * xi * xi);
    cubic.sigma[i] = 0.5f + 0.25f * static_cast<float>(i % 3);
  }
  cubic.run(fpoly);
  const float expected[4] = {0.5f, -1.0f, 0.25f, 0.125f};
  for (int j = 1; j <= 4; ++j) EXPECT_NEAR(cubic.coef[j], expected[j - 1], kExactCoefficient) << j;
  EXPECT_NEAR(cubic.chisq, 0.0f, 1e-10f);
}

TEST(Svdfit, DropsADegenerateBasisFunction) {
  // Every x = 0: the linear term is identically zero, its singular value is 0 and it
  // gets no weight; the constant becomes the sigma-weighted mean of y.
  LinearProblem pr(4, 2);
  const float ys[4] = {1, 2, 6, 3};
  const float sigmas[4] = {1, 2, 1, 0.5f};
  double sum_w = 0.0, sum_wy = 0.0;
  for (int i = 1; i <= 4; ++i) {
    pr.x[i] = 0.0f;
    pr.y[i] = ys[i - 1];
    pr.sigma[i] = sigmas[i - 1];
    const double weight = 1.0 / (double(pr.sigma[i]) * pr.sigma[i]);
    sum_w += weight;
    sum_wy += weight * pr.y[i];
  }
  pr.run(fpoly);
  EXPECT_EQ(pr.coef[2], 0.0f);
  EXPECT_NEAR(pr.coef[1], sum_wy / sum_w, 8 * FLT_EPSILON * (sum_wy / sum_w));
  EXPECT_TRUE(pr.w[1] == 0.0f || pr.w[2] == 0.0f);
}

TEST(Svdfit, SplitsAnAmbiguousCoefficientEvenlyInsteadOfBlowingUp) {
  LinearProblem pr(6, 3);
  for (int i = 1; i <= 6; ++i) {
    pr.x[i] = static_cast<float>(i);
    pr.y[i] = 3.0f - 1.5f * pr.x[i];
  }
  pr.run(duplicatedLinearBasis);
  int dropped = 0;
  for (int j = 1; j <= 3; ++j) dropped += (pr.w[j] == 0.0f);
  EXPECT_EQ(dropped, 1);
  // The minimum-norm solution shares the slope between the two equal columns.
  EXPECT_NEAR(pr.coef[1], 3.0f, kExactCoefficient);
  EXPECT_NEAR(pr.coef[2], -0.75f, kExactCoefficient);
  EXPECT_NEAR(pr.coef[3], -0.75f, kExactCoefficient);
  EXPECT_NEAR(pr.chisq, 0.0f, 1e-9f);
}

TEST(Svdfit, StraightLineAndItsCovarianceMatchTheDirectLineFit) {
  LinearProblem pr(7, 2);
  const float xs[7] = {-1, 0, 1.5f, 2, 3, 4.5f, 6};
  const float ys[7] = {0.2f, 1.1f, 1.7f, 2.9f, 3.2f, 4.4f, 6.1f};
  const float sigmas[7] = {0.5f, 1, 1, 2, 1, 0.5f, 1};
  for (int i = 1; i <= 7; ++i) {
    pr.x[i] = xs[i - 1];
    pr.y[i] = ys[i - 1];
    pr.sigma[i] = sigmas[i - 1];
  }
  pr.run(fpoly);
  Matrix1 cov(2, 2);
  svdvar(pr.v, 2, pr.w, cov);
  float a, b, a_sd, b_sd, chi2, q;
  fit(pr.x, pr.y, 7, pr.sigma, 1, &a, &b, &a_sd, &b_sd, &chi2, &q);
  // Two different float algorithms on well-conditioned data: a few dozen roundings.
  EXPECT_NEAR(pr.coef[1], a, kExactCoefficient * std::fabs(a));
  EXPECT_NEAR(pr.coef[2], b, kExactCoefficient * std::fabs(b));
  EXPECT_NEAR(pr.chisq, chi2, kExactCoefficient * chi2);
  EXPECT_NEAR(std::sqrt(cov[1][1]), a_sd, kExactCoefficient * a_sd);
  EXPECT_NEAR(std::sqrt(cov[2][2]), b_sd, kExactCoefficient * b_sd);
}

TEST(Fgauss, GivesTheValueAndDerivativesAtTheCentreAndOneWidthAway) {
  // B = 3, E = 0.5, G = 2: x = E + G = 2.5 is exact, so arg = 1 exactly.
  float p[4] = {0, 3.0f, 0.5f, 2.0f};
  float y, d[4];
  fgauss(0.5f, p, &y, d, 3);
  EXPECT_EQ(y, 3.0f);
  EXPECT_EQ(d[1], 1.0f);
  EXPECT_EQ(d[2], 0.0f);
  EXPECT_EQ(d[3], 0.0f);
  fgauss(2.5f, p, &y, d, 3);
  const double e1 = std::exp(-1.0);
  // ex is one float rounding from e^-1; the products add one or two more.
  EXPECT_NEAR(y, 3.0 * e1, 2 * FLT_EPSILON * 3.0 * e1);
  EXPECT_NEAR(d[1], e1, FLT_EPSILON * e1);
  EXPECT_NEAR(d[2], 2.0 * 3.0 * e1 / 2.0, 3 * FLT_EPSILON * 3.0 * e1);
  EXPECT_NEAR(d[3], 2.0 * 3.0 * e1 / 2.0, 3 * FLT_EPSILON * 3.0 * e1);
}

TEST(Fgauss, DerivativesMatchCentralDifferencesOfATwoPeakModel) {
  float p[7] = {0, 1.5f, -1.0f, 0.7f, -0.8f, 1.2f, 1.1f};
  const double h = 1e-4;
  for (float x = -3.0f; x <= 3.0f; x += 0.25f) {
    float y, d[7];
    fgauss(x, p, &y, d, 6);
    for (int j = 1; j <= 6; ++j) {
      // The model in double, varied in parameter j.
      auto model = [&](double shift) {
        double value = 0.0;
        for (int i = 1; i <= 4; i += 3) {
          double q[3] = {p[i], p[i + 1], p[i + 2]};
          if (j >= i && j < i + 3) q[j - i] += shift;
          const double arg = (x - q[1]) / q[2];
          value += q[0] * std::exp(-arg * arg);
        }
        return value;
      };
      const double numeric = (model(h) - model(-h)) / (2 * h);
      // Central differences are accurate to about h^2 times the third derivative.
      EXPECT_NEAR(d[j], numeric, 1e-5 + 8 * FLT_EPSILON * std::fabs(numeric)) << x << " " << j;
    }
  }
}

TEST(Fgauss, EvaluatesOnlyCompleteTriplets) {
  // Five parameters: one full triplet and two stray values. The strays are neither read
  // (a sanitizer build flags reading past the vector) nor given a derivative.
  Vector1 p(5);
  p[1] = 2.0f;
  p[2] = 0.0f;
  p[3] = 1.0f;
  p[4] = 100.0f;
  p[5] = 100.0f;
  float d[6] = {0, 0, 0, 0, -7.0f, -7.0f};
  float y;
  fgauss(0.0f, p, &y, d, 5);
  EXPECT_EQ(y, 2.0f);
  EXPECT_EQ(d[4], -7.0f);
  EXPECT_EQ(d[5], -7.0f);
  Vector1 two(2);
  two[1] = two[2] = 1.0f;
  fgauss(0.0f, two, &y, d, 2);
  EXPECT_EQ(y, 0.0f);
}

TEST(Covsrt, SpreadsThePackedBlockOverTheFittedParameters) {
  Matrix1 c(3, 3);
  c.fill(99.0f);  // stale values that must go
  c[1][1] = 11.0f;
  c[1][2] = 12.0f;
  c[2][1] = 21.0f;
  c[2][2] = 22.0f;
  int flags[4] = {0, 1, 0, 1};
  covsrt(c, 3, flags, 2);
  const float expected[3][3] = {{11, 0, 12}, {0, 0, 0}, {21, 0, 22}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(c[i][j], expected[i - 1][j - 1]) << i << j;
}

TEST(Mrqcof, BuildsTheCurvatureAndGradientOfTheFittedParametersOnly) {
  // Model p1 + p2 x + p3 x^2 through fpoly-like derivatives; with p2 fixed the packed
  // system holds parameters 1 and 3.
  Problem pr(3, 3);
  const float xs[3] = {1, 2, 3};
  for (int i = 1; i <= 3; ++i) {
    pr.x[i] = xs[i - 1];
    pr.y[i] = 1.0f;
    pr.sigma[i] = 0.5f;  // weight 4
  }
  pr.params[1] = pr.params[2] = pr.params[3] = 0.0f;
  pr.flags[2] = 0;
  auto quadratic = [](float x, float* p, float* y, float* d, int) {
    *y = p[1] + p[2] * x + p[3] * x * x;
    d[1] = 1.0f;
    d[2] = x;
    d[3] = x * x;
  };
  float beta[4];
  mrqcof(pr.x, pr.y, pr.sigma, 3, pr.params, pr.flags, 3, pr.alpha, beta, &pr.chisq, quadratic);
  // alpha = 4 [sum 1, sum x^2; sum x^2, sum x^4] = 4 [3, 14; 14, 98], beta = 4 [3, 14].
  EXPECT_EQ(pr.alpha[1][1], 12.0f);
  EXPECT_EQ(pr.alpha[1][2], 56.0f);
  EXPECT_EQ(pr.alpha[2][1], 56.0f);
  EXPECT_EQ(pr.alpha[2][2], 392.0f);
  EXPECT_EQ(beta[1], 12.0f);
  EXPECT_EQ(beta[2], 56.0f);
  EXPECT_EQ(pr.chisq, 12.0f);
}

TEST(Mrqmin, FitsOneGaussianFromAReasonableStart) {
  Problem pr(41, 3);
  pr.sampleGaussians({3.0, 0.5, 1.2}, -3.5, 0.2);
  const float start[3] = {2.5f, 0.1f, 1.0f};
  for (int j = 1; j <= 3; ++j) pr.params[j] = start[j - 1];
  const int steps = pr.fit(fgauss);
  EXPECT_LT(steps, Problem::kMaxSteps);
  EXPECT_NEAR(pr.params[1], 3.0f, kRecoveredParameter);
  EXPECT_NEAR(pr.params[2], 0.5f, kRecoveredParameter);
  EXPECT_NEAR(pr.params[3], 1.2f, kRecoveredParameter);
  EXPECT_LT(pr.chisq, 1e-8f);
  // The covariance is the inverse of the curvature matrix at the solution.
  for (int i = 1; i <= 3; ++i) {
    for (int j = 1; j <= 3; ++j) {
      double product = 0.0;
      for (int k = 1; k <= 3; ++k) product += double(pr.covariance[i][k]) * pr.alpha[k][j];
      EXPECT_NEAR(product, i == j ? 1.0 : 0.0, 1e-4) << i << j;
    }
  }
}

TEST(Mrqmin, FitsTwoOverlappingGaussians) {
  Problem pr(61, 6);
  pr.sampleGaussians({2.0, -1.0, 0.8, 1.0, 1.5, 1.0}, -4.0, 0.15);
  const float start[6] = {1.6f, -1.3f, 1.0f, 1.3f, 1.2f, 0.8f};
  for (int j = 1; j <= 6; ++j) pr.params[j] = start[j - 1];
  const int steps = pr.fit(fgauss);
  EXPECT_LT(steps, Problem::kMaxSteps);
  const float truth[6] = {2.0f, -1.0f, 0.8f, 1.0f, 1.5f, 1.0f};
  for (int j = 1; j <= 6; ++j) EXPECT_NEAR(pr.params[j], truth[j - 1], kRecoveredParameter) << j;
}

TEST(Mrqmin, HoldsFixedParametersAndGivesThemZeroCovariance) {
  Problem pr(41, 3);
  pr.sampleGaussians({3.0, 0.5, 1.2}, -3.5, 0.2);
  pr.params[1] = 2.0f;
  pr.params[2] = 0.5f;  // held at the true centre
  pr.params[3] = 1.5f;
  pr.flags[2] = 0;
  pr.fit(fgauss);
  EXPECT_EQ(pr.params[2], 0.5f);
  EXPECT_NEAR(pr.params[1], 3.0f, kRecoveredParameter);
  EXPECT_NEAR(pr.params[3], 1.2f, kRecoveredParameter);
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(pr.covariance[2][k], 0.0f);
    EXPECT_EQ(pr.covariance[k][2], 0.0f);
  }
  EXPECT_GT(pr.covariance[1][1], 0.0f);
  EXPECT_GT(pr.covariance[3][3], 0.0f);
  EXPECT_EQ(pr.covariance[1][3], pr.covariance[3][1]);
}

TEST(Mrqmin, DividesLambdaByTenAfterASuccessfulFirstStep) {
  Problem pr(41, 3);
  pr.sampleGaussians({3.0, 0.5, 1.2}, -3.5, 0.2);
  pr.params[1] = 2.5f;
  pr.params[2] = 0.1f;
  pr.params[3] = 1.0f;
  float start_chisq;
  float beta[4];
  mrqcof(pr.x, pr.y, pr.sigma, pr.npoints, pr.params, pr.flags, 3, pr.alpha, beta, &start_chisq,
         fgauss);
  float lambda = -1.0f;
  mrqmin(pr.x, pr.y, pr.sigma, pr.npoints, pr.params, pr.flags, 3, pr.covariance, pr.alpha,
         &pr.chisq, fgauss, &lambda);
  EXPECT_EQ(lambda, static_cast<float>(static_cast<double>(0.001f) * 0.1));
  EXPECT_LT(pr.chisq, start_chisq);
  EXPECT_NE(pr.params[1], 2.5f);
  lambda = 0.0f;
  mrqmin(pr.x, pr.y, pr.sigma, pr.npoints, pr.params, pr.flags, 3, pr.covariance, pr.alpha,
         &pr.chisq, fgauss, &lambda);
}

TEST(Mrqmin, CountsAnEqualChiSquareAsAFailure) {
  Problem pr(4, 2);
  for (int i = 1; i <= 4; ++i) {
    pr.x[i] = static_cast<float>(i);
    pr.y[i] = static_cast<float>(i);
  }
  pr.params[1] = 0.25f;
  pr.params[2] = -0.5f;
  float lambda = -1.0f;
  // y - 2 = -1, 0, 1, 2: chi-square 6 at every parameter value.
  mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha, &pr.chisq,
         constantModel, &lambda);
  EXPECT_EQ(lambda, 0.001f * 10.0f);
  EXPECT_EQ(pr.chisq, 6.0f);
  EXPECT_EQ(pr.params[1], 0.25f);
  EXPECT_EQ(pr.params[2], -0.5f);
  mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha, &pr.chisq,
         constantModel, &lambda);
  EXPECT_EQ(lambda, 0.001f * 10.0f * 10.0f);
  EXPECT_EQ(pr.chisq, 6.0f);
  EXPECT_EQ(pr.params[1], 0.25f);
  lambda = 0.0f;
  mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha, &pr.chisq,
         constantModel, &lambda);
  EXPECT_EQ(pr.params[1], 0.25f);
  EXPECT_EQ(pr.params[2], -0.5f);
}

TEST(Mrqmin, RestartingDuringAFitReleasesItAndStartsCleanly) {
  // A one-Gaussian fit abandoned after two steps, then a two-Gaussian fit with twice the
  // parameters: the new fit must not reuse the old, shorter state (a sanitizer build
  // also reports the old state if it leaked).
  Problem one(41, 3);
  one.sampleGaussians({3.0, 0.5, 1.2}, -3.5, 0.2);
  one.params[1] = 2.5f;
  one.params[2] = 0.1f;
  one.params[3] = 1.0f;
  float lambda = -1.0f;
  for (int step = 0; step < 2; ++step) {
    mrqmin(one.x, one.y, one.sigma, one.npoints, one.params, one.flags, 3, one.covariance,
           one.alpha, &one.chisq, fgauss, &lambda);
  }
  Problem two(61, 6);
  two.sampleGaussians({2.0, -1.0, 0.8, 1.0, 1.5, 1.0}, -4.0, 0.15);
  const float start[6] = {1.6f, -1.3f, 1.0f, 1.3f, 1.2f, 0.8f};
  for (int j = 1; j <= 6; ++j) two.params[j] = start[j - 1];
  two.fit(fgauss);
  EXPECT_NEAR(two.params[5], 1.5f, kRecoveredParameter);
  EXPECT_NEAR(two.params[6], 1.0f, kRecoveredParameter);
}

TEST(MrqminDeathTest, RefusesToContinueOrFinishWithoutAStartedFit) {
  Problem pr(4, 2);
  for (int i = 1; i <= 4; ++i) pr.x[i] = pr.y[i] = static_cast<float>(i);
  pr.params[1] = pr.params[2] = 0.0f;
  float lambda = 0.001f;
  EXPECT_EXIT(mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha,
                     &pr.chisq, constantModel, &lambda),
              ::testing::ExitedWithCode(1), "mrqmin: no fit in progress");
  lambda = 0.0f;
  EXPECT_EXIT(mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha,
                     &pr.chisq, constantModel, &lambda),
              ::testing::ExitedWithCode(1), "mrqmin: no fit in progress");
}

TEST(MrqminDeathTest, StopsOnAParameterTheModelDoesNotDependOn) {
  Problem pr(4, 2);
  for (int i = 1; i <= 4; ++i) pr.x[i] = pr.y[i] = static_cast<float>(i);
  pr.params[1] = pr.params[2] = 0.0f;
  float lambda = -1.0f;
  EXPECT_EXIT(mrqmin(pr.x, pr.y, pr.sigma, 4, pr.params, pr.flags, 2, pr.covariance, pr.alpha,
                     &pr.chisq, lineWithDeadParameter, &lambda),
              ::testing::ExitedWithCode(1), "gaussj: Singular Matrix-2");
}
