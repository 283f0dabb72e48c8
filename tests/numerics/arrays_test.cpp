#include "numerics/arrays.h"

#include <gtest/gtest.h>

#include <climits>

TEST(OffsetVectors, ElementsAreValidFromTheLowerToTheUpperBound) {
  float* one_based = vector(1, 5);
  for (long i = 1; i <= 5; ++i) one_based[i] = static_cast<float>(i);
  EXPECT_EQ(one_based[5], 5.0f);
  free_vector(one_based, 1, 5);

  double* negative = dvector(-3, 3);
  for (long i = -3; i <= 3; ++i) negative[i] = static_cast<double>(i);
  EXPECT_EQ(&negative[3] - &negative[-3], 6);
  EXPECT_EQ(negative[-3], -3.0);
  free_dvector(negative, -3, 3);

  int* zero_based = ivector(0, 3);
  zero_based[0] = 7;
  zero_based[3] = 9;
  EXPECT_EQ(zero_based[0] + zero_based[3], 16);
  free_ivector(zero_based, 0, 3);

  unsigned long* longs = lvector(1, 2);
  longs[2] = ULONG_MAX;
  free_lvector(longs, 1, 2);
  unsigned char* bytes = cvector(1, 2);
  bytes[1] = 255;
  free_cvector(bytes, 1, 2);
}

TEST(OffsetMatrices, RowsFollowOneAnotherInOneBlock) {
  float** m = matrix(1, 3, 1, 4);
  EXPECT_EQ(m[2], m[1] + 4);
  EXPECT_EQ(&m[3][4], &m[1][1] + 11);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 4; ++j) m[i][j] = static_cast<float>(10 * i + j);
  EXPECT_EQ((&m[1][1])[5], 22.0f);
  free_matrix(m, 1, 3, 1, 4);

  int** im = imatrix(0, 1, -1, 1);
  EXPECT_EQ(&im[1][1], &im[0][-1] + 5);
  free_imatrix(im, 0, 1, -1, 1);
  double** dm = dmatrix(1, 2, 1, 2);
  EXPECT_EQ(dm[2], dm[1] + 2);
  free_dmatrix(dm, 1, 2, 1, 2);
}

TEST(MatrixViews, SubmatrixReindexesRowsOfItsSourceAndWritesThrough) {
  float** a = matrix(1, 4, 1, 4);
  for (long i = 1; i <= 4; ++i)
    for (long j = 1; j <= 4; ++j) a[i][j] = static_cast<float>(10 * i + j);
  float** view = submatrix(a, 2, 3, 2, 4, 1, 1);
  EXPECT_EQ(view[1][1], 22.0f);
  EXPECT_EQ(view[2][2], 33.0f);
  view[2][3] = -1.0f;
  EXPECT_EQ(a[3][4], -1.0f);
  free_submatrix(view, 1, 2, 1, 3);
  EXPECT_EQ(a[4][4], 44.0f);
  free_matrix(a, 1, 4, 1, 4);
}

TEST(MatrixViews, ConvertMatrixLaysRowsOverACallerBlock) {
  float block[6] = {1, 2, 3, 4, 5, 6};
  float** view = convert_matrix(block, 1, 2, 1, 3);
  EXPECT_EQ(&view[2][1], &block[3]);
  EXPECT_EQ(view[2][3], 6.0f);
  free_convert_matrix(view, 1, 2, 1, 3);
}

TEST(ThreeIndexArrays, ElementsAreContiguousInRowColumnDepthOrder) {
  float*** t = f3tensor(1, 2, 1, 3, 1, 4);
  EXPECT_EQ(&t[2][3][4], &t[1][1][1] + 23);
  EXPECT_EQ(&t[2][1][1], &t[1][3][4] + 1);
  t[2][3][4] = 5.0f;
  EXPECT_EQ((&t[1][1][1])[23], 5.0f);
  free_f3tensor(t, 1, 2, 1, 3, 1, 4);

  unsigned char*** c = c3tensor(0, 1, -1, 0, 2, 3);
  EXPECT_EQ(&c[1][0][3], &c[0][-1][2] + 7);
  free_c3tensor(c, 0, 1, -1, 0, 2, 3);
}

using FatalExit = ::testing::Test;

TEST(FatalExit, VcerrorWritesThreePiecesAndExitsWithStatusOne) {
  EXPECT_EXIT(vcerror("something went wrong"), ::testing::ExitedWithCode(1),
              "^Vellicor run-time error\\.\\.\\.\nsomething went wrong\n"
              "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
}

TEST(FatalExit, HeapExhaustionNamesTheFailingBlock) {
  const long huge = 1L << 58;  // 2^58 floats: far beyond any heap
  EXPECT_EXIT(vector(1, huge), ::testing::ExitedWithCode(1),
              "Vellicor run-time error\\.\\.\\.\nallocation failure in vector\\(\\)\n");
  EXPECT_EXIT(dmatrix(1, 2, 1, huge), ::testing::ExitedWithCode(1),
              "allocation failure 2 in matrix\\(\\)");
  EXPECT_EXIT(f3tensor(1, 2, 1, 2, 1, huge), ::testing::ExitedWithCode(1),
              "allocation failure 3 in f3tensor\\(\\)");
}

TEST(FatalExit, ElementCountsThatOverflowAreAllocationFailures) {
  // 2^40 x 2^40 elements wraps around 64 bits; it must fail, not allocate a sliver.
  EXPECT_EXIT(matrix(1, 1L << 40, 1, 1L << 40), ::testing::ExitedWithCode(1),
              "allocation failure 1 in matrix\\(\\)|allocation failure 2 in matrix\\(\\)");
  EXPECT_EXIT(c3tensor(1, 1L << 22, 1, 1L << 22, 1, 1L << 22), ::testing::ExitedWithCode(1),
              "allocation failure [123] in c3tensor\\(\\)");
}
