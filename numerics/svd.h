// Singular value decomposition and SVD-based solution (Golub-Reinsch).
//
// Conventions: svdcmp, svbksb and svdvar take one-based arrays as allocated by
// matrix(1, rows, 1, cols) and vector(1, n); getInverseMatrixUsingSVD takes zero-based
// n x n matrices (matrix(0, n-1, 0, n-1)). Element type float; sums accumulate in
// float in increasing index order; square roots are taken in double on a float
// argument and rounded back. Each routine allocates and frees its own work storage.
//
// Non-convergence of svdcmp is not fatal: it only sets a module-private flag
// (NoConvergenceInSVD, internal linkage in svd.cpp) that getInverseMatrixUsingSVD
// reads. The flag is shared state: one caller at a time.
#pragma once

// Decomposes a[1..m][1..n] in place as a = U * diag(w) * V^T: on return a holds U
// (orthonormal columns when m >= n), w[1..n] the singular values (not sorted) and
// v[1..n][1..n] the matrix V itself (not its transpose). Any m and n are accepted.
// A singular value that has not converged after 100 iterations sets the
// non-convergence flag and may be left negative and inaccurate; nothing is printed.
void svdcmp(float** a, int m, int n, float* w, float** v);

// sqrt(a^2 + b^2) without destructive overflow or underflow; pythag(3, 4) = 5 exactly.
float pythag(float a, float b);

// x[1..n] = V * diag(1/w) * U^T * b[1..m] for u (m x n), w[1..n], v (n x n) from
// svdcmp. A singular value of exactly 0 is skipped (no division); set small ones to 0
// before calling to discard them. x may be the same array as b.
void svbksb(float** u, float* w, float** v, int m, int n, float* b, float* x);

// cov[1..n][1..n] = V * diag(1/w^2) * V^T (zero singular values skipped); the result
// is exactly symmetric.
void svdvar(float** v, int n, float* w, float** cov);

// ainv[0..n-1][0..n-1] = V * diag(1/w) * U^T of the zero-based a[0..n-1][0..n-1], with
// singular values below 1e-6 times the largest discarded (set to 0): the inverse of a
// well-conditioned a, its pseudo-inverse otherwise. A singular value of exactly 0 is
// always discarded, so the all-zero matrix gives the all-zero pseudo-inverse. If svdcmp
// did not converge, a negative singular value is made positive together with its
// column of V, so that the decomposition still holds. a is left unchanged. Always
// returns 1.
int getInverseMatrixUsingSVD(float** a, float** ainv, int n);

// Module-internal (hidden, not exported): reads NoConvergenceInSVD, for the tests,
// which link the static archive. The flag itself keeps internal linkage.
#pragma GCC visibility push(hidden)
namespace tolvane::svd {
bool noConvergenceInSVD();
}  // namespace tolvane::svd
#pragma GCC visibility pop
