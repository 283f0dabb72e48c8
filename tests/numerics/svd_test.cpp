// Singular value decomposition and SVD-based solution. Decompositions are
// checked by identities (a = U diag(w) V^T, orthonormal factors, A+ A = I), solutions
// against answers known by construction; the exactly pinned cases
// are compared bit for bit.
#include "numerics/svd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numerics/arrays.h"
#include "tests/numerics/owned_arrays.h"

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Tolerances, in units of FLT_EPSILON, scaled by the dimension where errors grow with
// it. Householder reduction and QR sweeps are backward stable: each element of
// U diag(w) V^T - a (relative to max |a|), and of U^T U - I and V^T V - I, stays within
// a small multiple of dimension * FLT_EPSILON; on these inputs below 2, so 8 leaves a
// margin of 4.
constexpr double kBackwardTolerancePerDimension = 8.0 * FLT_EPSILON;
// Solutions and inverses of the well-conditioned matrices below (condition number
// below 10) may lose up to that factor more; seen below 10, so 40 leaves a margin of 4.
constexpr double kSolveTolerancePerDimension = 40.0 * FLT_EPSILON;

void fillRandom(Matrix1& a, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int i = 1; i <= a.rows; ++i)
    for (int j = 1; j <= a.cols; ++j) a[i][j] = uniform(generator);
}

void copy(Matrix1& from, Matrix1& to) {
  for (int i = 1; i <= from.rows; ++i)
    for (int j = 1; j <= from.cols; ++j) to[i][j] = from[i][j];
}

double maxAbs(Matrix1& a) {
  double largest = 0.0;
  for (int i = 1; i <= a.rows; ++i)
    for (int j = 1; j <= a.cols; ++j) largest = std::max(largest, std::fabs(double{a[i][j]}));
  return largest;
}

// Largest |(X^T X)[i][j] - delta_ij| over the first `count` columns of x.
double orthonormalityError(Matrix1& x, int count) {
  double worst = 0.0;
  for (int i = 1; i <= count; ++i) {
    for (int j = 1; j <= count; ++j) {
      double dot = 0.0;
      for (int k = 1; k <= x.rows; ++k) dot += double{x[k][i]} * double{x[k][j]};
      worst = std::max(worst, std::fabs(dot - (i == j ? 1.0 : 0.0)));
    }
  }
  return worst;
}

// Decomposes a copy of a and checks every property of the result.
void expectValidDecomposition(Matrix1& a) {
  const int m = a.rows, n = a.cols;
  Matrix1 u(m, n), v(n, n);
  Vector1 w(n);
  copy(a, u);
  svdcmp(u.m, m, n, w.v, v.m);
  EXPECT_FALSE(tolvane::svd::noConvergenceInSVD());
  const double dimension = std::max(m, n);
  double reconstruction = 0.0;
  for (int i = 1; i <= m; ++i) {
    for (int j = 1; j <= n; ++j) {
      double sum = 0.0;
      for (int k = 1; k <= n; ++k) sum += double{u[i][k]} * double{w[k]} * double{v[j][k]};
      reconstruction = std::max(reconstruction, std::fabs(sum - double{a[i][j]}));
    }
  }
  EXPECT_LE(reconstruction, kBackwardTolerancePerDimension * dimension * maxAbs(a))
      << m << "x" << n;
  for (int j = 1; j <= n; ++j) EXPECT_GE(w[j], 0.0f) << m << "x" << n << " j=" << j;
  EXPECT_LE(orthonormalityError(v, n), kBackwardTolerancePerDimension * dimension);
  if (m >= n) {
    EXPECT_LE(orthonormalityError(u, n), kBackwardTolerancePerDimension * dimension);
  }
}

// The matrix 1e20 * ((-2, -7), (7, -2)): its singular values (both 7.28e20) never
// meet the absolute convergence test |e| < 1e-6, since rounding alone leaves e near
// 1e13; the decomposition ends with the flag set and w[2] negative.
void fillNonConverging(float** a, int base) {
  a[base][base] = -2e20f;
  a[base][base + 1] = -7e20f;
  a[base + 1][base] = 7e20f;
  a[base + 1][base + 1] = -2e20f;
}

}  // namespace

TEST(Pythag, PinnedValuesAreExact) {
  EXPECT_EQ(bits(pythag(0.0f, 0.0f)), bits(0.0f));
  EXPECT_EQ(pythag(3.0f, 4.0f), 5.0f);
  EXPECT_EQ(pythag(4.0f, 3.0f), 5.0f);
  EXPECT_EQ(pythag(-3.0f, -4.0f), 5.0f);
  EXPECT_EQ(pythag(-3.0f, 4.0f), 5.0f);
  EXPECT_EQ(pythag(0.0f, -2.5f), 2.5f);
  EXPECT_EQ(pythag(-2.5f, 0.0f), 2.5f);
}

TEST(Pythag, NeitherOverflowsNorUnderflowsWhereTheSquaresWould) {
  // 2^200 and 2^-240 are outside single precision; the ratios are exact.
  EXPECT_EQ(pythag(std::ldexp(3.0f, 100), std::ldexp(4.0f, 100)), std::ldexp(5.0f, 100));
  EXPECT_EQ(pythag(std::ldexp(3.0f, -120), std::ldexp(4.0f, -120)), std::ldexp(5.0f, -120));
}

TEST(Svdcmp, OneByOneMatricesGiveThePinnedFactors) {
  Matrix1 a(1, 1), v(1, 1);
  Vector1 w(1);
  a[1][1] = 2.0f;
  svdcmp(a.m, 1, 1, w.v, v.m);
  EXPECT_EQ(w[1], 2.0f);
  EXPECT_EQ(a[1][1], -1.0f);
  EXPECT_EQ(v[1][1], -1.0f);

  a[1][1] = -2.0f;
  svdcmp(a.m, 1, 1, w.v, v.m);
  EXPECT_EQ(w[1], 2.0f);
  EXPECT_EQ(a[1][1], -1.0f);
  EXPECT_EQ(v[1][1], 1.0f);
}

TEST(Svdcmp, AllZeroMatricesGiveZeroValuesIdentityVAndUnitDiagonalU) {
  const int shapes[][2] = {{1, 1}, {3, 3}, {4, 2}, {2, 4}, {5, 1}, {1, 5}};
  for (const auto& shape : shapes) {
    const int m = shape[0], n = shape[1];
    Matrix1 a(m, n), v(n, n);
    Vector1 w(n);
    for (int i = 1; i <= m; ++i)
      for (int j = 1; j <= n; ++j) a[i][j] = 0.0f;
    svdcmp(a.m, m, n, w.v, v.m);
    EXPECT_FALSE(tolvane::svd::noConvergenceInSVD());
    for (int j = 1; j <= n; ++j) EXPECT_EQ(w[j], 0.0f);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) EXPECT_EQ(v[i][j], i == j ? 1.0f : 0.0f);
    for (int i = 1; i <= m; ++i)
      for (int j = 1; j <= n; ++j)
        EXPECT_EQ(a[i][j], i == j ? 1.0f : 0.0f) << m << "x" << n << " [" << i << "][" << j << "]";
  }
}

TEST(Svdcmp, ReproducesSquareTallAndWideMatricesWithOrthonormalFactors) {
  const int shapes[][2] = {{2, 2},  {3, 3}, {6, 6}, {12, 12}, {5, 3}, {9, 4},
                           {20, 7}, {2, 3}, {3, 5}, {4, 9},   {1, 4}, {4, 1}};
  unsigned seed = 10;
  for (const auto& shape : shapes) {
    Matrix1 a(shape[0], shape[1]);
    fillRandom(a, ++seed);
    expectValidDecomposition(a);
  }
}

TEST(Svdcmp, RankDeficientMatrixHasAZeroSingularValue) {
  // Third column = first + second: rank 2.
  Matrix1 a(5, 3);
  fillRandom(a, 30);
  for (int i = 1; i <= 5; ++i) a[i][3] = a[i][1] + a[i][2];
  expectValidDecomposition(a);
  Matrix1 u(5, 3), v(3, 3);
  Vector1 w(3);
  copy(a, u);
  svdcmp(u.m, 5, 3, w.v, v.m);
  const float smallest = std::min({w[1], w[2], w[3]});
  const float largest = std::max({w[1], w[2], w[3]});
  EXPECT_LE(smallest, kBackwardTolerancePerDimension * 5 * largest);
}

TEST(Svdcmp, NonConvergenceSetsTheFlagAndTheNextConvergedCallClearsIt) {
  Matrix1 a(2, 2), v(2, 2);
  Vector1 w(2);
  fillNonConverging(a.m, 1);
  svdcmp(a.m, 2, 2, w.v, v.m);
  EXPECT_TRUE(tolvane::svd::noConvergenceInSVD());
  // The value that ran out of iterations keeps its sign (here negative).
  EXPECT_LT(w[2], 0.0f);

  Matrix1 b(2, 2);
  fillRandom(b, 40);
  svdcmp(b.m, 2, 2, w.v, v.m);
  EXPECT_FALSE(tolvane::svd::noConvergenceInSVD());
  EXPECT_GE(w[1], 0.0f);
  EXPECT_GE(w[2], 0.0f);
}

TEST(Svbksb, SolvesALeastSquaresProblemWithAKnownAnswer) {
  // Orthogonal columns (1,1,1,1) and (1,-1,1,-1): the least-squares solution of
  // A x = b is (A^T b) / 4 per column, here (10/4, -2/4).
  Matrix1 u(4, 2), v(2, 2);
  Vector1 w(2), b(4), x(2);
  for (int i = 1; i <= 4; ++i) {
    u[i][1] = 1.0f;
    u[i][2] = i % 2 == 1 ? 1.0f : -1.0f;
    b[i] = static_cast<float>(i);
  }
  svdcmp(u.m, 4, 2, w.v, v.m);
  svbksb(u.m, w.v, v.m, 4, 2, b.v, x.v);
  EXPECT_NEAR(x[1], 2.5f, kSolveTolerancePerDimension * 4 * 2.5);
  EXPECT_NEAR(x[2], -0.5f, kSolveTolerancePerDimension * 4 * 2.5);
}

TEST(Svbksb, RecoversTheSolutionOfAConsistentOverdeterminedSystem) {
  constexpr int m = 9, n = 4;
  Matrix1 a(m, n), u(m, n), v(n, n);
  Vector1 w(n), b(m), x(n);
  fillRandom(a, 50);
  for (int j = 1; j <= n; ++j) a[j][j] += 3.0f;  // well conditioned
  const double solution[n + 1] = {0, 1.5, -2.0, 0.25, 4.0};
  for (int i = 1; i <= m; ++i) {
    double sum = 0.0;
    for (int j = 1; j <= n; ++j) sum += double{a[i][j]} * solution[j];
    b[i] = static_cast<float>(sum);
  }
  copy(a, u);
  svdcmp(u.m, m, n, w.v, v.m);
  svbksb(u.m, w.v, v.m, m, n, b.v, x.v);
  for (int j = 1; j <= n; ++j)
    EXPECT_NEAR(x[j], solution[j], kSolveTolerancePerDimension * m * 4.0);
}

TEST(Svbksb, SkipsAZeroSingularValueWithoutDividing) {
  constexpr int n = 4;
  Matrix1 u(n, n), v(n, n);
  Vector1 w(n), b(n), x(n);
  fillRandom(u, 60);
  svdcmp(u.m, n, n, w.v, v.m);
  for (int i = 1; i <= n; ++i) b[i] = static_cast<float>(i) - 2.0f;
  w[3] = 0.0f;
  svbksb(u.m, w.v, v.m, n, n, b.v, x.v);
  double alongColumnThree = 0.0, length = 0.0;
  for (int j = 1; j <= n; ++j) {
    ASSERT_TRUE(std::isfinite(x[j]));
    alongColumnThree += double{x[j]} * double{v[j][3]};
    length += double{x[j]} * double{x[j]};
  }
  EXPECT_LE(std::fabs(alongColumnThree), kBackwardTolerancePerDimension * n * std::sqrt(length));
}

TEST(Svbksb, SolutionMayOverwriteTheRightHandSide) {
  constexpr int n = 5;
  Matrix1 u(n, n), v(n, n);
  Vector1 w(n), b(n), x(n);
  fillRandom(u, 70);
  svdcmp(u.m, n, n, w.v, v.m);
  for (int i = 1; i <= n; ++i) b[i] = 0.5f * static_cast<float>(i * i) - 3.0f;
  svbksb(u.m, w.v, v.m, n, n, b.v, x.v);
  svbksb(u.m, w.v, v.m, n, n, b.v, b.v);
  for (int j = 1; j <= n; ++j) EXPECT_EQ(bits(b[j]), bits(x[j]));
}

TEST(Svdvar, IsExactlySymmetricAndInvertsTheNormalMatrix) {
  constexpr int m = 8, n = 4;
  Matrix1 a(m, n), u(m, n), v(n, n), cov(n, n);
  Vector1 w(n);
  fillRandom(a, 80);
  for (int j = 1; j <= n; ++j) a[j][j] += 3.0f;
  copy(a, u);
  svdcmp(u.m, m, n, w.v, v.m);
  svdvar(v.m, n, w.v, cov.m);
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      EXPECT_EQ(bits(cov[i][j]), bits(cov[j][i]));
      // (cov * A^T A)[i][j] = delta_ij: cov is (A^T A)^-1.
      double sum = 0.0;
      for (int k = 1; k <= n; ++k) {
        double normal = 0.0;
        for (int r = 1; r <= m; ++r) normal += double{a[r][k]} * double{a[r][j]};
        sum += double{cov[i][k]} * normal;
      }
      EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, kSolveTolerancePerDimension * m);
    }
  }
}

TEST(Svdvar, ZeroSingularValueContributesNothing) {
  constexpr int n = 3;
  Matrix1 v(n, n), cov(n, n);
  Vector1 w(n);
  // V = identity, w = (2, 0, 4): cov = diag(1/4, 0, 1/16) exactly.
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) v[i][j] = i == j ? 1.0f : 0.0f;
  w[1] = 2.0f;
  w[2] = 0.0f;
  w[3] = 4.0f;
  svdvar(v.m, n, w.v, cov.m);
  const float expected[n + 1][n + 1] = {{}, {0, 0.25f, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0.0625f}};
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) EXPECT_EQ(cov[i][j], expected[i][j]);
}

TEST(GetInverseMatrixUsingSVD, PinnedOneByOneAndIdentity) {
  Matrix0 a(1), ainv(1);
  a[0][0] = 2.0f;
  EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, 1), 1);
  EXPECT_EQ(ainv[0][0], 0.5f);

  for (int n : {2, 3, 6}) {
    Matrix0 identity(n), inverse(n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) identity[i][j] = i == j ? 1.0f : 0.0f;
    EXPECT_EQ(getInverseMatrixUsingSVD(identity.m, inverse.m, n), 1);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) EXPECT_EQ(inverse[i][j], i == j ? 1.0f : 0.0f);
  }
}

TEST(GetInverseMatrixUsingSVD, InvertsWellConditionedMatricesAndLeavesTheInputAlone) {
  std::mt19937 generator(90);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int n : {2, 3, 5, 8, 13}) {
    Matrix0 a(n), before(n), ainv(n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j)
        before[i][j] = a[i][j] = uniform(generator) + (i == j ? static_cast<float>(n) : 0.0f);
    EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, n), 1);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        ASSERT_EQ(bits(a[i][j]), bits(before[i][j]));
        double left = 0.0, right = 0.0;
        for (int k = 0; k < n; ++k) {
          left += double{ainv[i][k]} * double{a[k][j]};
          right += double{a[i][k]} * double{ainv[k][j]};
        }
        EXPECT_NEAR(left, i == j ? 1.0 : 0.0, kSolveTolerancePerDimension * n) << n;
        EXPECT_NEAR(right, i == j ? 1.0 : 0.0, kSolveTolerancePerDimension * n) << n;
      }
    }
  }
}

TEST(GetInverseMatrixUsingSVD, SingularMatrixGivesThePseudoInverse) {
  // Rank 2 of 3: the Penrose identity A A+ A = A holds; A+ A is a projection, not I.
  constexpr int n = 3;
  Matrix0 a(n), ainv(n);
  const float rows[n][n] = {{1, 2, 3}, {4, 5, 6}, {5, 7, 9}};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) a[i][j] = rows[i][j];
  EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, n), 1);
  double worst = 0.0;
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      double sum = 0.0;
      for (int k = 0; k < n; ++k)
        for (int l = 0; l < n; ++l) sum += double{a[i][k]} * double{ainv[k][l]} * double{a[l][j]};
      worst = std::max(worst, std::fabs(sum - double{a[i][j]}));
    }
  }
  EXPECT_LE(worst, kSolveTolerancePerDimension * n * 9.0);
  double trace = 0.0;  // trace of the projection A+ A = its rank
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) trace += double{ainv[i][k]} * double{a[k][i]};
  EXPECT_NEAR(trace, 2.0, kSolveTolerancePerDimension * n);
}

TEST(GetInverseMatrixUsingSVD, ValueEqualToTheThresholdIsInvertedAndOneBelowIsDiscarded) {
  // diag(1, t) decomposes exactly into w = (1, t); the threshold is 1 * 1e-6 in double,
  // rounded to float, which is t itself.
  const float threshold = static_cast<float>(1.0e-6);
  Matrix0 a(2), ainv(2);
  a[0][0] = 1.0f;
  a[0][1] = a[1][0] = 0.0f;
  a[1][1] = threshold;
  EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, 2), 1);
  EXPECT_EQ(ainv[0][0], 1.0f);
  EXPECT_EQ(ainv[1][1], 1.0f / threshold);

  a[1][1] = std::nextafter(threshold, 0.0f);
  EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, 2), 1);
  EXPECT_EQ(ainv[0][0], 1.0f);
  EXPECT_EQ(ainv[1][1], 0.0f);
}

TEST(GetInverseMatrixUsingSVD, AllZeroMatrixGivesTheAllZeroPseudoInverse) {
  // Every singular value is 0 and so is the threshold: an exact 0 is discarded rather
  // than inverted.
  for (int n : {1, 2, 3, 5}) {
    Matrix0 a(n), ainv(n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        a[i][j] = 0.0f;
        ainv[i][j] = -1.0f;
      }
    EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, n), 1);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) EXPECT_EQ(bits(ainv[i][j]), bits(0.0f)) << n;
  }
}

TEST(GetInverseMatrixUsingSVD, NonConvergedNegativeSingularValueStillGivesTheInverse) {
  // svdcmp leaves w[2] < 0 here (see Svdcmp.NonConvergence...). Its magnitude is kept
  // and its column of V negated with it, so that A+ A = I; |w| alone would give
  // diag(1, -1) along the singular directions.
  Matrix0 a(2), ainv(2);
  fillNonConverging(a.m, 0);
  EXPECT_EQ(getInverseMatrixUsingSVD(a.m, ainv.m, 2), 1);
  EXPECT_TRUE(tolvane::svd::noConvergenceInSVD());
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      double sum = 0.0;
      for (int k = 0; k < 2; ++k) sum += double{ainv[i][k]} * double{a[k][j]};
      EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, kSolveTolerancePerDimension * 2);
    }
  }
}
