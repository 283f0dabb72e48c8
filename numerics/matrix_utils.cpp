// Dense matrix utilities; conventions (zero-based) in matrix_utils.h.
#include "numerics/matrix_utils.h"

void matrix_matrix_mult(float** a, float** b, float** c, int m, int n, int p) {
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < p; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < n; ++k) sum += a[i][k] * b[k][j];
      c[i][j] = sum;
    }
  }
}

void transposematrix_matrix_mult(float** a, float** c, int m, int n) {
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j <= i; ++j) {
      float sum = 0.0f;
      for (int k = 0; k < n; ++k) sum += a[i][k] * a[j][k];
      c[i][j] = sum;
    }
  }
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < i; ++j) c[j][i] = c[i][j];
  }
}

void matrix_vector_mult(float** a, float* x, float* y, int m, int n) {
  for (int i = 0; i < m; ++i) {
    y[i] = 0.0f;
    for (int j = 0; j < n; ++j) y[i] = a[i][j] * x[j] + y[i];
  }
}

float vector_vector_mult(float* a, float* b, int n) {
  float sum = 0.0f;
  for (int i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

void matrix_transpose(float** a, float** b, int m, int n) {
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) b[j][i] = a[i][j];
  }
}

void copy_matrix(float** src, float** dst, int m, int n, int mode) {
  switch (mode) {
    case 0:
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) dst[i][j] = src[i][j];
      break;
    case 1:
      for (int i = 1; i <= m; ++i)
        for (int j = 1; j <= n; ++j) dst[i][j] = src[i][j];
      break;
    case 2:
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) dst[i + 1][j + 1] = src[i][j];
      break;
    case 3:
      for (int i = 0; i < m; ++i)
        for (int j = 0; j < n; ++j) dst[i][j] = src[i + 1][j + 1];
      break;
    default:
      break;
  }
}

void diagmatrix_matrix_mult(float* d, float** a, int m, int n) {
  for (int i = 0; i < m; ++i) {
    for (int j = 0; j < n; ++j) a[i][j] = a[i][j] * d[i];
  }
}

void fast_matrix_matrix_mult(float** a, float** /*b*/, float** c, int m, int /*n*/, int p, bool,
                             bool) {
  transposematrix_matrix_mult(a, c, m, p);
}
