// Gauss-Jordan elimination and Jacobi eigen-decomposition of square float matrices.
//
// Conventions: all arrays are one-based (matrix(1, n, 1, n), vector(1, n)); arithmetic
// is single precision except the steps noted as evaluated in double.
// Unrecoverable conditions end the process through vcerror (exit status 1).
#pragma once

// Gauss-Jordan elimination with full pivoting. a[1..n][1..n] is replaced by its
// inverse and the m right-hand-side columns b[1..n][1..m] by the solutions (m may be
// 0; b is then not touched). Ends through vcerror with "gaussj: Singular Matrix-2"
// when the chosen pivot is exactly 0 (a singular matrix), and with
// "gaussj: Singular Matrix-1" when the pivot search meets a column used twice or
// finds no candidate at all (for example NaN everywhere it looks).
void gaussj(float** a, int n, float** b, int m);

// All eigenvalues and eigenvectors of the real symmetric a[1..n][1..n] by cyclic Jacobi
// rotations; only the diagonal and the upper triangle are read. On return d[1..n]
// holds the eigenvalues (unsorted), column j of v[1..n][1..n] the normalised
// eigenvector of d[j], and *rotations the number of rotations performed. The upper
// triangle of a is destroyed; the diagonal and the lower triangle are left unchanged.
// Ends through vcerror with "Too many iterations in routine jacobi" after 50 sweeps.
void jacobi(float** a, int n, float* d, float** v, int* rotations);

// Sorts d[1..n] into descending order by selection, exchanging the columns of
// v[1..n][1..n] alongside; among equal values the one with the highest index moves
// forward.
void eigsrt(float* d, float** v, int n);
