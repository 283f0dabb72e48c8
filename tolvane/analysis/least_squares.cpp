// The pseudo-inverse and the per-voxel fit; see least_squares.h.
#include "tolvane/analysis/least_squares.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "numerics/arrays.h"
#include "numerics/svd.h"

namespace tolvane::analysis {
namespace {

// Voxels are fitted a block at a time: the accumulators of a block (P + 1 rows of
// kBlock doubles) stay in the first-level cache while the volumes stream past. A fixed
// length lets the compiler vectorise the voxel loops without a remainder loop.
constexpr std::size_t kBlock = 256;
// After the refinement step X+ X must be the identity to within this, or the
// decomposition failed.
constexpr double kInverseCheck = 1e-8;

// The library's one-based float arrays, released on every path.
struct SvdWorkspace {
  SvdWorkspace(int rows, int columns) : rows(rows), columns(columns) {
    u = matrix(1, rows, 1, columns);
    w = vector(1, columns);
    v = matrix(1, columns, 1, columns);
  }
  ~SvdWorkspace() {
    free_matrix(v, 1, columns, 1, columns);
    free_vector(w, 1, columns);
    free_matrix(u, 1, rows, 1, columns);
  }
  SvdWorkspace(const SvdWorkspace&) = delete;
  SvdWorkspace& operator=(const SvdWorkspace&) = delete;

  int rows, columns;
  float** u;
  float* w;
  float** v;
};

std::vector<double> whitened(const std::vector<double>& design, int volumes, int columns,
                             double ar1) {
  std::vector<double> out(design);
  if (ar1 == 0.0) return out;
  const auto p = static_cast<std::size_t>(columns);
  for (std::size_t t = static_cast<std::size_t>(volumes) - 1; t >= 1; --t) {
    for (std::size_t j = 0; j < p; ++j)
      out[t * p + j] = design[t * p + j] - ar1 * design[(t - 1) * p + j];
  }
  const double firstScale = std::sqrt(1.0 - ar1 * ar1);
  for (std::size_t j = 0; j < p; ++j) out[j] = firstScale * design[j];
  return out;
}

// a (rows x inner) times b (inner x columns), row-major, double.
std::vector<double> product(const std::vector<double>& a, const std::vector<double>& b,
                            std::size_t rows, std::size_t inner, std::size_t columns) {
  std::vector<double> out(rows * columns, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t k = 0; k < inner; ++k) {
      const double factor = a[r * inner + k];
      for (std::size_t c = 0; c < columns; ++c) out[r * columns + c] += factor * b[k * columns + c];
    }
  }
  return out;
}

std::vector<double> transposed(const std::vector<double>& a, std::size_t rows,
                               std::size_t columns) {
  std::vector<double> out(a.size());
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) out[c * rows + r] = a[r * columns + c];
  }
  return out;
}

}  // namespace

std::optional<LeastSquaresModel> makeLeastSquaresModel(const std::vector<double>& design,
                                                       int volumes, int columns,
                                                       std::size_t constantColumn, double ar1) {
  LeastSquaresModel model;
  model.volumes = volumes;
  model.columns = columns;
  model.ar1 = ar1;
  model.constantColumn = constantColumn;
  model.design = whitened(design, volumes, columns, ar1);
  const auto n = static_cast<std::size_t>(volumes);
  const auto p = static_cast<std::size_t>(columns);

  SvdWorkspace svd(volumes, columns);
  for (std::size_t t = 0; t < n; ++t) {
    for (std::size_t j = 0; j < p; ++j)
      svd.u[t + 1][j + 1] = static_cast<float>(model.design[t * p + j]);
  }
  svdcmp(svd.u, volumes, columns, svd.w, svd.v);
  float largest = 0.0f;
  float smallest = std::numeric_limits<float>::infinity();
  for (int k = 1; k <= columns; ++k) {
    largest = std::max(largest, std::fabs(svd.w[k]));
    smallest = std::min(smallest, std::fabs(svd.w[k]));
  }
  if (!(largest > 0.0f) || static_cast<double>(smallest) < kRankTolerance * largest)
    return std::nullopt;

  // X+ = V diag(1/w) U^T from the single-precision factors ...
  std::vector<double> inverse(p * n, 0.0);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t k = 0; k < p; ++k) {
      const double factor =
          static_cast<double>(svd.v[j + 1][k + 1]) / static_cast<double>(svd.w[k + 1]);
      for (std::size_t t = 0; t < n; ++t)
        inverse[j * n + t] += factor * static_cast<double>(svd.u[t + 1][k + 1]);
    }
  }
  // ... refined by one Newton-Schulz step: X+ <- 2 X+ - (X+ X) X+.
  const std::vector<double> nearIdentity = product(inverse, model.design, p, n, p);
  const std::vector<double> correction = product(nearIdentity, inverse, p, p, n);
  for (std::size_t i = 0; i < inverse.size(); ++i) inverse[i] = 2.0 * inverse[i] - correction[i];

  const std::vector<double> identity = product(inverse, model.design, p, n, p);
  for (std::size_t r = 0; r < p; ++r) {
    for (std::size_t c = 0; c < p; ++c) {
      if (std::fabs(identity[r * p + c] - (r == c ? 1.0 : 0.0)) > kInverseCheck)
        return std::nullopt;
    }
  }
  model.pseudoInverse = std::move(inverse);
  model.covariance = product(model.pseudoInverse, transposed(model.pseudoInverse, p, n), p, n, p);
  model.gram = product(transposed(model.design, n, p), model.design, p, n, p);
  return model;
}

VoxelFits fitVoxels(const LeastSquaresModel& model, const float* series, std::size_t voxelCount,
                    bool withResidualLag1) {
  const auto n = static_cast<std::size_t>(model.volumes);
  const auto p = static_cast<std::size_t>(model.columns);
  const double rho = model.ar1;
  const double firstScale = std::sqrt(1.0 - rho * rho);
  const double dof = model.degreesOfFreedom();

  VoxelFits fits;
  fits.voxelCount = voxelCount;
  fits.coefficients.assign(p * voxelCount, 0.0);
  fits.residualVariance.assign(voxelCount, 0.0);
  if (withResidualLag1) fits.residualLag1.assign(voxelCount, 0.0);

  alignas(64) std::array<double, kBlock> shift, row, prior, squares, lastResidual, lagged;
  std::vector<std::array<double, kBlock>> sums(p);
  for (std::size_t start = 0; start < voxelCount; start += kBlock) {
    const std::size_t count = std::min(kBlock, voxelCount - start);
    // Voxels past the end of the last block work on zeros and are not stored.
    const auto load = [&](std::size_t t, std::array<double, kBlock>& out) {
      const float* volume = series + t * voxelCount + start;
      for (std::size_t v = 0; v < count; ++v) out[v] = static_cast<double>(volume[v]) - shift[v];
      for (std::size_t v = count; v < kBlock; ++v) out[v] = 0.0;
    };
    // Volume t of the shifted time courses, prewhitened when the model is.
    const auto loadWhitened = [&](std::size_t t, std::array<double, kBlock>& out) {
      load(t, out);
      if (rho == 0.0) return;
      if (t == 0) {
        for (std::size_t v = 0; v < kBlock; ++v) out[v] *= firstScale;
      } else {
        load(t - 1, prior);
        for (std::size_t v = 0; v < kBlock; ++v) out[v] -= rho * prior[v];
      }
    };
    shift.fill(0.0);
    load(0, shift);
    squares.fill(0.0);
    for (auto& sum : sums) sum.fill(0.0);

    for (std::size_t t = 0; t < n; ++t) {
      loadWhitened(t, row);
      for (std::size_t v = 0; v < kBlock; ++v) squares[v] += row[v] * row[v];
      for (std::size_t j = 0; j < p; ++j) {
        const double weight = model.pseudoInverse[j * n + t];
        double* sum = sums[j].data();
        for (std::size_t v = 0; v < kBlock; ++v) sum[v] += weight * row[v];
      }
    }

    for (std::size_t v = 0; v < count; ++v) {
      double explained = 0.0;
      for (std::size_t j = 0; j < p; ++j) {
        double gramTimesBeta = 0.0;
        for (std::size_t k = 0; k < p; ++k) gramTimesBeta += model.gram[j * p + k] * sums[k][v];
        explained += sums[j][v] * gramTimesBeta;
      }
      double residual = squares[v] - explained;
      if (residual <= kExactFitFraction * squares[v]) residual = 0.0;
      fits.residualVariance[start + v] = residual / dof;
      for (std::size_t j = 0; j < p; ++j)
        fits.coefficients[j * voxelCount + start + v] = sums[j][v];
      fits.coefficients[model.constantColumn * voxelCount + start + v] += shift[v];
    }

    if (withResidualLag1) {
      // The residuals themselves, a second pass over the block while it is in cache.
      squares.fill(0.0);
      lagged.fill(0.0);
      for (std::size_t t = 0; t < n; ++t) {
        loadWhitened(t, row);
        for (std::size_t j = 0; j < p; ++j) {
          const double x = model.design[t * p + j];
          for (std::size_t v = 0; v < kBlock; ++v) row[v] -= x * sums[j][v];
        }
        for (std::size_t v = 0; v < kBlock; ++v) squares[v] += row[v] * row[v];
        if (t > 0) {
          for (std::size_t v = 0; v < kBlock; ++v) lagged[v] += row[v] * lastResidual[v];
        }
        lastResidual = row;
      }
      for (std::size_t v = 0; v < count; ++v) {
        fits.residualLag1[start + v] = fits.residualVariance[start + v] > 0.0
                                           ? lagged[v] / squares[v]
                                           : std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
  return fits;
}

namespace {

// Bisection steps: the bracket of width 2 * kMaxAr1 shrinks below 1e-8.
constexpr int kAr1Bisections = 28;

// V x for the AR(1) correlation matrix V_ij = rho^|i-j|: the sum of a forward and a
// backward recursion, less x (counted by both), in O(N).
std::vector<double> ar1CorrelationTimes(const std::vector<double>& x, double rho) {
  const std::size_t n = x.size();
  std::vector<double> forward(n), out(n);
  double running = 0.0;
  for (std::size_t t = 0; t < n; ++t) forward[t] = running = x[t] + rho * running;
  running = 0.0;
  for (std::size_t t = n; t-- > 0;) {
    running = x[t] + rho * running;
    out[t] = forward[t] + running - x[t];
  }
  return out;
}

// E[sum e_t e_t-1] / E[sum e_t^2] for residuals e = R n of AR(1) noise n with
// coefficient rho, R = I - H, H = X X+: tr(L R V R) / tr(R V) with V_ij = rho^|i-j| and
// L the lag. With A = V X and B = V X+^T (N x P, each column by ar1CorrelationTimes)
// and C = X+ A (P x P), and f(M) = sum_t M[t-1][t]:
//   tr(R V)     = N - tr(X+ A)
//   f(R V R)    = f(V) - f(H V) - f(V H) + f(H V H),    f(V) = (N - 1) rho,
//   f(H V)      = sum_t sum_j X[t-1][j] B[t][j],   f(V H) = sum_t sum_j A[t-1][j] X+[j][t],
//   f(H V H)    = sum_t sum_jk X[t-1][j] C[j][k] X+[k][t],
// O(N P^2) where the N x N products cost O(N^2 P), for each step of the bisection.
double expectedResidualLag1(const LeastSquaresModel& ols, double rho) {
  const auto n = static_cast<std::size_t>(ols.volumes);
  const auto p = static_cast<std::size_t>(ols.columns);
  std::vector<double> a(n * p), b(n * p), column(n);
  for (std::size_t j = 0; j < p; ++j) {
    for (std::size_t t = 0; t < n; ++t) column[t] = ols.design[t * p + j];
    const std::vector<double> vx = ar1CorrelationTimes(column, rho);
    for (std::size_t t = 0; t < n; ++t) column[t] = ols.pseudoInverse[j * n + t];
    const std::vector<double> vi = ar1CorrelationTimes(column, rho);
    for (std::size_t t = 0; t < n; ++t) {
      a[t * p + j] = vx[t];
      b[t * p + j] = vi[t];
    }
  }
  const std::vector<double> c = product(ols.pseudoInverse, a, p, n, p);
  double variance = double(n);
  for (std::size_t j = 0; j < p; ++j) variance -= c[j * p + j];
  double lagged = double(n - 1) * rho;
  for (std::size_t t = 1; t < n; ++t) {
    for (std::size_t j = 0; j < p; ++j) {
      lagged -= ols.design[(t - 1) * p + j] * b[t * p + j];
      lagged -= a[(t - 1) * p + j] * ols.pseudoInverse[j * n + t];
      double ch = 0.0;  // (C X+)[j][t]
      for (std::size_t k = 0; k < p; ++k) ch += c[j * p + k] * ols.pseudoInverse[k * n + t];
      lagged += ols.design[(t - 1) * p + j] * ch;
    }
  }
  return lagged / variance;
}

}  // namespace

double pooledAr1(const LeastSquaresModel& ols, const VoxelFits& olsFits,
                 const std::vector<std::uint8_t>& inside) {
  double sum = 0.0;
  std::size_t count = 0;
  for (std::size_t v = 0; v < olsFits.residualLag1.size(); ++v) {
    const double r = olsFits.residualLag1[v];
    if (std::isnan(r) || (!inside.empty() && inside[v] == 0)) continue;
    sum += r;
    ++count;
  }
  if (count == 0) return 0.0;
  const double observed = sum / static_cast<double>(count);
  double low = -kMaxAr1, high = kMaxAr1;
  for (int step = 0; step < kAr1Bisections; ++step) {
    const double middle = 0.5 * (low + high);
    (expectedResidualLag1(ols, middle) < observed ? low : high) = middle;
  }
  return 0.5 * (low + high);
}

}  // namespace tolvane::analysis
