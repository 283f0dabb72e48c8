// Dense matrix utilities: products, transpose, diagonal scaling and a copy that
// converts between index bases.
//
// Conventions: unlike the rest of the library these routines index from ZERO: an
// m x n matrix is rows 0..m-1, columns 0..n-1 (matrix(0, m-1, 0, n-1)), a vector of
// length n is elements 0..n-1. copy_matrix alone also reads or writes one-based
// matrices and bridges the two conventions. All arithmetic is single precision; every
// sum starts at 0 and adds its terms in increasing index order; copies move bit
// patterns unchanged. A count <= 0 makes its loop empty. Nothing is allocated or
// checked, and a result must not share storage with an input unless stated.
#pragma once

// c[0..m-1][0..p-1] = a (m x n) * b (n x p); each c[i][j] is written once, after its
// sum is complete.
void matrix_matrix_mult(float** a, float** b, float** c, int m, int n, int p);

// c[0..m-1][0..m-1] = a * a^T for a of m x n: the lower triangle is computed, the upper
// one copied from it, so the result is exactly symmetric.
void transposematrix_matrix_mult(float** a, float** c, int m, int n);

// y[0..m-1] = a (m x n) * x[0..n-1], accumulated in y itself (y[i] = a[i][j]*x[j] + y[i]).
void matrix_vector_mult(float** a, float* x, float* y, int m, int n);

// Returns the sum of a[i]*b[i] for i in 0..n-1 (0 for n <= 0).
float vector_vector_mult(float* a, float* b, int n);

// b[0..n-1][0..m-1] = transpose of a[0..m-1][0..n-1].
void matrix_transpose(float** a, float** b, int m, int n);

// Copies an m x n block row by row. mode 0: zero-based to zero-based; 1: one-based to
// one-based; 2: zero-based src into one-based dst (dst[i+1][j+1] = src[i][j]); 3:
// one-based src into zero-based dst (dst[i][j] = src[i+1][j+1]); any other mode copies
// nothing.
void copy_matrix(float** src, float** dst, int m, int n, int mode);

// a = diag(d) * a in place: row i of a[0..m-1][0..n-1] is scaled by d[i].
void diagmatrix_matrix_mult(float* d, float** a, int m, int n);

// Exactly transposematrix_matrix_mult(a, c, m, p): c (m x m) = inner products of the
// rows of a over columns 0..p-1. b, n and both flags are not read.
void fast_matrix_matrix_mult(float** a, float** b, float** c, int m, int n, int p, bool, bool);
