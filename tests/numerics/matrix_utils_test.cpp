// Dense matrix utilities, zero-based. Products of small integers are exact
// in single precision, so most expectations are built by construction and compared
// exactly; bit patterns are compared where a routine only copies.
#include "numerics/matrix_utils.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "numerics/arrays.h"
#include "tests/numerics/owned_arrays.h"

namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Small integers (|x| <= 8): every product and partial sum below is exact.
void fillIntegers(Matrix0& a, unsigned seed) {
  std::mt19937 generator(seed);
  for (int i = 0; i < a.rows; ++i)
    for (int j = 0; j < a.cols; ++j)
      a[i][j] = static_cast<float>(static_cast<int>(generator() % 17) - 8);
}

void fillRandom(Matrix0& a, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  for (int i = 0; i < a.rows; ++i)
    for (int j = 0; j < a.cols; ++j) a[i][j] = uniform(generator);
}

constexpr float kSentinel = -777.0f;

}  // namespace

TEST(MatrixMatrixMult, MultipliesIntegerMatricesExactly) {
  Matrix0 a(3, 4), b(4, 2), c(3, 2);
  fillIntegers(a, 1);
  fillIntegers(b, 2);
  matrix_matrix_mult(a.m, b.m, c.m, 3, 4, 2);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 2; ++j) {
      int expected = 0;
      for (int k = 0; k < 4; ++k) expected += static_cast<int>(a[i][k]) * static_cast<int>(b[k][j]);
      EXPECT_EQ(c[i][j], static_cast<float>(expected)) << i << "," << j;
    }
  }
}

TEST(MatrixMatrixMult, SumsInIncreasingIndexOrderInFloat) {
  // 1 + 2^-24 + 2^-24: left to right each small term is lost, so the sum is exactly 1.
  Matrix0 a(1, 3), b(3, 1), c(1, 1);
  a[0][0] = 1.0f;
  a[0][1] = a[0][2] = 0x1p-24f;
  b[0][0] = b[1][0] = b[2][0] = 1.0f;
  matrix_matrix_mult(a.m, b.m, c.m, 1, 3, 1);
  EXPECT_EQ(c[0][0], 1.0f);
}

TEST(MatrixMatrixMult, EmptyInnerDimensionGivesZerosAndEmptyRowsWriteNothing) {
  Matrix0 a(2, 1), b(1, 3), c(2, 3);
  c.fill(kSentinel);
  matrix_matrix_mult(a.m, b.m, c.m, 2, 0, 3);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(c[i][j]), bits(0.0f));
  c.fill(kSentinel);
  matrix_matrix_mult(a.m, b.m, c.m, 0, 1, 3);
  matrix_matrix_mult(a.m, b.m, c.m, -1, 1, 3);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(c[i][j], kSentinel);
}

TEST(TransposematrixMatrixMult, IsExactlySymmetricAndEqualsTheProductWithTheTranspose) {
  Matrix0 a(5, 7), at(7, 5), c(5, 5), reference(5, 5);
  fillRandom(a, 3);
  transposematrix_matrix_mult(a.m, c.m, 5, 7);
  matrix_transpose(a.m, at.m, 5, 7);
  matrix_matrix_mult(a.m, at.m, reference.m, 5, 7, 5);
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 5; ++j) {
      EXPECT_EQ(bits(c[i][j]), bits(c[j][i]));
      // Same terms in the same order (products commute exactly): bit-identical.
      EXPECT_EQ(bits(c[i][j]), bits(reference[i][j]));
    }
  }
}

TEST(TransposematrixMatrixMult, SingleRowGivesItsSumOfSquares) {
  Matrix0 a(1, 4), c(1, 1);
  a[0][0] = 1;
  a[0][1] = -2;
  a[0][2] = 3;
  a[0][3] = 0.5f;
  transposematrix_matrix_mult(a.m, c.m, 1, 4);
  EXPECT_EQ(c[0][0], 14.25f);
}

TEST(FastMatrixMatrixMult, IgnoresBAndNAndBothFlags) {
  Matrix0 a(4, 6), c(4, 4), reference(4, 4), unused(2, 2);
  fillRandom(a, 4);
  transposematrix_matrix_mult(a.m, reference.m, 4, 5);
  for (bool x : {false, true}) {
    for (bool y : {false, true}) {
      for (float** b : {static_cast<float**>(nullptr), unused.m}) {
        for (int n : {-3, 0, 5, 1000}) {
          c.fill(kSentinel);
          fast_matrix_matrix_mult(a.m, b, c.m, 4, n, 5, x, y);
          for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) ASSERT_EQ(bits(c[i][j]), bits(reference[i][j]));
        }
      }
    }
  }
}

TEST(MatrixVectorMult, EqualsRowInnerProductsAndHandlesEmptyCounts) {
  Matrix0 a(3, 5);
  fillRandom(a, 5);
  float x[5] = {0.5f, -1.25f, 2.0f, 0.1f, -0.3f};
  float y[3];
  matrix_vector_mult(a.m, x, y, 3, 5);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(bits(y[i]), bits(vector_vector_mult(a[i], x, 5)));

  float zeros[3] = {kSentinel, kSentinel, kSentinel};
  matrix_vector_mult(a.m, x, zeros, 3, 0);
  for (float value : zeros) EXPECT_EQ(bits(value), bits(0.0f));

  float untouched[3] = {kSentinel, kSentinel, kSentinel};
  matrix_vector_mult(a.m, x, untouched, 0, 5);
  matrix_vector_mult(a.m, x, untouched, -2, 5);
  for (float value : untouched) EXPECT_EQ(value, kSentinel);
}

TEST(VectorVectorMult, InnerProductAndEmptyCount) {
  float a[4] = {1, 2, 3, 4};
  float b[4] = {-1, 0.5f, 2, 0.25f};
  EXPECT_EQ(vector_vector_mult(a, b, 4), 7.0f);
  EXPECT_EQ(bits(vector_vector_mult(a, b, 0)), bits(0.0f));
  EXPECT_EQ(bits(vector_vector_mult(a, b, -5)), bits(0.0f));
  EXPECT_EQ(bits(vector_vector_mult(nullptr, nullptr, 0)), bits(0.0f));
}

TEST(MatrixTranspose, MovesBitPatternsUnchanged) {
  Matrix0 a(2, 3), b(3, 2);
  fillRandom(a, 6);
  a[0][1] = -0.0f;
  a[1][2] = std::numeric_limits<float>::quiet_NaN();
  matrix_transpose(a.m, b.m, 2, 3);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(b[j][i]), bits(a[i][j]));
}

TEST(CopyMatrix, ModesZeroAndOneCopyWithinOneIndexBase) {
  Matrix0 src(3, 4), dst(3, 4);
  fillRandom(src, 7);
  src[2][3] = -0.0f;
  dst.fill(kSentinel);
  copy_matrix(src.m, dst.m, 3, 4, 0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(bits(dst[i][j]), bits(src[i][j]));

  // Mode 1 on one-based matrices of exactly rows/columns 1..m, 1..n.
  float** src1 = matrix(1, 3, 1, 4);
  float** dst1 = matrix(1, 3, 1, 4);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 4; ++j) src1[i][j] = static_cast<float>(10 * i + j);
  copy_matrix(src1, dst1, 3, 4, 1);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 4; ++j) EXPECT_EQ(dst1[i][j], static_cast<float>(10 * i + j));
  free_matrix(dst1, 1, 3, 1, 4);
  free_matrix(src1, 1, 3, 1, 4);
}

TEST(CopyMatrix, ModeTwoWritesOnlyFromRowAndColumnOne) {
  Matrix0 src(2, 3);
  fillRandom(src, 8);
  // A destination that also has row 0 and column 0, to see that they stay untouched.
  float** dst = matrix(0, 2, 0, 3);
  for (int i = 0; i <= 2; ++i)
    for (int j = 0; j <= 3; ++j) dst[i][j] = kSentinel;
  copy_matrix(src.m, dst, 2, 3, 2);
  for (int j = 0; j <= 3; ++j) EXPECT_EQ(dst[0][j], kSentinel);
  for (int i = 0; i <= 2; ++i) EXPECT_EQ(dst[i][0], kSentinel);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(dst[i + 1][j + 1]), bits(src[i][j]));
  free_matrix(dst, 0, 2, 0, 3);
}

TEST(CopyMatrix, ModeThreeReadsOnlyFromRowAndColumnOne) {
  // The source has no row 0 or column 0 at all: the sanitizer build would report a
  // read there.
  float** src = matrix(1, 2, 1, 3);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 3; ++j) src[i][j] = static_cast<float>(i) - 0.5f * static_cast<float>(j);
  Matrix0 dst(2, 3);
  copy_matrix(src, dst.m, 2, 3, 3);
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(dst[i][j]), bits(src[i + 1][j + 1]));
  free_matrix(src, 1, 2, 1, 3);
}

TEST(CopyMatrix, OtherModesCopyNothing) {
  Matrix0 src(2, 2), dst(2, 2);
  fillRandom(src, 9);
  for (int mode : {4, -1, 100}) {
    dst.fill(kSentinel);
    copy_matrix(src.m, dst.m, 2, 2, mode);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) EXPECT_EQ(dst[i][j], kSentinel) << mode;
  }
  // Nothing is read either: null arrays are harmless.
  copy_matrix(nullptr, nullptr, 2, 2, 7);
}

TEST(DiagmatrixMatrixMult, ScalesEachRowInPlace) {
  Matrix0 a(3, 4), original(3, 4);
  fillRandom(a, 10);
  copy_matrix(a.m, original.m, 3, 4, 0);
  float ones[3] = {1, 1, 1};
  diagmatrix_matrix_mult(ones, a.m, 3, 4);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j) EXPECT_EQ(bits(a[i][j]), bits(original[i][j]));

  float d[3] = {2.0f, 0.0f, -0.5f};
  diagmatrix_matrix_mult(d, a.m, 3, 4);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(a[0][j], original[0][j] * 2.0f);
    EXPECT_EQ(a[1][j], 0.0f);
    EXPECT_EQ(a[2][j], original[2][j] * -0.5f);
  }
}
