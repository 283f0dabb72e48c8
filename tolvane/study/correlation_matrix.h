// Correlation matrices of a network's nodes: their square-root factor, the check that
// makes one usable, and a subject's matrix drawn around the study's.
//
// Matrices are n x n, row-major in one vector, in double. A correlation matrix is
// symmetric with a unit diagonal and positive semi-definite: only then is it the
// correlation of some set of time courses. Node time courses with correlation R are
// L u, u independent unit-variance courses and L the lower-triangular factor of
// R = L L^T (Cholesky; a singular R, such as two nodes correlated exactly 1, gets the
// zero columns that a semi-definite factor has).
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace tolvane::study {

// Pivots of the factor within this of zero count as zero: a matrix whose smallest
// eigenvalue is above -kSemidefiniteTolerance is taken as semi-definite.
constexpr double kSemidefiniteTolerance = 1e-10;

// The lower-triangular L with L L^T = R, or nothing when R is not positive
// semi-definite. R must be symmetric; only its lower triangle is read.
std::optional<std::vector<double>> correlationFactor(const std::vector<double>& r, std::size_t n);

// The smallest eigenvalue of the symmetric R (the module's Jacobi rotations, in single
// precision: for messages, not for decisions).
double smallestEigenvalue(const std::vector<double>& r, std::size_t n);

// A subject's matrix around the study's `mean`: each off-diagonal entry moved on
// Fisher's scale, r' = tanh(atanh(r) + sd z) with the entry's sd (`sd`, n x n), z the
// standard normal draws in the order
// of the lower triangle's rows (z.size() = n (n - 1) / 2), which keeps every entry
// within (-1, 1). When that matrix is not semi-definite it is pulled towards `mean`,
// (1 - w) mean + w r', with the largest w in [0, 1] (by bisection to 2^-30) that gives
// a semi-definite matrix; `mean` must be one. Entries of +-1 in `mean` stay as they are.
std::vector<double> drawnCorrelation(const std::vector<double>& mean, std::size_t n,
                                     const std::vector<double>& sd,
                                     const std::vector<double>& z);

}  // namespace tolvane::study
