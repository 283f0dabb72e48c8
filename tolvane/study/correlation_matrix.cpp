// Correlation matrices; see correlation_matrix.h.
#include "tolvane/study/correlation_matrix.h"

#include <cmath>

#include "numerics/arrays.h"
#include "numerics/gauss_jordan_jacobi.h"

namespace tolvane::study {
namespace {

// Bisection steps for a subject's pull towards the mean: w to 2^-30.
constexpr int kPullSteps = 30;

}  // namespace

std::optional<std::vector<double>> correlationFactor(const std::vector<double>& r, std::size_t n) {
  std::vector<double> l(n * n, 0.0);
  const double tolerance = kSemidefiniteTolerance * static_cast<double>(n);
  for (std::size_t j = 0; j < n; ++j) {
    double pivot = r[j * n + j];
    for (std::size_t k = 0; k < j; ++k) pivot -= l[j * n + k] * l[j * n + k];
    if (pivot < -tolerance) return std::nullopt;
    const bool zero = pivot <= tolerance;
    const double root = zero ? 0.0 : std::sqrt(pivot);
    l[j * n + j] = root;
    for (std::size_t i = j + 1; i < n; ++i) {
      double rest = r[i * n + j];
      for (std::size_t k = 0; k < j; ++k) rest -= l[i * n + k] * l[j * n + k];
      if (zero) {
        // A zero pivot leaves a semi-definite matrix only if its column is zero too.
        if (std::fabs(rest) > std::sqrt(tolerance)) return std::nullopt;
        continue;
      }
      l[i * n + j] = rest / root;
    }
  }
  return l;
}

double smallestEigenvalue(const std::vector<double>& r, std::size_t n) {
  const long size = static_cast<long>(n);
  float** a = matrix(1, size, 1, size);
  float** v = matrix(1, size, 1, size);
  float* d = vector(1, size);
  for (long i = 1; i <= size; ++i) {
    for (long j = 1; j <= size; ++j) {
      a[i][j] = static_cast<float>(r[static_cast<std::size_t>((i - 1) * size + (j - 1))]);
    }
  }
  int rotations = 0;
  jacobi(a, static_cast<int>(size), d, v, &rotations);
  double smallest = d[1];
  for (long i = 2; i <= size; ++i) smallest = std::fmin(smallest, static_cast<double>(d[i]));
  free_vector(d, 1, size);
  free_matrix(v, 1, size, 1, size);
  free_matrix(a, 1, size, 1, size);
  return smallest;
}

std::vector<double> drawnCorrelation(const std::vector<double>& mean, std::size_t n,
                                     const std::vector<double>& sd,
                                     const std::vector<double>& z) {
  std::vector<double> drawn = mean;
  std::size_t k = 0;
  for (std::size_t i = 1; i < n; ++i) {
    for (std::size_t j = 0; j < i; ++j, ++k) {
      const double r = mean[i * n + j];
      if (std::fabs(r) >= 1.0) continue;
      drawn[i * n + j] = drawn[j * n + i] = std::tanh(std::atanh(r) + sd[i * n + j] * z[k]);
    }
  }
  if (correlationFactor(drawn, n)) return drawn;
  const auto between = [&](double w) {
    std::vector<double> m(n * n);
    for (std::size_t i = 0; i < n * n; ++i) m[i] = (1.0 - w) * mean[i] + w * drawn[i];
    return m;
  };
  // The smallest eigenvalue is concave along the segment, so the semi-definite part of
  // it is an interval from the mean on.
  double low = 0.0, high = 1.0;
  for (int step = 0; step < kPullSteps; ++step) {
    const double middle = 0.5 * (low + high);
    (correlationFactor(between(middle), n) ? low : high) = middle;
  }
  return between(low);
}

}  // namespace tolvane::study
