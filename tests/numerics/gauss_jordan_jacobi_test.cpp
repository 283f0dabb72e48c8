// Gauss-Jordan elimination, Jacobi eigen-decomposition and eigsrt. Inverses
// and eigenpairs are checked by identities (A A^-1 = I, A v = lambda v, V^T V = I);
// the pinned cases, and inputs whose arithmetic is exact, bit for bit.
#include "numerics/gauss_jordan_jacobi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "numerics/arrays.h"
#include "tests/numerics/owned_arrays.h"

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Elimination with full pivoting and Jacobi rotations are backward stable: residuals
// of A A^-1 - I and A v - lambda v stay within a small multiple of n * FLT_EPSILON for
// the well-conditioned (condition number below 10) matrices below, relative to the
// largest element where one enters; these inputs stay below 2, so 8 leaves a margin
// of 4.
constexpr double kTolerancePerDimension = 8.0 * FLT_EPSILON;

// Random entries in [-1, 1] plus n on the diagonal: diagonally dominant, so well
// conditioned. Symmetric when asked.
void fillWellConditioned(Matrix1& a, unsigned seed, bool symmetric) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  const int n = a.rows;
  for (int i = 1; i <= n; ++i) {
    for (int j = 1; j <= n; ++j) {
      if (symmetric && j < i) {
        a[i][j] = a[j][i];
      } else {
        a[i][j] = uniform(generator) + (i == j ? static_cast<float>(n) : 0.0f);
      }
    }
  }
}

}  // namespace

TEST(Gaussj, PinnedOneByOne) {
  Matrix1 a(1, 1), b(1, 1);
  a[1][1] = 4.0f;
  b[1][1] = 8.0f;
  gaussj(a.m, 1, b.m, 1);
  EXPECT_EQ(a[1][1], 0.25f);
  EXPECT_EQ(b[1][1], 2.0f);
}

TEST(Gaussj, PinnedDiagonalAndExchangeMatrix) {
  Matrix1 a(2, 2), b(2, 1);
  a.set({{2, 0}, {0, 4}});
  gaussj(a.m, 2, b.m, 0);
  EXPECT_EQ(a[1][1], 0.5f);
  EXPECT_EQ(a[2][2], 0.25f);
  EXPECT_EQ(bits(a[1][2]), bits(0.0f));
  EXPECT_EQ(bits(a[2][1]), bits(0.0f));

  // The first step exchanges the rows of a and b, the unscrambling the columns of a.
  a.set({{0, 1}, {1, 0}});
  b.set({{1}, {2}});
  gaussj(a.m, 2, b.m, 1);
  EXPECT_EQ(a[1][1], 0.0f);
  EXPECT_EQ(a[1][2], 1.0f);
  EXPECT_EQ(a[2][1], 1.0f);
  EXPECT_EQ(a[2][2], 0.0f);
  EXPECT_EQ(b[1][1], 2.0f);
  EXPECT_EQ(b[2][1], 1.0f);
}

TEST(Gaussj, ScaledPermutationMatricesInvertExactly) {
  // Entries that are powers of two: every operation is exact, and several row
  // exchanges must be undone by the column unscrambling in reverse order.
  constexpr int n = 6;
  std::vector<int> permutation(n);
  std::iota(permutation.begin(), permutation.end(), 1);
  std::mt19937 generator(3);
  for (int trial = 0; trial < 20; ++trial) {
    std::shuffle(permutation.begin(), permutation.end(), generator);
    Matrix1 a(n, n);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j)
        a[i][j] = permutation[i - 1] == j ? std::ldexp(1.0f, i - 3) : 0.0f;
    Matrix1 inverse(n, n);
    inverse.copyFrom(a);
    gaussj(inverse.m, n, nullptr, 0);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j)
        ASSERT_EQ(inverse[j][i], a[i][j] == 0.0f ? 0.0f : 1.0f / a[i][j]) << trial;
  }
}

TEST(Gaussj, InvertsAndSolvesWellConditionedSystems) {
  for (int n : {2, 3, 5, 9, 16}) {
    constexpr int kColumns = 3;
    Matrix1 a(n, n), inverse(n, n), rhs(n, kColumns), solution(n, kColumns);
    fillWellConditioned(a, static_cast<unsigned>(n), false);
    inverse.copyFrom(a);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= kColumns; ++j) rhs[i][j] = static_cast<float>(i * j % 7) - 3.0f;
    solution.copyFrom(rhs);
    gaussj(inverse.m, n, solution.m, kColumns);
    for (int i = 1; i <= n; ++i) {
      for (int j = 1; j <= n; ++j) {
        double sum = 0.0;
        for (int k = 1; k <= n; ++k) sum += double{a[i][k]} * double{inverse[k][j]};
        EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, kTolerancePerDimension * n) << n;
      }
      for (int j = 1; j <= kColumns; ++j) {
        double sum = 0.0;
        for (int k = 1; k <= n; ++k) sum += double{a[i][k]} * double{solution[k][j]};
        EXPECT_NEAR(sum, rhs[i][j], kTolerancePerDimension * n * 3.0) << n;  // |rhs| <= 3
      }
    }
  }
}

TEST(Gaussj, NoRightHandSideLeavesBAlone) {
  Matrix1 a(3, 3), b(3, 2);
  a.set({{4, 1, 0}, {1, 4, 1}, {0, 1, 4}});
  b.set({{7, 7}, {7, 7}, {7, 7}});
  gaussj(a.m, 3, b.m, 0);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 2; ++j) EXPECT_EQ(b[i][j], 7.0f);
  gaussj(a.m, 3, nullptr, 0);  // b is not even read
}

namespace {

void invertBothRowsOne() {
  Matrix1 a(2, 2), b(2, 1);
  a.set({{1, 1}, {1, 1}});
  b.set({{1}, {1}});
  gaussj(a.m, 2, b.m, 1);
}

void invertWithNaNAbovePivot() {
  Matrix1 a(2, 2);
  a.set({{1, kNaN}, {1, 1}});
  gaussj(a.m, 2, nullptr, 0);
}

void diagonaliseWithNaNAboveDiagonal() {
  Matrix1 a(3, 3), v(3, 3);
  Vector1 d(3);
  a.set({{1, kNaN, 0.5f}, {0, 2, 0.25f}, {0, 0, 3}});
  int rotations = 0;
  jacobi(a.m, 3, d.v, v.m, &rotations);
}

}  // namespace

TEST(GaussjDeathTest, SingularMatrixEndsWithSingularMatrix2) {
  EXPECT_EXIT(invertBothRowsOne(), testing::ExitedWithCode(1),
              "Vellicor run-time error...\ngaussj: Singular Matrix-2\n...now exiting to system...");
}

TEST(GaussjDeathTest, NoPivotCandidateInTheFirstStepEndsWithSingularMatrix1) {
  EXPECT_EXIT(
      {
        Matrix1 a(1, 1);
        a[1][1] = kNaN;
        gaussj(a.m, 1, nullptr, 0);
      },
      testing::ExitedWithCode(1), "gaussj: Singular Matrix-1");
}

TEST(GaussjDeathTest, NoPivotCandidateInALaterStepEndsWithSingularMatrix1) {
  // The first pivot is a[2][2]; eliminating with f = NaN turns row 1 into NaN, so the
  // second step finds no candidate. The previous step's position must not be reused.
  EXPECT_EXIT(invertWithNaNAbovePivot(), testing::ExitedWithCode(1), "gaussj: Singular Matrix-1");
}

TEST(Jacobi, DiagonalMatrixReturnsAtTheFirstSweep) {
  Matrix1 a(3, 3), v(3, 3);
  Vector1 d(3);
  a.set({{5, 0, 0}, {0, -2, 0}, {0, 0, 0.5f}});
  int rotations = -1;
  jacobi(a.m, 3, d.v, v.m, &rotations);
  EXPECT_EQ(rotations, 0);
  EXPECT_EQ(d[1], 5.0f);
  EXPECT_EQ(d[2], -2.0f);
  EXPECT_EQ(d[3], 0.5f);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(v[i][j], i == j ? 1.0f : 0.0f);
}

TEST(Jacobi, PinnedTwoByTwo) {
  Matrix1 a(2, 2), v(2, 2);
  Vector1 d(2);
  a.set({{2, 1}, {1, 2}});
  int rotations = 0;
  jacobi(a.m, 2, d.v, v.m, &rotations);
  EXPECT_EQ(rotations, 1);
  EXPECT_EQ(d[1], 1.0f);
  EXPECT_EQ(d[2], 3.0f);
  EXPECT_EQ(a[1][2], 0.0f);
  EXPECT_EQ(a[2][1], 1.0f);
  EXPECT_EQ(a[1][1], 2.0f);
  EXPECT_EQ(a[2][2], 2.0f);
  // Column 1 along (1, -1), column 2 along (1, 1), both of unit length.
  constexpr double kUnit = 4.0 * FLT_EPSILON;  // two roundings of 1/sqrt(2)
  EXPECT_NEAR(v[1][1], M_SQRT1_2, kUnit);
  EXPECT_NEAR(v[2][1], -M_SQRT1_2, kUnit);
  EXPECT_NEAR(v[1][2], M_SQRT1_2, kUnit);
  EXPECT_NEAR(v[2][2], M_SQRT1_2, kUnit);
  EXPECT_EQ(v[1][1], -v[2][1]);
  EXPECT_EQ(v[1][2], v[2][2]);
}

TEST(Jacobi, GivesOrthonormalEigenvectorsAndLeavesTheLowerTriangleAlone) {
  for (int n : {2, 3, 4, 7, 12, 20}) {
    Matrix1 a(n, n), original(n, n), v(n, n);
    Vector1 d(n);
    fillWellConditioned(a, static_cast<unsigned>(100 + n), true);
    original.copyFrom(a);
    int rotations = 0;
    jacobi(a.m, n, d.v, v.m, &rotations);
    EXPECT_GT(rotations, 0);
    double scale = 0.0;
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) scale = std::max(scale, std::fabs(double{original[i][j]}));
    for (int j = 1; j <= n; ++j) {
      for (int i = 1; i <= n; ++i) {
        double av = 0.0;
        for (int k = 1; k <= n; ++k) av += double{original[i][k]} * double{v[k][j]};
        EXPECT_NEAR(av, double{d[j]} * double{v[i][j]}, kTolerancePerDimension * n * scale)
            << n << " eigenpair " << j;
      }
      for (int k = 1; k <= n; ++k) {
        double dot = 0.0;
        for (int i = 1; i <= n; ++i) dot += double{v[i][j]} * double{v[i][k]};
        EXPECT_NEAR(dot, j == k ? 1.0 : 0.0, kTolerancePerDimension * n);
      }
    }
    for (int i = 1; i <= n; ++i) {
      for (int j = 1; j <= n; ++j) {
        if (j > i) {
          EXPECT_EQ(bits(a[i][j]), bits(0.0f));
        } else {
          EXPECT_EQ(bits(a[i][j]), bits(original[i][j]));
        }
      }
    }
  }
}

TEST(Jacobi, ReadsOnlyTheUpperTriangle) {
  constexpr int n = 5;
  Matrix1 symmetric(n, n), upper(n, n), v1(n, n), v2(n, n);
  Vector1 d1(n), d2(n);
  fillWellConditioned(symmetric, 7, true);
  upper.copyFrom(symmetric);
  for (int i = 2; i <= n; ++i)
    for (int j = 1; j < i; ++j) upper[i][j] = kNaN;
  int r1 = 0, r2 = 0;
  jacobi(symmetric.m, n, d1.v, v1.m, &r1);
  jacobi(upper.m, n, d2.v, v2.m, &r2);
  EXPECT_EQ(r1, r2);
  for (int i = 1; i <= n; ++i) {
    EXPECT_EQ(bits(d1[i]), bits(d2[i]));
    for (int j = 1; j <= n; ++j) EXPECT_EQ(bits(v1[i][j]), bits(v2[i][j]));
  }
}

TEST(JacobiDeathTest, OffDiagonalSumThatNeverVanishesEndsAfterFiftySweeps) {
  // A NaN above the diagonal keeps the off-diagonal sum from ever being 0 and is never
  // rotated away (no comparison with it holds).
  EXPECT_EXIT(
      diagonaliseWithNaNAboveDiagonal(), testing::ExitedWithCode(1),
      "Vellicor run-time error...\nToo many iterations in routine jacobi\n...now exiting to "
      "system...");
}

TEST(Eigsrt, SortsDescendingAndPermutesTheColumns) {
  Matrix1 v(3, 3);
  Vector1 d(3);
  d[1] = 1;
  d[2] = 3;
  d[3] = 2;
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) v[i][j] = static_cast<float>(10 * i + j);
  eigsrt(d.v, v.m, 3);
  EXPECT_EQ(d[1], 3.0f);
  EXPECT_EQ(d[2], 2.0f);
  EXPECT_EQ(d[3], 1.0f);
  const int column[4] = {0, 2, 3, 1};  // new column j holds old column column[j]
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(v[i][j], static_cast<float>(10 * i + column[j]));
}

TEST(Eigsrt, EqualValuesExchangeTheirColumns) {
  Matrix1 v(2, 2);
  Vector1 d(2);
  d[1] = d[2] = 1.0f;
  v.set({{1, 2}, {3, 4}});
  eigsrt(d.v, v.m, 2);
  EXPECT_EQ(d[1], 1.0f);
  EXPECT_EQ(d[2], 1.0f);
  EXPECT_EQ(v[1][1], 2.0f);
  EXPECT_EQ(v[1][2], 1.0f);
  EXPECT_EQ(v[2][1], 4.0f);
  EXPECT_EQ(v[2][2], 3.0f);
}

TEST(Eigsrt, OrdersJacobiEigenpairsWithoutBreakingThem) {
  constexpr int n = 8;
  Matrix1 a(n, n), original(n, n), v(n, n);
  Vector1 d(n);
  fillWellConditioned(a, 11, true);
  original.copyFrom(a);
  int rotations = 0;
  jacobi(a.m, n, d.v, v.m, &rotations);
  eigsrt(d.v, v.m, n);
  for (int j = 2; j <= n; ++j) EXPECT_GE(d[j - 1], d[j]);
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= n; ++i) {
      double av = 0.0;
      for (int k = 1; k <= n; ++k) av += double{original[i][k]} * double{v[k][j]};
      // The largest element is below n + 1 (n on the diagonal plus at most 1).
      EXPECT_NEAR(av, double{d[j]} * double{v[i][j]}, kTolerancePerDimension * n * (n + 1));
    }
  }
}
