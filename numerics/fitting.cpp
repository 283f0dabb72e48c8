// Least-squares model fitting.
//
// Conventions: one-based float arrays (see fitting.h); sums accumulate in float in
// increasing index order; a step marked "in double" widens its float operands with
// static_cast<double> and rounds the stored result with static_cast<float>, so that
// the results are the same to the last bit on every build. Fatal conditions end the
// process through vcerror (numerics/arrays.h), directly or from gaussj.
#include "numerics/fitting.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "numerics/argument_checks.h"
#include "numerics/arrays.h"
#include "numerics/gauss_jordan_jacobi.h"
#include "numerics/svd.h"

namespace {

// svdfit drops singular values below this fraction of the largest: their directions
// are numerically undetermined, and 1/w would only amplify rounding noise.
constexpr double kSingularValueTolerance = 1.0e-5;

// Levenberg-Marquardt damping: the start value and the factors after a rejected and an
// accepted trial step.
constexpr float kInitialLambda = 0.001f;
constexpr float kLambdaGrowth = 10.0f;
constexpr double kLambdaShrink = 0.1;

// State that mrqmin carries from one call of a fit to the next. Allocated by the call
// that starts a fit, released by the call that finishes it (or by the start of the next
// fit, if the caller abandons one).
struct MarquardtState {
  bool active = false;
  int nparams = 0;
  int mfit = 0;
  float ochisq = 0.0f;      // chi-square at the accepted parameters
  float* atry = nullptr;    // trial parameters [1..nparams]
  float* beta = nullptr;    // gradient at the accepted parameters, packed
  float* da = nullptr;      // step from the linear solve, then the trial's gradient, packed
  float** oneda = nullptr;  // right-hand side column [1..mfit][1..1] for gaussj
};

MarquardtState marquardt;  // process-wide: one nonlinear fit at a time

void releaseMarquardtState() {
  MarquardtState& s = marquardt;
  free_matrix(s.oneda, 1, s.mfit, 1, 1);
  free_vector(s.da, 1, s.nparams);
  free_vector(s.beta, 1, s.nparams);
  free_vector(s.atry, 1, s.nparams);
  s = MarquardtState{};
}

int countFitted(const int* fitflags, int nparams) {
  int mfit = 0;
  for (int j = 1; j <= nparams; ++j) {
    if (fitflags[j] != 0) ++mfit;
  }
  return mfit;
}

}  // namespace

void fpoly(float x, float* p, int n) {
  p[1] = 1.0f;
  for (int j = 2; j <= n; ++j) p[j] = p[j - 1] * x;
}

// Minimises |A coef - b| with A[i][j] = basis_j(x[i]) / sigma[i] and b[i] = y[i] /
// sigma[i] through A = U diag(w) V^T: coef = V diag(1/w) U^T b over the retained
// singular values, which is the minimum-norm solution when the basis is degenerate.
// The decomposition's non-convergence flag is not consulted.
void svdfit(float* x, float* y, float* sigma, int npoints, float* coef, int ncoef, float** u,
            float** v, float* w, float* chisq, BasisFunction basis) {
  float* b = vector(1, npoints);
  // The basis fills terms[1..ncoef], and fpoly sets terms[1] even for ncoef = 0: one
  // slot at least, so that an empty model (chi-square of y alone) is safe.
  const int termSlots = std::max(ncoef, 1);
  float* terms = vector(1, termSlots);
  for (int i = 1; i <= npoints; ++i) {
    basis(x[i], terms, ncoef);
    const float t = 1.0f / sigma[i];
    for (int j = 1; j <= ncoef; ++j) u[i][j] = terms[j] * t;
    b[i] = t * y[i];
  }
  svdcmp(u, npoints, ncoef, w, v);
  float wmax = 0.0f;
  for (int j = 1; j <= ncoef; ++j) {
    if (w[j] > wmax) wmax = w[j];
  }
  const float thresh = static_cast<float>(kSingularValueTolerance * static_cast<double>(wmax));
  for (int j = 1; j <= ncoef; ++j) {
    if (w[j] < thresh) w[j] = 0.0f;
  }
  svbksb(u, w, v, npoints, ncoef, b, coef);
  float sum = 0.0f;
  for (int i = 1; i <= npoints; ++i) {
    basis(x[i], terms, ncoef);
    float s = 0.0f;
    for (int j = 1; j <= ncoef; ++j) s = s + coef[j] * terms[j];
    const float residual = (y[i] - s) / sigma[i];
    sum = sum + residual * residual;
  }
  *chisq = sum;
  free_vector(terms, 1, termSlots);
  free_vector(b, 1, npoints);
}

// alpha[j][k] = sum_i d_j d_k / sigma_i^2 and beta[j] = sum_i (y_i - ym_i) d_j / sigma_i^2
// over the fitted parameters, with d the model's derivatives at x_i. Only the lower
// triangle is accumulated; the upper one is an exact mirror.
void mrqcof(float* x, float* y, float* sigma, int npoints, float* params, int* fitflags,
            int nparams, float** alpha, float* beta, float* chisq, ModelFunction model) {
  float* deriv = vector(1, nparams);
  const int mfit = countFitted(fitflags, nparams);
  for (int j = 1; j <= mfit; ++j) {
    for (int k = 1; k <= j; ++k) alpha[j][k] = 0.0f;
    beta[j] = 0.0f;
  }
  float sum = 0.0f;
  for (int i = 1; i <= npoints; ++i) {
    float ym;
    model(x[i], params, &ym, deriv, nparams);
    const float weight = 1.0f / (sigma[i] * sigma[i]);
    const float dy = y[i] - ym;
    int j = 0;
    for (int l = 1; l <= nparams; ++l) {
      if (fitflags[l] == 0) continue;
      ++j;
      const float g = weight * deriv[l];
      int k = 0;
      for (int m = 1; m <= l; ++m) {
        if (fitflags[m] == 0) continue;
        ++k;
        alpha[j][k] = alpha[j][k] + g * deriv[m];
      }
      beta[j] = beta[j] + g * dy;
    }
    sum = sum + dy * dy * weight;
  }
  *chisq = sum;
  for (int j = 2; j <= mfit; ++j) {
    for (int k = 1; k < j; ++k) alpha[k][j] = alpha[j][k];
  }
  free_vector(deriv, 1, nparams);
}

// Solves (alpha + lambda diag(alpha)) da = beta for the step: a small lambda gives the
// Gauss-Newton step, a large one a short step along the gradient. lambda adapts to the
// outcome of each trial.
void mrqmin(float* x, float* y, float* sigma, int npoints, float* params, int* fitflags,
            int nparams, float** covariance, float** alpha, float* chisq, ModelFunction model,
            float* lambda) {
  MarquardtState& s = marquardt;
  if (*lambda < 0.0f) {
    // A new fit. Whatever an abandoned fit left behind goes first, so that nothing
    // leaks and no vector of the wrong length is reused.
    if (s.active) releaseMarquardtState();
    s.nparams = nparams;
    s.atry = vector(1, nparams);
    s.beta = vector(1, nparams);
    s.da = vector(1, nparams);
    s.mfit = countFitted(fitflags, nparams);
    s.oneda = matrix(1, s.mfit, 1, 1);
    s.active = true;
    *lambda = kInitialLambda;
    mrqcof(x, y, sigma, npoints, params, fitflags, nparams, alpha, s.beta, chisq, model);
    s.ochisq = *chisq;
    for (int j = 1; j <= nparams; ++j) s.atry[j] = params[j];
  } else if (!s.active) {
    // Continuing or finishing needs the state of a started fit; without one there is
    // nothing sound to compute.
    vcerror("mrqmin: no fit in progress; start with a negative lambda");
  }

  const int mfit = s.mfit;
  for (int j = 1; j <= mfit; ++j) {
    for (int k = 1; k <= mfit; ++k) covariance[j][k] = alpha[j][k];
    covariance[j][j] =
        static_cast<float>(static_cast<double>(alpha[j][j]) * (1.0 + static_cast<double>(*lambda)));
    s.oneda[j][1] = s.beta[j];
  }
  gaussj(covariance, mfit, s.oneda, 1);
  for (int j = 1; j <= mfit; ++j) s.da[j] = s.oneda[j][1];

  if (*lambda == 0.0f) {
    // covariance now holds the inverse of alpha: the covariance of the fitted
    // parameters.
    covsrt(covariance, nparams, fitflags, mfit);
    releaseMarquardtState();
    return;
  }

  int j = 0;
  for (int l = 1; l <= nparams; ++l) {
    if (fitflags[l] != 0) s.atry[l] = params[l] + s.da[++j];
  }
  mrqcof(x, y, sigma, npoints, s.atry, fitflags, nparams, covariance, s.da, chisq, model);
  if (*chisq < s.ochisq) {
    *lambda = static_cast<float>(static_cast<double>(*lambda) * kLambdaShrink);
    s.ochisq = *chisq;
    for (int r = 1; r <= mfit; ++r) {
      for (int c = 1; c <= mfit; ++c) alpha[r][c] = covariance[r][c];
      s.beta[r] = s.da[r];
    }
    for (int l = 1; l <= nparams; ++l) params[l] = s.atry[l];
  } else {
    // No strict improvement (an equal chi-square included): damp harder and keep the
    // accepted parameters.
    *lambda = *lambda * kLambdaGrowth;
    *chisq = s.ochisq;
  }
}

// Walks the fitted parameters from the last down, moving packed row and column k to
// the parameter's own index j; the fixed parameters' rows and columns were zeroed first
// and end up in the places the packed block vacates.
// An mfit that disagrees with fitflags would move rows and columns outside the matrix.
void covsrt(float** covariance, int nparams, int* fitflags, int mfit) {
  const int fitted = countFitted(fitflags, nparams);
  if (mfit != fitted) {
    tolvane::numerics::refuseArgument("covsrt: mfit = %d but fitflags mark %d parameters", mfit,
                                      fitted);
  }
  for (int i = mfit + 1; i <= nparams; ++i) {
    for (int j = 1; j <= i; ++j) covariance[i][j] = covariance[j][i] = 0.0f;
  }
  int k = mfit;
  for (int j = nparams; j >= 1; --j) {
    if (fitflags[j] == 0) continue;
    for (int i = 1; i <= nparams; ++i) std::swap(covariance[i][k], covariance[i][j]);
    for (int i = 1; i <= nparams; ++i) std::swap(covariance[k][i], covariance[j][i]);
    --k;
  }
}

// For each triplet, with arg = (x - E)/G and ex = exp(-arg^2) (float exponential):
// dy/dB = ex, dy/dE = 2 B ex arg / G, dy/dG = 2 B ex arg^2 / G. The factor 2 B ex arg
// is formed in double from the float product B ex.
void fgauss(float x, float* params, float* y, float* deriv, int nparams) {
  float sum = 0.0f;
  for (int i = 1; i + 2 <= nparams; i += 3) {
    const float arg = (x - params[i + 1]) / params[i + 2];
    const float ex = std::exp(-arg * arg);
    const float amplitude = params[i] * ex;
    const float f =
        static_cast<float>(static_cast<double>(amplitude) * 2.0 * static_cast<double>(arg));
    sum = sum + amplitude;
    deriv[i] = ex;
    deriv[i + 1] = f / params[i + 2];
    deriv[i + 2] = f * arg / params[i + 2];
  }
  *y = sum;
}
