// Temporal autocorrelation: AR(1), and ARMA(p, q) with p <= 4, q <= 1.
//
// Every voxel's time course starts as white deviates z_0 .. z_(N-1) (unit variance) and
// becomes a stationary process e of variance 1 from the first volume on:
//   AR(1):        e_0 = z_0,  e_t = rho e_(t-1) + sqrt(1 - rho^2) z_t;
//   ARMA(p, q):   e_t = phi_1 e_(t-1) + ... + phi_p e_(t-p) + u_t + theta u_(t-1),
//                 u_t = sigma z_t white, sigma chosen so that var(e_t) = 1.
// The ARMA start is exact, with no burn-in: (e_0 .. e_(p-1), u_(p-1)) is drawn from the
// process's stationary joint distribution through the Cholesky factor of its covariance,
// with z_0 .. z_(p-1) and, when q = 1, one more deviate from the run's kArmaStartStream;
// the recursion then runs from t = p. Coefficients are single precision, and each step
// adds phi_1 e_(t-1) last, to r_t = ((phi_2 e_(t-2) + ... + phi_p e_(t-p)) + u_t) +
// theta u_(t-1) (terms left out when p < 2 or q = 0); the start's factor is computed in
// double. Without an MA term and with p = 1 the model is AR(1) and gives AR(1)'s bits.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/counter_noise.h"
#include "numerics/vector_path.h"

#pragma GCC visibility push(hidden)

namespace tolvane::engine {

// The AR(1) recursion and the scaling (s e_t) + b in one sweep over the voxels of
// `chunk`: each e_t is kept for the next step and stored scaled, the values of the two
// steps one after the other (kStandardNormal levels store e itself). The innovation's
// factor sqrt(1 - rho^2) is evaluated in double and rounded to float.
void autoregressAndScale(const VtcGrid& chunk, float rho, const Levels& levels);

constexpr int kMaxArOrder = 4;
constexpr int kMaxMaOrder = 1;

// An ARMA(p, q) model: ar = (phi_1 .. phi_p), ma = (theta_1 .. theta_q).
struct ArmaModel {
  std::vector<double> ar;
  std::vector<double> ma;
};

// Empty when the model can be simulated; otherwise why not, in a sentence for the
// user: too many coefficients, a coefficient that is not finite, or a root of
// 1 - phi_1 z - ... - phi_p z^p on or inside the unit circle, named with its value
// and modulus (e.g. "the AR polynomial has the root z = 0.95 (|z| = 0.95), inside
// the unit circle; a stationary process needs every root outside it").
std::string armaStationarityProblem(const ArmaModel& model);

// The theoretical autocorrelation rho(0) .. rho(maxLag) of a stationary model (rho(0) = 1),
// in double; for tests, sidecars and the documentation.
std::vector<double> armaAutocorrelation(const ArmaModel& model, int maxLag);

// The coefficients a run needs, computed once: sigma, the start's lower-triangular
// Cholesky factor (rows e_0 .. e_(p-1), then u_(p-1) when q = 1), all in double and
// rounded to float where the recursion uses them.
struct ArmaCoefficients {
  int p = 0, q = 0;
  std::array<float, kMaxArOrder> phi{};
  float theta = 0.0f;
  float sigma = 1.0f;
  // start[i][j]: the factor's entry, i, j < p + q.
  std::array<std::array<float, kMaxArOrder + kMaxMaOrder>, kMaxArOrder + kMaxMaOrder> start{};
};

// Requires armaStationarityProblem(model) to be empty.
ArmaCoefficients armaCoefficients(const ArmaModel& model);

// The recursion along `voxels` consecutive time courses of `timePoints` values at
// `courses`, in place, each e_t stored as (s e_t) + b with the levels (kStandardNormal:
// e_t itself); startDeviates[i] is voxel i's extra start deviate (read only when q = 1).
// Every vector path gives the same bits; the widest is the default.
void applyArma(const ArmaCoefficients& arma, float* courses, std::int64_t voxels, int timePoints,
               const float* startDeviates, const Levels& levels,
               cpu::VectorPath path = cpu::preferredVectorPath());

}  // namespace tolvane::engine

#pragma GCC visibility pop
