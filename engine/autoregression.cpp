// Temporal autocorrelation; conventions in autoregression.h.
#include "engine/autoregression.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <sstream>

#include "engine/autoregression_avx512.h"
#include "engine/register_vectors.h"
#include "engine/vector_dispatch.h"

namespace tolvane::engine {
namespace {

// Independent recursions run side by side, so that they overlap in the processor
// instead of each waiting on its own previous value.
constexpr int kInterleaved = 8;

// sqrt(1 - rho^2), evaluated in double and rounded to float.
float innovationScale(float rho) {
  return static_cast<float>(std::sqrt(1.0 - static_cast<double>(rho) * static_cast<double>(rho)));
}

// The roots of c_0 + c_1 z + ... + c_n z^n (c_n != 0, n <= kMaxArOrder), by the
// Durand-Kerner iteration, which converges for every polynomial of this size from the
// customary start (0.4 + 0.9i)^k.
std::vector<std::complex<double>> polynomialRoots(const std::vector<double>& c) {
  const int n = static_cast<int>(c.size()) - 1;
  std::vector<std::complex<double>> roots(static_cast<std::size_t>(n));
  const std::complex<double> seed(0.4, 0.9);
  for (int k = 0; k < n; ++k) roots[k] = std::pow(seed, k);
  const auto value = [&](std::complex<double> z) {
    std::complex<double> sum = c[n];
    for (int i = n - 1; i >= 0; --i) sum = sum * z + c[i];
    return sum / c[n];
  };
  constexpr int kIterations = 1000;
  for (int iteration = 0; iteration < kIterations; ++iteration) {
    for (int k = 0; k < n; ++k) {
      std::complex<double> denominator = 1.0;
      for (int j = 0; j < n; ++j)
        if (j != k) denominator *= roots[k] - roots[j];
      roots[k] -= value(roots[k]) / denominator;
    }
  }
  return roots;
}

std::string formatRoot(std::complex<double> z) {
  std::ostringstream text;
  text.precision(4);
  text << z.real();
  if (std::abs(z.imag()) > 1e-9 * std::abs(z)) {
    text << (z.imag() < 0 ? " - " : " + ") << std::abs(z.imag()) << "i";
  }
  return text.str();
}

// The autocovariances gamma(0) .. gamma(maxLag) of the model driven by unit-variance
// innovations: the first max(p, q) + 1 from the linear equations
//   gamma(k) - sum_i phi_i gamma(|k - i|) = sum_(j = k..q) theta_j psi_(j - k),
// (theta_0 = psi_0 = 1, psi_1 = phi_1 + theta_1), solved by Gaussian elimination with
// partial pivoting, the rest from gamma(k) = sum_i phi_i gamma(k - i).
std::vector<double> autocovariances(const ArmaModel& model, int maxLag) {
  const int p = static_cast<int>(model.ar.size()), q = static_cast<int>(model.ma.size());
  const double theta = q > 0 ? model.ma[0] : 0.0;
  const double psi1 = (p > 0 ? model.ar[0] : 0.0) + theta;
  const int m = std::max(p, q);
  std::vector<std::vector<double>> a(m + 1, std::vector<double>(m + 2, 0.0));
  for (int k = 0; k <= m; ++k) {
    a[k][k] += 1.0;
    for (int i = 1; i <= p; ++i) a[k][std::abs(k - i)] -= model.ar[i - 1];
    a[k][m + 1] = k == 0 ? 1.0 + theta * psi1 : (k == 1 ? theta : 0.0);
  }
  for (int col = 0; col <= m; ++col) {
    int pivot = col;
    for (int row = col + 1; row <= m; ++row)
      if (std::abs(a[row][col]) > std::abs(a[pivot][col])) pivot = row;
    std::swap(a[col], a[pivot]);
    for (int row = 0; row <= m; ++row) {
      if (row == col) continue;
      const double factor = a[row][col] / a[col][col];
      for (int j = col; j <= m + 1; ++j) a[row][j] -= factor * a[col][j];
    }
  }
  std::vector<double> gamma(static_cast<std::size_t>(std::max(maxLag, m)) + 1, 0.0);
  for (int k = 0; k <= m; ++k) gamma[k] = a[k][m + 1] / a[k][k];
  for (int k = m + 1; k < static_cast<int>(gamma.size()); ++k)
    for (int i = 1; i <= p; ++i) gamma[k] += model.ar[i - 1] * gamma[k - i];
  gamma.resize(static_cast<std::size_t>(maxLag) + 1);
  return gamma;
}

// Voxels whose recursions run side by side, one per vector lane.
constexpr int kArmaLanes = 16;

// The recursion from t = P on, across the lanes of `tile`, W lanes at a time (the width
// of the instance's registers), with e_(t-1) .. e_(t-P) kept in registers; P and Q fixed
// at compile time. Arithmetic on a vector is element by element, the same IEEE
// operations as on each float alone.
template <int W, int P, int Q>
TOLVANE_VECTOR_BODY inline void armaSteps(const ArmaCoefficients& arma, float* tile, int nT,
                                          const float* previousInnovation) {
  using Lanes = FloatVector<W>;
  for (int part = 0; part < kArmaLanes; part += W) {
    Lanes history[kMaxArOrder];  // history[i] = e_(t-1-i)
#pragma GCC unroll 4
    for (int i = 0; i < P; ++i)
      std::memcpy(&history[i], tile + (P - 1 - i) * kArmaLanes + part, sizeof(Lanes));
    Lanes previousU;
    std::memcpy(&previousU, previousInnovation + part, sizeof previousU);
    for (int t = P; t < nT; ++t) {
      float* row = tile + t * kArmaLanes + part;
      Lanes z;
      std::memcpy(&z, row, sizeof z);
      const Lanes u = arma.sigma * z;
      // Everything but phi_1 e_(t-1) first: it does not wait on the previous step.
      Lanes rest;
      if constexpr (P > 1) {
        rest = arma.phi[1] * history[1];
#pragma GCC unroll 4
        for (int i = 2; i < P; ++i) rest = rest + arma.phi[i] * history[i];
        rest = rest + u;
      } else {
        rest = u;
      }
      if constexpr (Q > 0) {
        rest = rest + arma.theta * previousU;
        previousU = u;
      }
      Lanes e;
      if constexpr (P > 0) {
        e = arma.phi[0] * history[0] + rest;
#pragma GCC unroll 4
        for (int i = P - 1; i > 0; --i) history[i] = history[i - 1];
        history[0] = e;
      } else {
        e = rest;
      }
      std::memcpy(row, &e, sizeof e);
    }
  }
}

// The ARMA recursion of up to kArmaLanes consecutive time courses at `courses`, in place.
// The courses are copied into `tile` time point by time point (tile[t * kArmaLanes + j] is
// voxel j's value at t), so that each step is one vector operation across the voxels;
// lanes beyond `voxels` hold zeros and are not stored back; the values go back scaled,
// (s e_t) + b. Every lane does the scalar
// definition's operations in its order:
//   start:  row i of L z, L_i0 z_0 + L_i1 z_1 + ... ;
//   t >= p: phi_1 e_(t-1) + r_t,  u_t = sigma z_t,
//           r_t = (((phi_2 e_(t-2) + ... + phi_p e_(t-p)) + u_t) + theta u_(t-1)),
// r_t first, which does not wait on the previous step (with p = 1, r_t = u_t + theta u_(t-1)).
template <int W>
TOLVANE_VECTOR_BODY inline void armaLanesBody(const ArmaCoefficients& arma, float* courses,
                                              int voxels, int timePoints,
                                              const float* startDeviates, const Levels& levels,
                                              float* tile, cpu::VectorPath path) {
  const int p = arma.p, nT = timePoints;
  const float* lane[kArmaLanes];
  for (int j = 0; j < kArmaLanes; ++j) lane[j] = courses + static_cast<std::ptrdiff_t>(j) * nT;
  const bool avx512 = path == cpu::VectorPath::kAvx512;
  if (voxels == kArmaLanes && avx512) {
    transposeIntoLanesAvx512(courses, nT, tile);
  } else if (voxels == kArmaLanes) {
    for (int t = 0; t < nT; ++t)
      for (int j = 0; j < kArmaLanes; ++j) tile[t * kArmaLanes + j] = lane[j][t];
  } else {
    for (int t = 0; t < nT; ++t)
      for (int j = 0; j < kArmaLanes; ++j) tile[t * kArmaLanes + j] = j < voxels ? lane[j][t] : 0.0f;
  }
  float previousInnovation[kArmaLanes] = {};
  for (int j = 0; j < voxels; ++j) {
    float z[kMaxArOrder + kMaxMaOrder] = {};
    for (int i = 0; i < std::min(p, nT); ++i) z[i] = tile[i * kArmaLanes + j];
    if (arma.q > 0) z[p] = startDeviates[j];
    for (int i = 0; i < p + arma.q; ++i) {
      float sum = arma.start[i][0] * z[0];
      for (int k = 1; k <= i; ++k) sum = sum + arma.start[i][k] * z[k];
      if (i >= p) {
        previousInnovation[j] = sum;
      } else if (i < nT) {
        tile[i * kArmaLanes + j] = sum;
      }
    }
  }
  switch (p * 2 + arma.q) {
    case 0:
      armaSteps<W, 0, 0>(arma, tile, nT, previousInnovation);
      break;
    case 1:
      armaSteps<W, 0, 1>(arma, tile, nT, previousInnovation);
      break;
    case 2:
      armaSteps<W, 1, 0>(arma, tile, nT, previousInnovation);
      break;
    case 3:
      armaSteps<W, 1, 1>(arma, tile, nT, previousInnovation);
      break;
    case 4:
      armaSteps<W, 2, 0>(arma, tile, nT, previousInnovation);
      break;
    case 5:
      armaSteps<W, 2, 1>(arma, tile, nT, previousInnovation);
      break;
    case 6:
      armaSteps<W, 3, 0>(arma, tile, nT, previousInnovation);
      break;
    case 7:
      armaSteps<W, 3, 1>(arma, tile, nT, previousInnovation);
      break;
    case 8:
      armaSteps<W, 4, 0>(arma, tile, nT, previousInnovation);
      break;
    default:
      armaSteps<W, 4, 1>(arma, tile, nT, previousInnovation);
      break;
  }
  if (voxels == kArmaLanes && avx512) {
    transposeOutOfLanesAvx512(tile, nT, levels, courses);
    return;
  }
  for (int j = 0; j < voxels; ++j) {
    float* out = courses + static_cast<std::ptrdiff_t>(j) * nT;
    for (int t = 0; t < nT; ++t)
      out[t] = levels.noiseAmplitude * tile[t * kArmaLanes + j] + levels.baseline;
  }
}

}  // namespace

void autoregressAndScale(const VtcGrid& grid, float rho, const Levels& levels) {
  const float innovation = innovationScale(rho);
  const std::int64_t nT = grid.timePoints;
  const auto scaled = [&](float e) { return levels.noiseAmplitude * e + levels.baseline; };
  // Sixteen voxels at a time on vector lanes where the processor has them; the rest here.
  std::int64_t v = widestVectorsAreAvx512()
                       ? autoregressAndScaleAvx512(grid.data, grid.voxelCount(), grid.timePoints,
                                                   rho, innovation, levels)
                       : 0;
  for (; v + kInterleaved <= grid.voxelCount(); v += kInterleaved) {
    float* courses[kInterleaved];
    float previous[kInterleaved];
    for (int j = 0; j < kInterleaved; ++j) {
      courses[j] = grid.data + (v + j) * nT;
      previous[j] = courses[j][0];
      courses[j][0] = scaled(previous[j]);
    }
    for (std::int64_t t = 1; t < nT; ++t)
      for (int j = 0; j < kInterleaved; ++j) {
        previous[j] = rho * previous[j] + innovation * courses[j][t];
        courses[j][t] = scaled(previous[j]);
      }
  }
  for (; v < grid.voxelCount(); ++v) {
    float* course = grid.data + v * nT;
    float previous = course[0];
    course[0] = scaled(previous);
    for (std::int64_t t = 1; t < nT; ++t) {
      previous = rho * previous + innovation * course[t];
      course[t] = scaled(previous);
    }
  }
}

std::string armaStationarityProblem(const ArmaModel& model) {
  if (model.ar.size() > kMaxArOrder) return "at most 4 autoregressive coefficients are supported";
  if (model.ma.size() > kMaxMaOrder) return "at most 1 moving-average coefficient is supported";
  for (const double c : model.ar)
    if (!std::isfinite(c)) return "an autoregressive coefficient is not a finite number";
  for (const double c : model.ma)
    if (!std::isfinite(c)) return "the moving-average coefficient is not a finite number";
  std::vector<double> polynomial{1.0};
  for (const double phi : model.ar) polynomial.push_back(-phi);
  while (polynomial.size() > 1 && polynomial.back() == 0.0) polynomial.pop_back();
  if (polynomial.size() == 1) return "";
  // A root within this distance of the unit circle counts as on it: the process's
  // variance would be too large to represent, and its start's factor meaningless.
  constexpr double kUnitCircleMargin = 1e-6;
  for (const std::complex<double> root : polynomialRoots(polynomial)) {
    if (std::abs(root) <= 1.0 + kUnitCircleMargin) {
      std::ostringstream text;
      text.precision(4);
      text << "the autoregressive polynomial 1 - phi_1 z - ... - phi_p z^p has the root z = "
           << formatRoot(root) << " (|z| = " << std::abs(root)
           << "), on or inside the unit circle; a stationary process needs every root outside "
              "it (for AR(1), |phi_1| < 1)";
      return text.str();
    }
  }
  return "";
}

std::vector<double> armaAutocorrelation(const ArmaModel& model, int maxLag) {
  std::vector<double> gamma = autocovariances(model, maxLag);
  const double variance = gamma[0];
  for (double& g : gamma) g /= variance;
  return gamma;
}

ArmaCoefficients armaCoefficients(const ArmaModel& model) {
  ArmaCoefficients arma;
  arma.p = static_cast<int>(model.ar.size());
  arma.q = static_cast<int>(model.ma.size());
  for (int i = 0; i < arma.p; ++i) arma.phi[i] = static_cast<float>(model.ar[i]);
  if (arma.q > 0) arma.theta = static_cast<float>(model.ma[0]);
  const std::vector<double> gamma = autocovariances(model, std::max(arma.p, 1));
  // Unit variance: innovations of variance 1 / gamma(0). AR(1)'s factor is written as
  // its recursion states it, sqrt(1 - rho^2), so that it gives AR(1)'s bits.
  const double sigma = arma.p == 1 && arma.q == 0 ? innovationScale(arma.phi[0])
                                                  : 1.0 / std::sqrt(gamma[0]);
  arma.sigma = static_cast<float>(sigma);
  // The covariance of (e_0 .. e_(p-1), u_(p-1)): rho(|i - j|) among the e, sigma^2 for u,
  // and u_(p-1) correlated with e_(p-1) alone (cov = sigma^2 psi_0 = sigma^2).
  const int n = arma.p + arma.q;
  double cov[kMaxArOrder + kMaxMaOrder][kMaxArOrder + kMaxMaOrder] = {};
  for (int i = 0; i < arma.p; ++i)
    for (int j = 0; j < arma.p; ++j) cov[i][j] = gamma[std::abs(i - j)] / gamma[0];
  if (arma.q > 0) {
    cov[n - 1][n - 1] = sigma * sigma;
    if (arma.p > 0) cov[n - 1][arma.p - 1] = cov[arma.p - 1][n - 1] = sigma * sigma;
  }
  double lower[kMaxArOrder + kMaxMaOrder][kMaxArOrder + kMaxMaOrder] = {};
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      double sum = cov[i][j];
      for (int k = 0; k < j; ++k) sum -= lower[i][k] * lower[j][k];
      lower[i][j] = i == j ? std::sqrt(std::max(sum, 0.0)) : sum / lower[j][j];
    }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) arma.start[i][j] = static_cast<float>(lower[i][j]);
  return arma;
}

void applyArma(const ArmaCoefficients& arma, float* courses, std::int64_t voxels, int timePoints,
               const float* startDeviates, const Levels& levels, cpu::VectorPath path) {
  std::vector<float> tile(static_cast<std::size_t>(kArmaLanes) * timePoints);
  for (std::int64_t first = 0; first < voxels; first += kArmaLanes) {
    const int lanes = static_cast<int>(std::min<std::int64_t>(kArmaLanes, voxels - first));
    float* group = courses + first * timePoints;
    const float* deviates = startDeviates == nullptr ? nullptr : startDeviates + first;
    onVectorPathInRegisters(path, [&](auto width) TOLVANE_VECTOR_BODY {
      armaLanesBody<decltype(width)::value>(arma, group, lanes, timePoints, deviates, levels,
                                            tile.data(), path);
    });
  }
}

}  // namespace tolvane::engine
